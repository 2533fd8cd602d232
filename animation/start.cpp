#include <stdlib.h>

#include "animation.h"

int main(int argc, char** argv) {
    exit(zqanimation::main(argc, argv));
}
