// The work before the first frame, for an 800 x 480, 32-bit screen:
//   startup_cost load MEDIA_DIR   loads and converts what zqanimation and
//                                 zqrecovery load (five pictures and the font)
//   startup_cost floor MEDIA_DIR  only reads the same files and writes the
//                                 screen once: what no loader can avoid
// Run under callgrind by startup.sh, which compares the two counts.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bmplib.h"
#include "console.h"
#include "framebuffer.h"
#include "prepared_bitmap.h"

namespace {

const char* const PICTURES[] = {"zqtitle.bmp", "zqani00.bmp", "zqani01.bmp", "zqani02.bmp",
                                "zqani03.bmp"};

int load(const std::string& media) {
    prepared_bitmap bitmaps[5] = {};
    for (int i = 0; i < 5; ++i) {
        bmp_image* image = bmp_open((media + "/" + PICTURES[i]).c_str());
        if (image == nullptr) return 1;
        prepare_bitmap(image, &bitmaps[i]);
        bmp_close(image);
    }
    bmp_image* font = bmp_open((media + "/inconsolata_20px_ffffff.bmp").c_str());
    if (font == nullptr) return 1;
    prepare_font(font, font_20px);
    bmp_close(font);
    draw_prepared_bitmap(&bitmaps[0], 0, 0);
    for (auto& b : bitmaps) free(b.pixels);
    for (auto& g : font_20px) free(g.pixels);
    return 0;
}

int floor_only(const std::string& media) {
    std::vector<char> bytes;
    for (const char* name : PICTURES) {
        FILE* f = fopen((media + "/" + name).c_str(), "rb");
        if (f == nullptr) return 1;
        char buffer[65536];
        size_t n = 0;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
            bytes.insert(bytes.end(), buffer, buffer + n);
        fclose(f);
    }
    memset(fbmem, static_cast<int>(bytes.size() & 0xFF), buffersize);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fputs("usage: startup_cost load|floor MEDIA_DIR\n", stderr);
        return 2;
    }
    std::vector<uint8_t> screen(800 * 480 * 4);
    fbvar.xres = 800;
    fbvar.yres = 480;
    fbvar.bits_per_pixel = 32;
    fbmem = screen.data();
    buffersize = static_cast<uint32_t>(screen.size());
    const std::string mode = argv[1];
    return mode == "load" ? load(argv[2]) : floor_only(argv[2]);
}
