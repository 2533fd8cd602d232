// sha256_bench FILE: the file's SHA-256 as the update reads it (128 KiB at a
// time), in sha256sum's format; hash_instructions.sh counts its instructions.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "sha256.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const int fd = open(argv[1], O_RDONLY);
    if (fd < 0) return 1;
    static char buffer[128 * 1024];
    sha256_state state;
    sha256_init(&state);
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        sha256_feed(&state, buffer, static_cast<size_t>(n));
    close(fd);
    char hex[SHA256_HEX_SIZE];
    sha256_finish(&state, hex);
    printf("%s  %s\n", hex, argv[1]);
    return n == 0 ? 0 : 1;
}
