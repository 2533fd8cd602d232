// /dev/graphics/fb0 as a plain file that a program's own fb_init and fb_map
// take for a framebuffer: the screen query is answered by a wrapper of ioctl,
// so a test binary that uses it links with -Wl,--wrap=ioctl.
#pragma once

#include <string>
#include <vector>

void fake_framebuffer_install(int xres, int yres, int bits_per_pixel);
// Pans asked of any screen since the fake was installed (or the count was
// cleared), and the errno they are refused with (0: accepted, as a panel
// refreshed on request accepts them).
extern int fake_framebuffer_pans;
extern int fake_framebuffer_pan_error;
void fake_framebuffer_remove();

// /dev/tty0 as a plain file whose KDGETMODE and KDSETMODE the same wrapper
// answers: the mode it holds, each mode set since it was installed (in
// order), and the errno a KDSETMODE is refused with (0: accepted).
void fake_console_install(int mode, int set_error);
extern int fake_console_mode;
extern std::vector<int> fake_console_modes_set;
// What the programs wrote to the console since it was installed.
std::string fake_console_written();
void fake_console_remove();
