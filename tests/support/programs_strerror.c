/* programs_strerror N: the text of error number N in the C library this is
 * linked with, the programs' (tests compare what the programs print). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    puts(strerror(atoi(argv[1])));
    return 0;
}
