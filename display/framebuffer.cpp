#include "framebuffer.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "screen_format.h"

int fbfd = -1;
fb_var_screeninfo fbvar;
fb_fix_screeninfo fbfix;
uint32_t buffersize = 0;
uint8_t* fbmem = nullptr;

namespace {

constexpr const char* FB_DEVICE = "/dev/graphics/fb0";

// Row pitch and the visible screen's first byte, from fbvar and fbfix alone.
struct visible_screen {
    uint64_t pitch;
    uint64_t start;
    uint64_t row_bytes;
};

visible_screen visible() {
    const uint64_t bpp = fbvar.bits_per_pixel / 8;
    const uint64_t row_bytes = uint64_t{fbvar.xres} * bpp;
    const uint64_t pitch = fbfix.line_length >= row_bytes ? fbfix.line_length : row_bytes;
    const bool inside = uint64_t{fbvar.xoffset} + fbvar.xres <= fbvar.xres_virtual &&
                        uint64_t{fbvar.yoffset} + fbvar.yres <= fbvar.yres_virtual &&
                        uint64_t{fbvar.xoffset} * bpp + row_bytes <= pitch;
    const uint64_t start =
        inside ? uint64_t{fbvar.yoffset} * pitch + uint64_t{fbvar.xoffset} * bpp : 0;
    return {pitch, start, row_bytes};
}

}  // namespace

uint64_t fb_visible_end() {
    const visible_screen v = visible();
    return fbvar.yres == 0 ? v.start : v.start + (fbvar.yres - 1) * v.pitch + v.row_bytes;
}

screen_layout fb_layout() {
    const visible_screen v = visible();
    const int64_t bpp = fbvar.bits_per_pixel / 8;
    const bool drawable = fbmem != nullptr && bpp > 0 && v.pitch > 0;
    if (!drawable || v.start + v.row_bytes > buffersize) return {nullptr, 0, 0, 0, 0};
    uint64_t rows = (buffersize - v.start - v.row_bytes) / v.pitch + 1;
    if (rows > fbvar.yres) rows = fbvar.yres;
    return {fbmem + v.start, static_cast<int64_t>(v.pitch), static_cast<int64_t>(fbvar.xres),
            static_cast<int64_t>(rows), bpp};
}

namespace {
// The driver refused a pan: the screen is scanned without being told.
bool pan_refused = false;
}  // namespace

int fb_init() {
    pan_refused = false;
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
    // The row pitch; a driver that does not answer has rows xres * Bpp apart.
    if (ioctl(fbfd, FBIOGET_FSCREENINFO, &fbfix) < 0) fbfix = fb_fix_screeninfo{};
    return 0;
}

namespace {
// The driver's mapping starts at the page that holds smem_start: the device
// memory lies this far into it.
uint32_t memory_offset = 0;
}  // namespace

int fb_map() {
    printf(
        "x-resolution: %d\ny-resolution: %d\nx-resolution-virtual: %d\n"
        "y-resolution-vritual: %d\nbpp: %d\n",
        fbvar.xres, fbvar.yres, fbvar.xres_virtual, fbvar.yres_virtual, fbvar.bits_per_pixel);
    // A visible page past the driver's memory (0: unknown) is drawn on the first page.
    const uint64_t memory = fbfix.smem_len;
    const bool beyond = memory != 0 && fb_visible_end() > memory;
    if (beyond) fbvar.xoffset = fbvar.yoffset = 0;
    const visible_screen v = visible();
    screen_format format;
    screen_format_init(&format, &fbvar);
    printf("row pitch: %" PRIu64 ", visible from byte %" PRIu64
           ", red at bit %u, green at %u, blue at %u\n",
           v.pitch, v.start, format.red_offset, format.green_offset, format.blue_offset);
    const uint64_t end = fb_visible_end();
    if (memory != 0 && end > memory) {
        (void)fprintf(stderr,
                      "fb0 dev mmap: the screen (%" PRIu64
                      " bytes) does not fit in the driver's "
                      "memory (%" PRIu64 " bytes)\n",
                      end, memory);
        return -1;
    }
    const auto page = static_cast<uint64_t>(getpagesize());
    memory_offset = static_cast<uint32_t>(fbfix.smem_start % page);
    buffersize =
        end > UINT32_MAX - memory_offset ? UINT32_MAX - memory_offset : static_cast<uint32_t>(end);
    void* mapping =
        mmap(nullptr, memory_offset + buffersize, PROT_READ | PROT_WRITE, MAP_SHARED, fbfd, 0);
    if (mapping == MAP_FAILED) {
        perror("fb0 dev mmap");
        return -1;
    }
    fbmem = static_cast<uint8_t*>(mapping) + memory_offset;
    if (beyond) fb_flush();  // the driver shows the first page
    return 0;
}

void fb_clear() {
    const screen_layout screen = fb_layout();
    if (screen.origin == nullptr) return;
    const auto row_bytes = static_cast<size_t>(screen.width * screen.bytes_per_pixel);
    if (screen.pitch == static_cast<int64_t>(row_bytes)) {
        memset(screen.origin, 0, row_bytes * static_cast<size_t>(screen.height));
        return;
    }
    for (int64_t y = 0; y < screen.height; ++y)
        memset(screen.origin + y * screen.pitch, 0, row_bytes);
}

void fb_flush() {
    if (fbfd < 0 || pan_refused) return;
    fb_var_screeninfo shown = fbvar;
    if (ioctl(fbfd, FBIOPAN_DISPLAY, &shown) == 0 || (errno != EINVAL && errno != ENOTTY)) return;
    pan_refused = true;
    printf("FBIOPAN_DISPLAY refused: %s; the screen is drawn without it\n", strerror(errno));
}

void fb_exit() {
    if (fbmem != nullptr) munmap(fbmem - memory_offset, memory_offset + buffersize);
    if (fbfd >= 0) close(fbfd);
}
