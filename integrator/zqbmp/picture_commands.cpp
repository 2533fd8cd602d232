#include "picture_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bmplib.h"
#include "exit_status.h"
#include "findings.h"
#include "picture_findings.h"

namespace {

// The picture at path as the device loads it; else nullptr after a line:
// on standard error with EXIT_UNREADABLE when it cannot be read, on
// standard output with EXIT_FINDINGS when it is not a picture the device takes.
bmp_image* open_picture(const char* path, int* status) {
    const char* why = nullptr;
    bmp_image* image = bmp_open_explained(path, &why);
    if (image != nullptr) return image;
    if (why == nullptr) {
        (void)fprintf(stderr, "zqbmp: %s: cannot be read: %s\n", path, strerror(errno));
        *status = exit_worst(*status, EXIT_UNREADABLE);
    } else {
        say(FINDING_ERROR, "does-not-load", "%s: does not load: %s", path,
            picture_load_problem(path, why).c_str());
        *status = exit_worst(*status, EXIT_FINDINGS);
    }
    return nullptr;
}

}  // namespace

int picture_info(size_t count, const char* const* files, bool json) {
    finding_report report;
    report.json = json;
    current_report = &report;
    int status = EXIT_CLEAN;
    for (size_t i = 0; i < count; ++i) {
        bmp_image* image = open_picture(files[i], &status);
        if (image == nullptr) continue;
        bmp_info header;
        bmp_describe(image, &header);
        say(FINDING_NOTE, "loads",
            {{"width", bmp_width(image)},
             {"height", bmp_height(image)},
             {"bits", header.bit_count},
             {"compression", header.compression}},
            "%s: loads: %d x %d, %d bits per pixel, compression %u%s", files[i], bmp_width(image),
            bmp_height(image), header.bit_count, header.compression,
            header.top_down ? ", top-down" : "");
        bmp_close(image);
    }
    report_finish(report, "info", status, {{"files", static_cast<long long>(count)}});
    current_report = nullptr;
    return status;
}

int picture_ppm(const char* file, const char* out_path) {
    int status = EXIT_CLEAN;
    bmp_image* image = open_picture(file, &status);
    if (image == nullptr) return status;
    FILE* out = fopen(out_path, "wb");
    if (out == nullptr) {
        (void)fprintf(stderr, "zqbmp: %s: cannot be written: %s\n", out_path, strerror(errno));
        bmp_close(image);
        return EXIT_UNREADABLE;
    }
    const int32_t w = bmp_width(image);
    const int32_t h = bmp_height(image);
    (void)fprintf(out, "P6\n%d %d\n255\n", w, h);
    auto* row = static_cast<unsigned char*>(malloc(static_cast<size_t>(w) * 3));
    bool written = row != nullptr;
    for (int32_t y = 0; written && y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const uint32_t c = bmp_getpixel(image, x, y);
            row[3 * x] = static_cast<unsigned char>(c >> 16);
            row[3 * x + 1] = static_cast<unsigned char>(c >> 8);
            row[3 * x + 2] = static_cast<unsigned char>(c);
        }
        written = fwrite(row, 3, static_cast<size_t>(w), out) == static_cast<size_t>(w);
    }
    const int error = written ? 0 : errno;
    free(row);
    if (fclose(out) != 0 || !written) {
        (void)fprintf(stderr, "zqbmp: %s: cannot be written: %s\n", out_path,
                      strerror(error != 0 ? error : errno));
        struct stat st {};
        if (stat(out_path, &st) == 0 && S_ISREG(st.st_mode)) (void)unlink(out_path);  // cut off
        status = EXIT_UNREADABLE;
    }
    bmp_close(image);
    return status;
}
