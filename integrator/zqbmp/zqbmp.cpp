// zqbmp: what the device makes of picture files, media sets and update trees.
//   zqbmp info FILE...                         loadable or not, with its geometry
//   zqbmp ppm FILE OUT.ppm                     the decoded picture as binary PPM (P6)
//   zqbmp check MEDIA_DIR --screen WxHxBPP [GEOMETRY] [--tree TREE] [--strict]
//                                              what the programs make of /ZQ/media
//   zqbmp preview MEDIA_DIR --screen WxHxBPP [GEOMETRY] OUTDIR   PNGs of what the screen shows
//   zqbmp update-check TREE [--item N]         what an update would install or skip,
//                                              held to the tree's manifest
//   zqbmp update-seal TREE                     writes the tree's manifest
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bmplib.h"
#include "media_check.h"
#include "update_check.h"

namespace {

int usage() {
    (void)fputs(
        "usage: zqbmp info FILE...\n"
        "       zqbmp ppm FILE OUT.ppm\n"
        "       zqbmp check MEDIA_DIR --screen WxHxBPP [GEOMETRY] [--tree TREE] [--strict]\n"
        "       zqbmp preview MEDIA_DIR --screen WxHxBPP [GEOMETRY] OUTDIR\n"
        "       zqbmp update-check TREE [--item N]   (N: menu item 1 to 6, default 4)\n"
        "       zqbmp update-seal TREE\n"
        "BPP is 16, 24 or 32. GEOMETRY, as the driver reports it:\n"
        "  --pitch BYTES   bytes from a row to the next (line_length)\n"
        "  --offset X,Y    the visible screen's place in the virtual one (xoffset, yoffset)\n"
        "  --order ORDER   a pixel's bytes in memory order: BGRX (the usual), RGBX, XRGB,\n"
        "                  XBGR; BGR or RGB at 24 bits; at 16 bits the layout from the top\n"
        "                  bit down: RGB565 (the usual), BGR565, RGB555, BGR555\n",
        stderr);
    return 2;
}

int info(int count, char** files) {
    int status = 0;
    for (int i = 0; i < count; ++i) {
        const char* why = nullptr;
        bmp_image* image = bmp_open_explained(files[i], &why);
        if (image == nullptr) {
            (void)printf("%s: cannot be loaded: %s\n", files[i],
                         why != nullptr ? why : strerror(errno));
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
    const bool check = argc >= 2 && strcmp(argv[1], "check") == 0;
    const bool preview = argc >= 2 && strcmp(argv[1], "preview") == 0;
    if ((check || preview) && argc >= 5 && strcmp(argv[3], "--screen") == 0) {
        screen_geometry screen{};
        if (parse_screen(argv[4], &screen) != 0) {
            (void)fprintf(stderr,
                          "zqbmp: --screen %s: give WIDTHxHEIGHTxBPP, e.g. 1024x600x32; BPP is "
                          "16, 24 or 32\n",
                          argv[4]);
            return 2;
        }
        check_options options;
        int i = 5;
        while (i < argc && strncmp(argv[i], "--", 2) == 0) {
            if (check && strcmp(argv[i], "--strict") == 0) {
                options.strict = true;
                ++i;
            } else if (check && strcmp(argv[i], "--tree") == 0 && i + 1 < argc) {
                options.tree = argv[i + 1];
                i += 2;
            } else if (i + 1 < argc) {
                if (parse_screen_option(argv[i], argv[i + 1], &screen) != 0) return 2;
                i += 2;
            } else {
                break;
            }
        }
        if (check && i == argc) return media_check(argv[2], screen, options);
        if (preview && i == argc - 1) return media_preview(argv[2], screen, argv[i]);
    }
    if (argc == 3 && strcmp(argv[1], "update-seal") == 0) return update_seal(argv[2]);
    if (argc == 3 && strcmp(argv[1], "update-check") == 0) return update_check(argv[2], 4);
    if (argc == 5 && strcmp(argv[1], "update-check") == 0 && strcmp(argv[3], "--item") == 0) {
        int item = 0;
        char tail = '\0';
        if (sscanf(argv[4], "%d%c", &item, &tail) == 1 && item >= 1 && item <= 6) {
            return update_check(argv[2], item);
        }
        (void)fprintf(stderr, "zqbmp: --item %s: not a menu item from 1 to 6\n", argv[4]);
        return 2;
    }
    return usage();
}
