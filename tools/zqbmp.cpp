// zqbmp: what the device's BMP reader makes of picture files.
//   zqbmp info FILE...     one line per file: loadable or not, with its geometry
//   zqbmp ppm FILE OUT.ppm the decoded picture, top row first, as binary PPM (P6)
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bmplib.h"

namespace {

int usage() {
    (void)fputs("usage: zqbmp info FILE...\n       zqbmp ppm FILE OUT.ppm\n", stderr);
    return 2;
}

int info(int count, char** files) {
    int status = 0;
    for (int i = 0; i < count; ++i) {
        bmp_image* image = bmp_open(files[i]);
        if (image == nullptr) {
            (void)printf("%s: cannot be loaded\n", files[i]);
            status = 1;
            continue;
        }
        bmp_info header;
        bmp_describe(image, &header);
        printf("%s: %d x %d, %d bits per pixel, compression %u%s\n", files[i], bmp_width(image),
               bmp_height(image), header.bit_count, header.compression,
               header.top_down ? ", top-down" : "");
        bmp_close(image);
    }
    return status;
}

int ppm(const char* file, const char* out_path) {
    bmp_image* image = bmp_open(file);
    if (image == nullptr) {
        (void)fprintf(stderr, "%s: cannot be loaded\n", file);
        return 1;
    }
    FILE* out = fopen(out_path, "wb");
    if (out == nullptr) {
        perror(out_path);
        bmp_close(image);
        return 1;
    }
    const int32_t w = bmp_width(image);
    const int32_t h = bmp_height(image);
    (void)fprintf(out, "P6\n%d %d\n255\n", w, h);
    auto* row = static_cast<unsigned char*>(malloc(static_cast<size_t>(w) * 3));
    int status = row == nullptr ? 1 : 0;
    for (int32_t y = 0; status == 0 && y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const uint32_t c = bmp_getpixel(image, x, y);
            row[3 * x] = static_cast<unsigned char>(c >> 16);
            row[3 * x + 1] = static_cast<unsigned char>(c >> 8);
            row[3 * x + 2] = static_cast<unsigned char>(c);
        }
        if (fwrite(row, 3, static_cast<size_t>(w), out) != static_cast<size_t>(w)) status = 1;
    }
    free(row);
    if (fclose(out) != 0) status = 1;
    bmp_close(image);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "info") == 0) return info(argc - 2, argv + 2);
    if (argc == 4 && strcmp(argv[1], "ppm") == 0) return ppm(argv[2], argv[3]);
    return usage();
}
