// /dev/graphics/fb0 as a plain file that a program's own fb_init and fb_map
// take for a framebuffer: the screen query is answered by a wrapper of ioctl,
// so a test binary that uses it links with -Wl,--wrap=ioctl.
#pragma once

void fake_framebuffer_install(int xres, int yres, int bits_per_pixel);
// Pans asked of any screen since the fake was installed (or the count was
// cleared), and the errno they are refused with (0: accepted, as a panel
// refreshed on request accepts them).
extern int fake_framebuffer_pans;
extern int fake_framebuffer_pan_error;
void fake_framebuffer_remove();
