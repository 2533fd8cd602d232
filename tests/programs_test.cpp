// The three programs as a user meets them on a machine without their screen:
// what they print, status 0, and what they hand to the platform's shell,
// /system/bin/sh where it exists (Android), else /bin/sh, else none.
#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/run_program.h"
#include "support/sandbox.h"
#include "support/shell_layout.h"

namespace {

const std::string SCRIPT = "/ZQ/bin/zq_device_init_wrapper.sh";
// What a program reports with perror; no text: nothing.
struct perror_line {
    const char* text;
    int errnum;
};
const perror_line NO_SCREEN = {"fb0 dev open", ENOENT};
const perror_line NOT_A_SCREEN = {"fb0 dev ioctl", ENOTTY};
const perror_line NO_SHELL = {"sh", ENOENT};
const perror_line NOTHING = {nullptr, 0};

std::string printed(const perror_line& line) {
    return line.text != nullptr ? program_perror(line.text, line.errnum) : "";
}

struct program_case {
    const char* name;
    std::vector<std::string> command;  // the program, then its arguments
    bool screen_is_a_file;             // fb0 a plain file (its query fails), else none
    const char* out;
    perror_line err;          // with a shell
    perror_line err_without;  // without one
    const char* handed_over;  // what the shell is asked to run; null: nothing
    const char* effect;       // the file the command writes, and what
    const char* effect_text;
};

// clang-format off
const program_case PROGRAMS[] = {
    {"recovery", {"zqrecovery", "one", "two"}, false, "start ZQ recovery.\n3\n", NO_SCREEN, NO_SHELL,
     nullptr, nullptr, nullptr},
    {"recovery_not_a_screen", {"zqrecovery"}, true, "start ZQ recovery.\n1\n", NOT_A_SCREEN, NO_SHELL,
     nullptr, nullptr, nullptr},
    {"animation", {"zqanimation"}, false, "start ZQ animation.\n", NO_SCREEN, NO_SHELL,
     "start recovery", "/tmp/start.log", "recovery\n"},
    {"animation_not_a_screen", {"zqanimation"}, true, "start ZQ animation.\n", NOT_A_SCREEN, NO_SHELL,
     "start recovery", "/tmp/start.log", "recovery\n"},
    // The script's own status (3) does not become the launcher's.
    {"device_init", {"run_zq_device_init", "--flag", "x"}, false, "", NOTHING, NOTHING,
     SCRIPT.c_str(), "/tmp/init.log", "init ran with 0 arguments\n"},
};
// clang-format on

struct layout_case {
    const char* name;
    unsigned shells;
    const char* shell;  // the one that must run the commands; null: none
};

const layout_case LAYOUTS[] = {
    {"android", SHELL_ANDROID, "android"},
    {"linux", SHELL_LINUX, "linux"},
    {"both", SHELL_ANDROID | SHELL_LINUX, "android"},
    {"neither", 0, nullptr},
};

void PrintTo(const program_case& c, std::ostream* out) {
    *out << c.name;
}
void PrintTo(const layout_case& layout, std::ostream* out) {
    *out << layout.name;
}

void write_script(const char* body, unsigned mode = 0755) {
    make_dirs("/ZQ/bin");
    write_text_file(SCRIPT, std::string("#!/usr/bin/dash\n") + body, mode);
}

class Programs : public testing::TestWithParam<std::tuple<program_case, layout_case>> {};

TEST_P(Programs, ReportEndWithZeroAndUseThePlatformsShell) {
    const auto& [c, layout] = GetParam();
    if (c.screen_is_a_file) {
        write_text_file("/dev/graphics/fb0", "");
    } else {
        unlink("/dev/graphics/fb0");
    }
    write_script("echo \"init ran with $# arguments\" > /tmp/init.log\nexit 3\n");
    unlink("/tmp/init.log");
    platform_command("start");
    shell_layout_set(layout.shells);
    std::vector<std::string> args = c.command;
    args[0] = built_program(args[0].c_str());
    const program_result r = run_program({.args = args, .env = {PLATFORM_PATH}});
    shell_layout_restore();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, printed(layout.shell != nullptr ? c.err : c.err_without));
    const bool ran = layout.shell != nullptr && c.handed_over != nullptr;
    EXPECT_EQ(shell_log(), ran ? std::string(layout.shell) + "\t" + c.handed_over + "\n" : "")
        << "the check for a shell runs nothing";
    if (c.effect != nullptr) {
        EXPECT_EQ(read_text_file(c.effect), ran ? c.effect_text : "");
    }
    unlink("/dev/graphics/fb0");
}

INSTANTIATE_TEST_SUITE_P(OnEachShellLayout, Programs,
                         testing::Combine(testing::ValuesIn(PROGRAMS), testing::ValuesIn(LAYOUTS)),
                         [](const auto& p) {
                             return std::string(std::get<0>(p.param).name) + "_" +
                                    std::get<1>(p.param).name;
                         });

// The device-init script as the shell meets it.
TEST(DeviceInitScript, MissingOrNotExecutableIsReportedByTheShellAndExitsZero) {
    unlink(SCRIPT.c_str());
    program_result r = run_program({.args = {built_program("run_zq_device_init")}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.err.find(SCRIPT + ": not found"), std::string::npos) << r.err;
    write_script("exit 0\n", 0644);
    r = run_program({.args = {built_program("run_zq_device_init")}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
}

// (The run ends when the launcher does, whatever holds its output.)
TEST(DeviceInitScript, LauncherWaitsForItToEnd) {
    write_script("sleep 1\necho done > /tmp/waited.log\n");
    unlink("/tmp/waited.log");
    const program_result r = run_program({.args = {built_program("run_zq_device_init")}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(read_text_file("/tmp/waited.log"), "done\n");
}

}  // namespace
