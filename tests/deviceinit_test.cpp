// run_zq_device_init runs the device-init script at its compiled-in path.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/run_program.h"
#include "support/sandbox.h"

namespace {

const std::string SCRIPT = "/ZQ/bin/zq_device_init_wrapper.sh";

TEST(DeviceInit, RunsTheScriptWithoutArgumentsAndExitsZeroWhateverItReturns) {
    make_dirs("/ZQ/bin");
    write_text_file(
        SCRIPT, "#!/bin/sh\necho \"ran with $# arguments: $*\" > /tmp/init.log\nexit 3\n", 0755);
    const program_result r =
        run_program({.args = {built_program("run_zq_device_init"), "--flag", "x"}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(read_text_file("/tmp/init.log"), "ran with 0 arguments: \n");
    EXPECT_EQ(r.out, "");
}

TEST(DeviceInit, MissingScriptIsReportedByTheShellAndExitsZero) {
    unlink(SCRIPT.c_str());
    const program_result r = run_program({.args = {built_program("run_zq_device_init")}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.err.find(SCRIPT), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("not found"), std::string::npos) << r.err;
}

TEST(DeviceInit, ScriptThatCannotBeRunExitsZero) {
    make_dirs("/ZQ/bin");
    write_text_file(SCRIPT, "#!/bin/sh\nexit 0\n", 0644);  // not executable
    const program_result r = run_program({.args = {built_program("run_zq_device_init")}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
}

TEST(DeviceInit, WithoutAShellExitsZero) {
    const std::string root = make_shell_less_root(built_program("run_zq_device_init"));
    const program_result r = run_program({.args = {"/program"}, .root = root});
    EXPECT_EQ(r.exit_status, 0);
}

// The launcher's output goes nowhere, so that nothing but its own wait keeps
// it running until the script has ended.
TEST(DeviceInit, WaitsForTheScriptToEnd) {
    make_dirs("/ZQ/bin");
    write_text_file(SCRIPT, "#!/bin/sh\nsleep 1\necho done > /tmp/waited.log\n", 0755);
    unlink("/tmp/waited.log");
    const program_result r =
        run_program({.args = {built_program("run_zq_device_init")}, .discard_output = true});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(read_text_file("/tmp/waited.log"), "done\n");
}

}  // namespace
