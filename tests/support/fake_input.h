// Input devices for the tests: FIFOs at the compiled-in /dev/input/eventN
// paths, each with a writer held open (so that the layer's blocking open
// finds one), fed whole or partial input_event records.
#pragma once

#include <linux/input.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>

struct fake_inputs {
    int writers[4] = {-1, -1, -1, -1};
};

// Removes every /dev/input/eventN, then makes the numbered ones; false on failure.
bool fake_inputs_make(fake_inputs* inputs, std::initializer_list<int> numbers,
                      bool nonblocking = false);
// Closes every writer still open.
void fake_inputs_close(fake_inputs* inputs);
struct fake_event {
    uint16_t type;
    uint16_t code;
    int32_t value;
};
// Records on a device, all in one write, so that all are pending together;
// false when they were not written whole.
bool fake_input_send(const fake_inputs& inputs, int device,
                     std::initializer_list<fake_event> events);
