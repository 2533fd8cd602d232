// Arbitrary byte streams, partial records included, through FIFOs at the
// compiled-in device paths into ev_get, ev_clear and wait_key. The process
// runs in its own mount namespace and root (as root), as the tests do.
// Input: repeated [1 byte: device and operation][1 byte length][bytes].
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "events.h"
#include "recovery.h"
#include "support/fake_input.h"
#include "support/sandbox.h"

namespace {
fake_inputs inputs;
int* const writers = inputs.writers;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    sandbox_enter();
    if (!fake_inputs_make(&inputs, {0, 1, 2, 3}, true) || ev_init() != 0) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ev_clear();
    input_event event;
    size_t i = 0;
    while (i + 2 <= size) {
        const uint8_t op = data[i];
        const size_t n = std::min<size_t>(data[i + 1], size - i - 2);
        const int fd = writers[op & 3];
        if (n > 0 && write(fd, data + i + 2, n) < 0) {
            // a full FIFO: drain it below
        }
        i += 2 + n;
        switch ((op >> 2) % 4) {
            case 0:
                ev_get(&event, 0);
                break;
            case 1:
                ev_clear();
                break;
            case 2: {
                // A whole press after whatever came before: wait_key returns it.
                input_event press{};
                press.type = EV_KEY;
                press.code = 50;
                press.value = 1;
                // Draining leaves every FIFO empty (short records are consumed
                // by their short read), so the press is read whole.
                ev_clear();
                if (write(writers[op & 3], &press, sizeof press) != sizeof press) abort();
                wait_key(&event);
                if (event.type != EV_KEY || event.value != 1) abort();
                break;
            }
            default:
                ev_get(&event, 0);
                ev_get(&event, 0);
                break;
        }
    }
    return 0;
}
