// /dev/graphics/fb0 as a plain file that a program's own fb_init and fb_map
// take for a framebuffer: the screen query is answered by a wrapper of ioctl,
// so a test binary that uses it links with -Wl,--wrap=ioctl.
#pragma once

void fake_framebuffer_install(int xres, int yres, int bits_per_pixel);
void fake_framebuffer_remove();
