// The Linux framebuffer: open, query, map, release. One set of globals per program.
#pragma once

#include <linux/fb.h>

#include <cstdint>

extern int fbfd;                 // device descriptor, -1 while not open
extern fb_var_screeninfo fbvar;  // read once by fb_init
extern uint32_t buffersize;      // bytes mapped: xres * yres * (bits_per_pixel / 8)
extern uint8_t* fbmem;           // start of the mapping, null while not mapped

// Opens "/dev/graphics/fb0" and reads fbvar. 0, or -1 after a perror.
int fb_init();
// Prints the resolution block and maps the visible screen. 0, or -1 after a
// perror when the mapping fails (fbmem then stays null).
int fb_map();
// Unmaps and closes what fb_init and fb_map set up; safe after any failure.
void fb_exit();
// Clears the whole screen to black (buffersize zero bytes at fbmem); nothing
// while the screen is not mapped.
void fb_clear();
