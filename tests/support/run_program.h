// Runs a built program as a user would, and collects what it printed.
#pragma once

#include <string>
#include <vector>

struct program_run {
    std::vector<std::string> args;  // program path first
    std::vector<std::string> env;   // NAME=value; PATH defaults to the system's
    int timeout_seconds = 60;
    // Standard output and error to /dev/null: the run ends when the program
    // does, not when the last holder of its output lets go.
    bool discard_output = false;
};

struct program_result {
    int exit_status = -1;  // -1 when it did not exit normally
    bool timed_out = false;
    std::string out;
    std::string err;
};

// Runs the program (through the build's emulator, if it has one).
program_result run_program(const program_run& run);
// The path of a program of this build.
std::string built_program(const char* name);
