#include "fake_framebuffer.h"

#include <linux/fb.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <string>

#include "memory_screen.h"
#include "sandbox.h"

namespace {
constexpr const char* DEVICE = "/dev/graphics/fb0";
bool installed = false;
fb_var_screeninfo screen{};
}  // namespace

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
