// The tests' one polling loop: waits for a condition against a wall-clock
// deadline, never by counting iterations.
#pragma once

#include <time.h>
#include <unistd.h>

// Seconds on the monotonic clock.
inline double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Checks `condition` every interval_ms until it holds or timeout_ms of wall
// time have passed; returns its last answer.
template <typename Condition>
bool wait_until(Condition condition, int timeout_ms = 10000, int interval_ms = 20) {
    const double deadline = now_seconds() + timeout_ms / 1000.0;
    for (;;) {
        if (condition()) return true;
        if (now_seconds() >= deadline) return condition();
        usleep(static_cast<useconds_t>(interval_ms) * 1000);
    }
}
