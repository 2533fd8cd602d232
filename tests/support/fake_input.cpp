#include "fake_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

bool fake_input_send(const fake_inputs& inputs, int device, uint16_t type, uint16_t code,
                     int32_t value) {
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    return fake_input_write(inputs, device, &event, sizeof event);
}

bool fake_input_write(const fake_inputs& inputs, int device, const void* bytes, size_t size) {
    return write(inputs.writers[device], bytes, size) == static_cast<ssize_t>(size);
}
