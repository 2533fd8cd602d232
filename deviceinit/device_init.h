// Runs the device's initialisation script through the platform's shell.
#pragma once

namespace run_zq_device_init {
int main(int argc, char** argv);
}
