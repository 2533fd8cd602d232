// The input-event layer: the first four Linux input event devices in one poll table.
#pragma once

#include <linux/input.h>

static_assert(sizeof(void*) != 4 || sizeof(input_event) == 16,
              "the 32-bit target's input_event is 16 bytes");

// Opens "/dev/input/event0" to "/dev/input/event3" in order. 0 when all four
// opened; otherwise prints which failed (no line end) and returns the failed
// open's result, keeping the devices opened before it.
int ev_init();
// One event into *event: 0, or -1 when none was read. timeout_ms is poll's:
// 0 does not wait, -1 waits until an event arrives.
int ev_get(input_event* event, int timeout_ms);
// Reads and drops every event that can be read at once.
void ev_clear();
// Closes every device, last opened first.
void ev_exit();
