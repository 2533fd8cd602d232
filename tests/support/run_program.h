// Runs a built program as a user would, and collects what it printed.
#pragma once

#include <string>
#include <vector>

struct program_run {
    std::vector<std::string> args;  // program path first
    std::vector<std::string> env;   // NAME=value; PATH defaults to the system's
    int timeout_seconds = 60;
    int user = 0;  // a user (and group) id to run as, from root; 0: as the test runs
    const char* stdout_path = nullptr;  // where standard output goes instead (e.g. /dev/full)
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
// What perror(text) prints for errnum in the C library the programs are
// linked with: the device's build links musl, whose texts are its own.
std::string program_perror(const char* text, int errnum);
