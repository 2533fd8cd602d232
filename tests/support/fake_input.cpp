#include "fake_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {
std::string device_path(int n) {
    return "/dev/input/event" + std::to_string(n);
}
}  // namespace

bool fake_inputs_make(fake_inputs* inputs, std::initializer_list<int> numbers, bool nonblocking) {
    fake_inputs_close(inputs);
    for (int n = 0; n < 4; ++n) unlink(device_path(n).c_str());
    for (const int n : numbers) {
        if (mkfifo(device_path(n).c_str(), 0600) != 0) return false;
        inputs->writers[n] = open(device_path(n).c_str(), O_RDWR | (nonblocking ? O_NONBLOCK : 0));
        if (inputs->writers[n] < 0) return false;
    }
    return true;
}

void fake_inputs_close(fake_inputs* inputs) {
    for (int& fd : inputs->writers) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

bool fake_input_send(const fake_inputs& inputs, int device,
                     std::initializer_list<fake_event> events) {
    std::vector<input_event> records;
    for (const fake_event& e : events) {
        input_event record{};
        record.type = e.type;
        record.code = e.code;
        record.value = e.value;
        records.push_back(record);
    }
    const size_t size = records.size() * sizeof records[0];
    return write(inputs.writers[device], records.data(), size) == static_cast<ssize_t>(size);
}
