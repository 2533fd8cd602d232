// The Linux framebuffer: open, query, map, release. One set of globals per program.
#pragma once

#include <linux/fb.h>
#include <stdint.h>

extern int fbfd;                 // device descriptor, -1 while not open
extern fb_var_screeninfo fbvar;  // read once by fb_init
extern fb_fix_screeninfo fbfix;  // read once by fb_init; zero where the driver does not answer
extern uint32_t buffersize;      // bytes mapped: from the device memory's start to the end of
                                 // the visible screen (xres * yres * Bpp on a plain screen)
extern uint8_t* fbmem;           // the device memory's first byte in the mapping (as far
                                 // into its first page as smem_start), null while not mapped

// Where the visible screen lies in the mapping. On a plain screen rows are
// xres * Bpp bytes apart from fbmem; a driver may report padded rows
// (line_length) and a panned screen (xoffset, yoffset).
struct screen_layout {
    uint8_t* origin;          // the visible top-left pixel; null when nothing can be drawn
    int64_t pitch;            // bytes from one row to the next
    int64_t width;            // pixels in a row
    int64_t height;           // rows, cut to those the mapping holds
    int64_t bytes_per_pixel;  // bits_per_pixel / 8 (0 below 8 bits, with origin null)
};

// The layout fbvar and fbfix describe, inside the buffersize bytes at fbmem.
// The reported row pitch is taken when it is at least xres * Bpp; the offsets
// when the visible screen lies within the virtual one and within a row.
screen_layout fb_layout();
// Bytes from the device memory's start to the end of the visible screen.
uint64_t fb_visible_end();

// Opens "/dev/graphics/fb0" and reads fbvar. 0, or -1 after a perror.
int fb_init();
// Prints the resolution block and the layout line (row pitch, offsets, channel
// offsets), then maps the device memory up to the visible screen's end. A
// visible page that lies past the driver's memory (smem_len, where known) is
// drawn on the first page, and the driver is panned there. 0, or -1 after a
// perror when the mapping fails, or a line when even the first page does not
// fit (fbmem then stays null).
int fb_map();
// Unmaps and closes what fb_init and fb_map set up; safe after any failure.
void fb_exit();
// Clears the visible screen to black (zero bytes); nothing while the screen
// is not mapped.
void fb_clear();
// Tells the driver a picture is complete: FBIOPAN_DISPLAY at the offsets the
// screen already has, so that a panel refreshed only on request shows it. A
// driver that refuses (EINVAL, ENOTTY) is not asked again, and standard output
// says so once. Nothing while the device is not open.
void fb_flush();
