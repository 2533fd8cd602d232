// /dev/graphics/fb0 as a plain file that a program's own fb_init and fb_map
// take for a framebuffer: the screen query is answered by a wrapper of ioctl,
// so a test binary that uses it links with -Wl,--wrap=ioctl.
#pragma once

#include <cstddef>

void fake_framebuffer_install(int xres, int yres, int bits_per_pixel);
void fake_framebuffer_remove();

// Bytes of heap in use now (the allocator's count, or the sanitizer's).
size_t heap_in_use();
