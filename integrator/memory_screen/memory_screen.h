// A screen in memory standing in for the device's framebuffer driver: for the
// integrator's checker, the tests and the benchmarks. Never in a program.
#pragma once

#include <linux/fb.h>

// The screen information a driver reports for a plain xres x yres screen: at
// 16 bits 5-6-5 (red at 11), otherwise 8 bits a channel, red at 16, green at
// 8, blue at 0.
void screen_var_init(fb_var_screeninfo* var, int xres, int yres, int bits_per_pixel);

// Points the framebuffer globals at a cleared screen of that format on the
// heap: fbvar as screen_var_init makes it, fbmem and buffersize. Aborts when
// the memory cannot be had. memory_screen_close releases it; fb_exit must not.
void memory_screen_open(int xres, int yres, int bits_per_pixel);
void memory_screen_close();
