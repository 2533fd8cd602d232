// The programs' roads that run on this host, under valgrind's memcheck: no
// leak, no error, no descriptor left open at the end but the standard streams.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/run_program.h"
#include "support/sandbox.h"
#include "support/shell_layout.h"

namespace {

program_result under_valgrind(const char* program) {
    return run_program(
        {.args = {"/usr/bin/valgrind", "--leak-check=full", "--show-leak-kinds=all",
                  "--errors-for-leak-kinds=all", "--error-exitcode=99", "--track-fds=yes",
                  "--child-silent-after-fork=yes", built_program(program)},
         .env = {PLATFORM_PATH},
         .timeout_seconds = 120});
}

void expect_clean(const program_result& r) {
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("in use at exit: 0 bytes in 0 blocks"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("ERROR SUMMARY: 0 errors"), std::string::npos) << r.err;
    // --track-fds lists what is open at exit: only the three standard streams.
    EXPECT_NE(r.err.find("FILE DESCRIPTORS: 3 open (3 std) at exit."), std::string::npos) << r.err;
}

class ProgramLeaks : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override { platform_command("start"); }
};

// The furthest road the host reaches: the device opened, its query failed;
// the clean-up closes it and frees what was allocated.
TEST_P(ProgramLeaks, WithAFramebufferThatCannotBeQueried) {
    write_text_file("/dev/graphics/fb0", "");
    expect_clean(under_valgrind(GetParam()));
    unlink("/dev/graphics/fb0");
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramLeaks, testing::Values("zqrecovery", "zqanimation"));

TEST(DeviceInitLeaks, RunsTheScriptCleanly) {
    make_dirs("/ZQ/bin");
    write_text_file("/ZQ/bin/zq_device_init_wrapper.sh", "#!/bin/sh\nexit 3\n", 0755);
    expect_clean(under_valgrind("run_zq_device_init"));
}

}  // namespace
