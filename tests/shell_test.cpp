// The three programs hand their commands to the platform's shell:
// /system/bin/sh where it exists (Android), else /bin/sh, else none.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/run_program.h"
#include "support/sandbox.h"
#include "support/shell_layout.h"

namespace {

const std::string SCRIPT = "/ZQ/bin/zq_device_init_wrapper.sh";

struct layout_case {
    const char* name;
    unsigned shells;
    const char* shell;  // the one that must run the commands; null: none
};

void PrintTo(const layout_case& layout, std::ostream* out) {
    *out << layout.name;
}

const layout_case LAYOUTS[] = {
    {"android", SHELL_ANDROID, "android"},
    {"linux", SHELL_LINUX, "linux"},
    {"both", SHELL_ANDROID | SHELL_LINUX, "android"},
    {"neither", 0, nullptr},
};

class PlatformShell : public testing::TestWithParam<layout_case> {
protected:
    void SetUp() override {
        unlink("/dev/graphics/fb0");  // the display programs take their failure road
        make_dirs("/ZQ/bin");
        write_text_file(
            SCRIPT, "#!/usr/bin/dash\necho \"init ran with $# arguments\" > /tmp/init.log\n", 0755);
        unlink("/tmp/init.log");
        platform_command("start");
        shell_layout_set(GetParam().shells);
    }
    void TearDown() override { shell_layout_restore(); }

    // What the shell log should read after these commands.
    static std::string logged(std::initializer_list<const char*> commands) {
        std::string log;
        if (GetParam().shell == nullptr) return log;
        for (const char* command : commands)
            log += std::string(GetParam().shell) + "\t" + command + "\n";
        return log;
    }
};

TEST_P(PlatformShell, DeviceInitRunsItsScriptThroughIt) {
    const program_result r =
        run_program({.args = {built_program("run_zq_device_init"), "x"}, .env = {PLATFORM_PATH}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(shell_log(), logged({SCRIPT.c_str()}));
    EXPECT_EQ(read_text_file("/tmp/init.log"),
              GetParam().shell != nullptr ? "init ran with 0 arguments\n" : "");
}

TEST_P(PlatformShell, AnimationAsksItToStartRecovery) {
    const program_result r =
        run_program({.args = {built_program("zqanimation")}, .env = {PLATFORM_PATH}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(shell_log(), logged({"start recovery"}));
    EXPECT_EQ(r.err, GetParam().shell != nullptr ? "fb0 dev open: No such file or directory\n"
                                                 : "sh: No such file or directory\n");
}

TEST_P(PlatformShell, RecoveryStartsOnlyWithOne) {
    const program_result r =
        run_program({.args = {built_program("zqrecovery")}, .env = {PLATFORM_PATH}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(shell_log(), "") << "the check for a shell runs nothing";
    EXPECT_EQ(r.err, GetParam().shell != nullptr ? "fb0 dev open: No such file or directory\n"
                                                 : "sh: No such file or directory\n");
}

INSTANTIATE_TEST_SUITE_P(Layouts, PlatformShell, testing::ValuesIn(LAYOUTS),
                         [](const auto& layout) { return std::string(layout.param.name); });

}  // namespace
