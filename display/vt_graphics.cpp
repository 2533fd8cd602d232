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
// The cursor's escapes: fbcon's blink work draws the cursor whatever the mode
// (seen on 6.1), and skips a console whose cursor is hidden.
constexpr char VT_CURSOR_HIDE[] = "\033[?25l";
constexpr char VT_CURSOR_SHOW[] = "\033[?25h";

int vt_fd = -1;
int vt_mode_before = KD_TEXT;

}  // namespace

void vt_graphics_begin() {
    vt_graphics_end();
    // Non-blocking: a console stopped by flow control must not hold the start.
    const int fd = open(VT_DEVICE, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
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
    (void)!write(fd, VT_CURSOR_HIDE, sizeof VT_CURSOR_HIDE - 1);
    vt_fd = fd;
    vt_mode_before = mode;
}

void vt_graphics_end() {
    if (vt_fd < 0) return;
    if (vt_mode_before != KD_GRAPHICS) (void)ioctl(vt_fd, KDSETMODE, vt_mode_before);
    (void)!write(vt_fd, VT_CURSOR_SHOW, sizeof VT_CURSOR_SHOW - 1);
    vt_graphics_keep();
}

void vt_graphics_keep() {
    if (vt_fd < 0) return;
    close(vt_fd);
    vt_fd = -1;
}
