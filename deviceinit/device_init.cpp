#include "device_init.h"

#include "shell.h"

namespace {
constexpr const char* DEVICE_INIT_SCRIPT = "/ZQ/bin/zq_device_init_wrapper.sh";
}

int run_zq_device_init::main(int /*argc*/, char** /*argv*/) {
    shell_system(DEVICE_INIT_SCRIPT);
    return 0;
}
