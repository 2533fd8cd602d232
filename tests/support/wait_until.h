// The tests' one polling loop: waits for a condition against a wall-clock
// deadline, never by counting iterations.
#pragma once

#include <time.h>
#include <unistd.h>

// Checks `condition` every interval_ms until it holds or timeout_ms of wall
// time have passed; returns its last answer.
template <typename Condition>
bool wait_until(Condition condition, int timeout_ms = 10000, int interval_ms = 20) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (condition()) return true;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long elapsed_ms =
            (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed_ms >= timeout_ms) return condition();
        usleep(static_cast<useconds_t>(interval_ms) * 1000);
    }
}
