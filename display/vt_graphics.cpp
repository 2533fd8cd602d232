#include "vt_graphics.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/kd.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr const char* VT_DEVICE = "/dev/tty0";
constexpr const char* VT_REFUSED_FORMAT = "%s: %s; the console may draw over the screen\n";

int vt_fd = -1;
int vt_mode_before = KD_TEXT;

}  // namespace

void vt_graphics_begin() {
    vt_graphics_end();
    const int fd = open(VT_DEVICE, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        printf(VT_REFUSED_FORMAT, VT_DEVICE, strerror(errno));
        return;
    }
    int mode = KD_TEXT;
    if (ioctl(fd, KDGETMODE, &mode) != 0 || ioctl(fd, KDSETMODE, KD_GRAPHICS) != 0) {
        printf(VT_REFUSED_FORMAT, "KDSETMODE", strerror(errno));
        close(fd);
        return;
    }
    vt_fd = fd;
    vt_mode_before = mode;
}

void vt_graphics_end() {
    if (vt_fd >= 0 && vt_mode_before != KD_GRAPHICS) (void)ioctl(vt_fd, KDSETMODE, vt_mode_before);
    vt_graphics_keep();
}

void vt_graphics_keep() {
    if (vt_fd < 0) return;
    close(vt_fd);
    vt_fd = -1;
}
