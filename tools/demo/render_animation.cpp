// Renders what zqanimation shows: the program's own UI thread draws into a
// screen mapped from a file, and each of the four frames is saved as a PPM.
//   render_animation MEDIA_DIR OUT_DIR [WIDTH HEIGHT BITS]
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "animation.h"
#include "bmplib.h"
#include "framebuffer.h"

namespace {

bool load(const std::string& path, prepared_bitmap* bitmap) {
    bmp_image* image = bmp_open(path.c_str());
    if (image == nullptr) {
        fprintf(stderr, "cannot load %s\n", path.c_str());
        return false;
    }
    prepare_bitmap(image, bitmap);
    bmp_close(image);
    return true;
}

// The screen's colour of pixel (x, y) as 0xRRGGBB.
uint32_t colour_at(const std::vector<uint8_t>& screen, int x, int y) {
    const int bpp = static_cast<int>(fbvar.bits_per_pixel / 8);
    const uint8_t* p = screen.data() + (static_cast<size_t>(y) * fbvar.xres + x) * bpp;
    if (bpp == 2) {
        const uint32_t v = p[0] | (p[1] << 8);
        return (((v >> 11) & 31) << 19) | (((v >> 5) & 63) << 10) | ((v & 31) << 3);
    }
    return (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

bool write_ppm(const std::string& path, const std::vector<uint8_t>& screen) {
    FILE* out = fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    fprintf(out, "P6\n%u %u\n255\n", fbvar.xres, fbvar.yres);
    for (uint32_t y = 0; y < fbvar.yres; ++y) {
        for (uint32_t x = 0; x < fbvar.xres; ++x) {
            const uint32_t c = colour_at(screen, static_cast<int>(x), static_cast<int>(y));
            const unsigned char rgb[3] = {static_cast<unsigned char>(c >> 16),
                                          static_cast<unsigned char>(c >> 8),
                                          static_cast<unsigned char>(c)};
            fwrite(rgb, 1, 3, out);
        }
    }
    return fclose(out) == 0;
}

int frame_shown(const std::vector<uint8_t>& screen) {
    const prepared_bitmap* frames[] = {&animation0, &animation1, &animation2, &animation3};
    const size_t pitch = static_cast<size_t>(fbvar.xres) * (fbvar.bits_per_pixel / 8);
    for (int k = 0; k < 4; ++k) {
        const prepared_bitmap& f = *frames[k];
        const size_t n = std::min(static_cast<size_t>(f.stride), pitch);
        const int rows = std::min<int>(f.height, static_cast<int>(fbvar.yres) - 50);
        bool same = rows > 0;
        for (int r = 0; same && r < rows; ++r) {
            same = memcmp(screen.data() + (50 + static_cast<size_t>(r)) * pitch,
                          f.pixels + static_cast<size_t>(r) * f.stride, n) == 0;
        }
        if (same) return k;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 6) {
        fputs("usage: render_animation MEDIA_DIR OUT_DIR [WIDTH HEIGHT BITS]\n", stderr);
        return 2;
    }
    const std::string media = argv[1];
    const std::string out = argv[2];
    fbvar.xres = fbvar.xres_virtual = argc == 6 ? static_cast<uint32_t>(atoi(argv[3])) : 800;
    fbvar.yres = fbvar.yres_virtual = argc == 6 ? static_cast<uint32_t>(atoi(argv[4])) : 480;
    fbvar.bits_per_pixel = argc == 6 ? static_cast<uint32_t>(atoi(argv[5])) : 32;
    fbvar.red = {11, 5, 0};
    fbvar.green = {5, 6, 0};
    fbvar.blue = {0, 5, 0};

    const std::string screen_file = out + "/screen.raw";
    fbfd = open(screen_file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    const size_t size = static_cast<size_t>(fbvar.xres) * fbvar.yres * (fbvar.bits_per_pixel / 8);
    if (fbfd < 0 || ftruncate(fbfd, static_cast<off_t>(size)) != 0 || fb_map() != 0) return 1;
    if (!load(media + "/zqtitle.bmp", &background) || !load(media + "/zqani00.bmp", &animation0) ||
        !load(media + "/zqani01.bmp", &animation1) || !load(media + "/zqani02.bmp", &animation2) ||
        !load(media + "/zqani03.bmp", &animation3)) {
        return 1;
    }

    pthread_t ui;
    if (pthread_create(&ui, nullptr, ui_thread_function, nullptr) != 0) return 1;
    bool saved[4] = {};
    int count = 0;
    std::vector<uint8_t> screen(size);
    for (int i = 0; i < 200 && count < 4; ++i) {
        usleep(50000);
        if (pread(fbfd, screen.data(), size, 0) != static_cast<ssize_t>(size)) break;
        const int k = frame_shown(screen);
        if (k < 0 || saved[k]) continue;
        const std::string path = out + "/animation_frame" + std::to_string(k) + ".ppm";
        if (!write_ppm(path, screen)) return 1;
        saved[k] = true;
        ++count;
    }
    EXIT_RECOVERY = 1;
    pthread_join(ui, nullptr);
    fb_exit();
    unlink(screen_file.c_str());
    printf("rendered %d of 4 frames\n", count);
    return count == 4 ? 0 : 1;
}
