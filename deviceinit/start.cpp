#include <stdlib.h>

#include "device_init.h"

int main(int argc, char** argv) {
    exit(run_zq_device_init::main(argc, argv));
}
