#include "memory_screen.h"

#include <cstdint>
#include <cstdlib>

#include "framebuffer.h"

void screen_var_init(fb_var_screeninfo* var, int xres, int yres, int bits_per_pixel) {
    *var = fb_var_screeninfo{};
    var->xres = var->xres_virtual = static_cast<uint32_t>(xres);
    var->yres = var->yres_virtual = static_cast<uint32_t>(yres);
    var->bits_per_pixel = static_cast<uint32_t>(bits_per_pixel);
    const bool rgb565 = bits_per_pixel == 16;
    var->red = {rgb565 ? 11u : 16u, rgb565 ? 5u : 8u, 0};
    var->green = {rgb565 ? 5u : 8u, rgb565 ? 6u : 8u, 0};
    var->blue = {0, rgb565 ? 5u : 8u, 0};
}

void screen_describe(const screen_geometry& screen) {
    screen_var_init(&fbvar, screen.width, screen.height, screen.bits);
    fbvar.xoffset = screen.xoffset;
    fbvar.yoffset = screen.yoffset;
    fbvar.xres_virtual += screen.xoffset;
    fbvar.yres_virtual += screen.yoffset;
    if (screen.red >= 0) {
        fbvar.red.offset = static_cast<uint32_t>(screen.red);
        fbvar.green.offset = static_cast<uint32_t>(screen.green);
        fbvar.blue.offset = static_cast<uint32_t>(screen.blue);
    }
    if (screen.bits == 16 && screen.red_bits > 0) {
        fbvar.red.length = static_cast<uint32_t>(screen.red_bits);
        fbvar.green.length = static_cast<uint32_t>(screen.green_bits);
        fbvar.blue.length = static_cast<uint32_t>(screen.blue_bits);
    }
    fbfix = fb_fix_screeninfo{};
    fbfix.line_length = screen.line_length;
}

void memory_screen_open(const screen_geometry& screen) {
    memory_screen_close();
    screen_describe(screen);
    buffersize = static_cast<uint32_t>(fb_visible_end());
    fbmem = static_cast<uint8_t*>(calloc(buffersize, 1));
    if (fbmem == nullptr) abort();
}

void memory_screen_close() {
    free(fbmem);
    fbmem = nullptr;
    buffersize = 0;
}
