#include "events.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

namespace {

constexpr unsigned EV_CAPACITY = 16;
constexpr int EV_DEVICES = 4;
constexpr const char* EV_PATHS[EV_DEVICES] = {"/dev/input/event0", "/dev/input/event1",
                                              "/dev/input/event2", "/dev/input/event3"};

pollfd ev_fds[EV_CAPACITY];
unsigned ev_count = 0;

static_assert(EV_DEVICES <= EV_CAPACITY, "ev_init fills at most four entries of an empty table");

// Removes entry i, moving the entries after it down. Its descriptor is closed
// unless poll reported it as not open: that number may be someone else's now.
void ev_drop(unsigned i) {
    if ((ev_fds[i].revents & POLLNVAL) == 0) close(ev_fds[i].fd);
    for (unsigned j = i + 1; j < ev_count; ++j) ev_fds[j - 1] = ev_fds[j];
    --ev_count;
}

// One poll and at most one read pass. Devices that report only an error or a
// hang-up are dropped, so that they cannot turn a blocking wait into a spin.
int ev_get_once(input_event* event, int timeout_ms) {
    if (poll(ev_fds, ev_count, timeout_ms) <= 0) return -1;
    unsigned i = 0;
    while (i < ev_count) {
        const short revents = ev_fds[i].revents;
        if ((revents & POLLIN) != 0) {
            if (read(ev_fds[i].fd, event, sizeof *event) == static_cast<ssize_t>(sizeof *event)) {
                return 0;
            }
        } else if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            ev_drop(i);
            continue;
        }
        ++i;
    }
    return -1;
}

}  // namespace

int ev_init() {
    for (int n = 0; n < EV_DEVICES; ++n) {
        // Close-on-exec: the shell commands the program runs do not inherit it.
        const int fd = open(EV_PATHS[n], O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            printf("failed to open %s", EV_PATHS[n]);
            return fd;
        }
        ev_fds[ev_count].fd = fd;
        ev_fds[ev_count].events = POLLIN;
        ev_fds[ev_count].revents = 0;
        ++ev_count;
    }
    return 0;
}

int ev_get(input_event* event, int timeout_ms) {
    for (;;) {
        if (ev_get_once(event, timeout_ms) == 0) return 0;
        if (timeout_ms != -1) return -1;
    }
}

void ev_clear() {
    input_event discarded;
    while (ev_get(&discarded, 0) == 0) {
    }
}

void ev_exit() {
    while (ev_count != 0) {
        --ev_count;
        close(ev_fds[ev_count].fd);
    }
}
