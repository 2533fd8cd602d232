// The work before the first frame, for an 800 x 480, 32-bit screen:
//   startup_cost load MEDIA_DIR   loads and converts what zqanimation and
//                                 zqrecovery load (five pictures and the font)
//   startup_cost floor MEDIA_DIR  only reads the same files and writes the
//                                 screen once: what no loader can avoid
// Counted by instructions.sh, which compares the two.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Each file read whole into a buffer of its own, as the reader reads a
// picture's rows, then the screen written once.
int floor_only(const std::string& media) {
    std::vector<std::string> names(std::begin(PICTURES), std::end(PICTURES));
    names.emplace_back("inconsolata_20px_ffffff.bmp");
    std::vector<uint8_t*> files;
    int status = 0;
    for (const std::string& name : names) {
        std::string path = media;
        path.append("/").append(name);
        const int fd = open(path.c_str(), O_RDONLY);
        struct stat st {};
        auto* bytes = fd >= 0 && fstat(fd, &st) == 0
                          ? static_cast<uint8_t*>(malloc(static_cast<size_t>(st.st_size)))
                          : nullptr;
        if (bytes == nullptr || read(fd, bytes, static_cast<size_t>(st.st_size)) != st.st_size)
            status = 1;
        if (fd >= 0) close(fd);
        files.push_back(bytes);
    }
    memset(fbmem, files[0] != nullptr ? files[0][0] : 0, buffersize);
    for (uint8_t* bytes : files) free(bytes);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        (void)fputs("usage: startup_cost load|floor MEDIA_DIR\n", stderr);
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
