#include "guarded_screen.h"

#include <cstring>

#include "framebuffer.h"

guarded_screen::guarded_screen(int xres, int yres, int bits_per_pixel)
    : guarded_screen(screen_geometry{xres, yres, bits_per_pixel}) {}

guarded_screen::guarded_screen(const screen_geometry& geometry)
    : xres_(geometry.width), yres_(geometry.height), bpp_(geometry.bits / 8) {
    screen_describe(geometry);
    // Worked out here, not by the code under test.
    const size_t row_bytes = static_cast<size_t>(xres_) * bpp_;
    pitch_ = geometry.line_length >= row_bytes ? geometry.line_length : row_bytes;
    start_ = geometry.yoffset * pitch_ + geometry.xoffset * bpp_;
    buffersize = static_cast<uint32_t>(start_ + (yres_ - 1) * pitch_ + row_bytes);
    bytes_.assign(buffersize + 2 * GUARD, GUARD_BYTE);
    for (int y = 0; y < yres_; ++y)
        memset(bytes_.data() + GUARD + start_ + y * pitch_, 0, row_bytes);
    fbmem = bytes_.data() + GUARD;
}

guarded_screen::~guarded_screen() {
    fbmem = nullptr;
    buffersize = 0;
    fbfix = fb_fix_screeninfo{};
}

screen_view guarded_screen::view() const {
    return {bytes_.data() + GUARD + start_, xres_, yres_, bpp_};
}

bool guarded_screen::visible(size_t offset) const {
    if (offset < start_) return false;
    return (offset - start_) / pitch_ < static_cast<size_t>(yres_) &&
           (offset - start_) % pitch_ < static_cast<size_t>(xres_) * bpp_;
}

std::vector<uint8_t> guarded_screen::visible_bytes() const {
    std::vector<uint8_t> out;
    for (int y = 0; y < yres_; ++y) {
        const uint8_t* row = bytes_.data() + GUARD + start_ + y * pitch_;
        out.insert(out.end(), row, row + static_cast<size_t>(xres_) * bpp_);
    }
    return out;
}

bool guarded_screen::guards_intact() const {
    for (size_t i = 0; i < bytes_.size(); ++i) {
        const bool inside = i >= GUARD && i - GUARD < buffersize && visible(i - GUARD);
        if (!inside && bytes_[i] != GUARD_BYTE) return false;
    }
    return true;
}

const uint8_t* guarded_screen::at(int x, int y) const {
    return bytes_.data() + GUARD + start_ + static_cast<size_t>(y) * pitch_ +
           static_cast<size_t>(x) * bpp_;
}

void guarded_screen::fill(uint8_t value) {
    for (int y = 0; y < yres_; ++y) {
        memset(bytes_.data() + GUARD + start_ + y * pitch_, value,
               static_cast<size_t>(xres_) * bpp_);
    }
}
