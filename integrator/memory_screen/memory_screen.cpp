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

void memory_screen_open(int xres, int yres, int bits_per_pixel) {
    memory_screen_close();
    screen_var_init(&fbvar, xres, yres, bits_per_pixel);
    buffersize = static_cast<uint32_t>(xres * yres * (bits_per_pixel / 8));
    fbmem = static_cast<uint8_t*>(calloc(buffersize, 1));
    if (fbmem == nullptr) abort();
}

void memory_screen_close() {
    free(fbmem);
    fbmem = nullptr;
    buffersize = 0;
}
