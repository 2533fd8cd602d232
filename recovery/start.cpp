#include <stdlib.h>

#include "recovery.h"

int main(int argc, char** argv) {
    exit(zqrecovery::main(argc, argv));
}
