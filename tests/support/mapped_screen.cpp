#include "mapped_screen.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "framebuffer.h"
#include "memory_screen.h"
#include "wait_until.h"

mapped_screen::mapped_screen(int xres, int yres, int bits_per_pixel)
    : xres_(xres), yres_(yres), bpp_(bits_per_pixel / 8) {
    char path[] = "/tmp/screen-XXXXXX";
    fd_ = mkstemp(path);
    if (fd_ < 0) abort();
    path_ = path;
    const off_t size = static_cast<off_t>(xres) * yres * bpp_;
    if (ftruncate(fd_, size) != 0) abort();
    screen_var_init(&fbvar, xres, yres, bits_per_pixel);
    fbfix = fb_fix_screeninfo{};
    fbfd = open(path_.c_str(), O_RDWR);
    fflush(stdout);
    if (fbfd < 0 || fb_map() != 0) abort();
}

mapped_screen::~mapped_screen() {
    fb_exit();
    fbfd = -1;
    fbmem = nullptr;
    buffersize = 0;
    close(fd_);
    unlink(path_.c_str());
}

std::vector<uint8_t> mapped_screen::snapshot() const {
    std::vector<uint8_t> bytes(static_cast<size_t>(xres_) * yres_ * bpp_);
    if (pread(fd_, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) abort();
    return bytes;
}

screen_view mapped_screen::view_of(const std::vector<uint8_t>& bytes) const {
    return {bytes.data(), xres_, yres_, bpp_};
}

std::vector<std::string> mapped_screen::lines(const prepared_bitmap* table, int y0) const {
    const std::vector<uint8_t> bytes = snapshot();
    return screen_read_lines(view_of(bytes), table, y0);
}

bool mapped_screen::wait_for_lines(const prepared_bitmap* table,
                                   const std::vector<std::string>& want, int timeout_ms) const {
    return wait_until([&] { return lines(table) == want; }, timeout_ms);
}

void mapped_screen::fill(uint8_t value) {
    const std::vector<uint8_t> bytes(static_cast<size_t>(xres_) * yres_ * bpp_, value);
    if (pwrite(fd_, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) abort();
}

bool mapped_screen::is_black() const {
    const std::vector<uint8_t> bytes = snapshot();
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}
