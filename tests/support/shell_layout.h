// Which platform shells the sandbox root has: /system/bin/sh (Android),
// /bin/sh (other Linux systems), both or neither. Each is a script that
// records "<android|linux>\t<command>" in /tmp/shell.log, then runs the
// command with the host's dash. Only for the sandbox's own root.
#pragma once

#include <string>

constexpr unsigned SHELL_ANDROID = 1;  // /system/bin/sh
constexpr unsigned SHELL_LINUX = 2;    // /bin/sh

// Lays out the shells (a mask of the two); the log starts empty.
void shell_layout_set(unsigned shells);
// The sandbox's usual root again: the host's /bin, no /system/bin/sh.
void shell_layout_restore();
// The log's lines so far.
std::string shell_log();

// A platform command (reboot, start, ...) in /tmp/bin that appends its
// arguments, one line a call, to the file it returns; the log starts empty.
std::string platform_command(const char* name);
// The PATH under which the platform commands are found first.
constexpr const char* PLATFORM_PATH = "PATH=/tmp/bin:/usr/bin:/bin";
