// A screen in memory standing in for the device's framebuffer driver: for the
// integrator's checker, the tests and the benchmarks. Never in a program.
#pragma once

#include <linux/fb.h>

#include <cstdint>

// What a driver reports of its screen.
struct screen_geometry {
    int width;
    int height;
    int bits;                  // 16, 24 or 32
    uint32_t line_length = 0;  // bytes from a row to the next; 0: not reported
    uint32_t xoffset = 0;      // the visible screen's place in the virtual one
    uint32_t yoffset = 0;
    // Each channel's bit offset; -1: the depth's usual (at 16 bits red 11,
    // green 5, blue 0; otherwise red 16, green 8, blue 0).
    int red = -1;
    int green = -1;
    int blue = -1;
    // At 16 bits, each channel's width in bits; 0: 5-6-5.
    int red_bits = 0;
    int green_bits = 0;
    int blue_bits = 0;
};

// The screen information a driver reports for a plain xres x yres screen: at
// 16 bits 5-6-5 (red at 11), otherwise 8 bits a channel, red at 16, green at
// 8, blue at 0.
void screen_var_init(fb_var_screeninfo* var, int xres, int yres, int bits_per_pixel);

// Sets fbvar and fbfix as a driver of that screen reports them, the virtual
// screen just large enough for the offsets.
void screen_describe(const screen_geometry& screen);

// Points the framebuffer globals at a cleared screen of that geometry on the
// heap: fbvar and fbfix as screen_describe sets them, fbmem and buffersize. Aborts when the memory
// cannot be had. memory_screen_close releases it; fb_exit must not.
void memory_screen_open(const screen_geometry& screen);
void memory_screen_close();
