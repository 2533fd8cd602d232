// zqbmp's exit statuses; where several apply, the highest wins.
#pragma once

constexpr int EXIT_CLEAN = 0;
constexpr int EXIT_FINDINGS = 1;    // something the device would do otherwise than meant
constexpr int EXIT_USAGE = 2;       // the command line is wrong
constexpr int EXIT_UNREADABLE = 3;  // an input could not be read, or an output not written

constexpr int exit_worst(int a, int b) {
    return a > b ? a : b;
}
