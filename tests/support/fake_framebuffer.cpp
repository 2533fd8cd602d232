#include "fake_framebuffer.h"

#include <linux/fb.h>
#include <linux/kd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <string>

#include "memory_screen.h"
#include "sandbox.h"

namespace {
constexpr const char* DEVICE = "/dev/graphics/fb0";
bool installed = false;
fb_var_screeninfo screen{};
constexpr const char* CONSOLE = "/dev/tty0";
bool console_installed = false;
int console_set_error = 0;
}  // namespace

int fake_console_mode = KD_TEXT;
std::vector<int> fake_console_modes_set;

int fake_framebuffer_pans = 0;
int fake_framebuffer_pan_error = 0;

extern "C" int __real_ioctl(int fd, unsigned long request, ...);

// The screen query on any descriptor while the fake is installed; every other
// request goes to the kernel.
extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (installed && request == FBIOGET_VSCREENINFO) {
        *static_cast<fb_var_screeninfo*>(argument) = screen;
        return 0;
    }
    if (console_installed && request == KDGETMODE) {
        *static_cast<int*>(argument) = fake_console_mode;
        return 0;
    }
    if (console_installed && request == KDSETMODE) {
        errno = console_set_error;
        if (console_set_error != 0) return -1;
        // The mode is passed as the argument itself.
        fake_console_mode = static_cast<int>(reinterpret_cast<intptr_t>(argument));
        fake_console_modes_set.push_back(fake_console_mode);
        return 0;
    }
    if (request == FBIOPAN_DISPLAY) {  // on the fake or a mapped file standing for a screen
        ++fake_framebuffer_pans;
        errno = fake_framebuffer_pan_error;
        return fake_framebuffer_pan_error == 0 ? 0 : -1;
    }
    return __real_ioctl(fd, request, argument);
}

void fake_framebuffer_install(int xres, int yres, int bits_per_pixel) {
    fake_framebuffer_pans = 0;
    screen_var_init(&screen, xres, yres, bits_per_pixel);
    make_dirs("/dev/graphics");
    write_text_file(DEVICE,
                    std::string(static_cast<size_t>(xres) * yres * (bits_per_pixel / 8), '\0'));
    installed = true;
}

void fake_framebuffer_remove() {
    installed = false;
    unlink(DEVICE);
}

void fake_console_install(int mode, int set_error) {
    fake_console_mode = mode;
    console_set_error = set_error;
    fake_console_modes_set.clear();
    make_dirs("/dev");
    write_text_file(CONSOLE, "");
    console_installed = true;
}

std::string fake_console_written() {
    return read_text_file(CONSOLE);
}

void fake_console_remove() {
    console_installed = false;
    unlink(CONSOLE);
}
