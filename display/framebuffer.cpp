#include "framebuffer.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int fbfd = -1;
fb_var_screeninfo fbvar;
uint32_t buffersize = 0;
uint8_t* fbmem = nullptr;

namespace {
constexpr const char* FB_DEVICE = "/dev/graphics/fb0";
}

int fb_init() {
    // Close-on-exec: the shell commands the program runs do not inherit it.
    fbfd = open(FB_DEVICE, O_RDWR | O_CLOEXEC);
    if (fbfd < 0) {
        perror("fb0 dev open");
        return -1;
    }
    if (ioctl(fbfd, FBIOGET_VSCREENINFO, &fbvar) < 0) {
        perror("fb0 dev ioctl");
        return -1;
    }
    return 0;
}

int fb_map() {
    printf(
        "x-resolution: %d\ny-resolution: %d\nx-resolution-virtual: %d\n"
        "y-resolution-vritual: %d\nbpp: %d\n",
        fbvar.xres, fbvar.yres, fbvar.xres_virtual, fbvar.yres_virtual, fbvar.bits_per_pixel);
    buffersize = fbvar.xres * fbvar.yres * (fbvar.bits_per_pixel / 8);
    void* mapping = mmap(nullptr, buffersize, PROT_READ | PROT_WRITE, MAP_SHARED, fbfd, 0);
    if (mapping == MAP_FAILED) {
        perror("fb0 dev mmap");
        return -1;
    }
    fbmem = static_cast<uint8_t*>(mapping);
    return 0;
}

void fb_clear() {
    if (fbmem != nullptr) memset(fbmem, 0, buffersize);
}

void fb_exit() {
    if (fbmem != nullptr) munmap(fbmem, buffersize);
    if (fbfd >= 0) close(fbfd);
}
