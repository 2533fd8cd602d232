// zqrecovery as a user meets it on a machine without its screen or shell.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/run_program.h"
#include "support/sandbox.h"

namespace {

TEST(RecoveryProgram, WithoutAFramebufferReportsAndExitsZero) {
    unlink("/dev/graphics/fb0");
    const program_result r = run_program({.args = {built_program("zqrecovery"), "one", "two"}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "start ZQ recovery.\n3\n");
    EXPECT_EQ(r.err, "fb0 dev open: No such file or directory\n");
}

TEST(RecoveryProgram, WithAFramebufferThatCannotBeQueriedReportsAndExitsZero) {
    write_text_file("/dev/graphics/fb0", "");
    const program_result r = run_program({.args = {built_program("zqrecovery")}});
    unlink("/dev/graphics/fb0");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "start ZQ recovery.\n1\n");
    EXPECT_EQ(r.err, "fb0 dev ioctl: Inappropriate ioctl for device\n");
}

TEST(RecoveryProgram, WithoutAShellReportsAndExitsZero) {
    const std::string root = make_shell_less_root(built_program("zqrecovery"));
    const program_result r = run_program({.args = {"/program"}, .root = root});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "start ZQ recovery.\n1\n");
    EXPECT_EQ(r.err.rfind("sh: ", 0), 0u) << r.err;
}

}  // namespace
