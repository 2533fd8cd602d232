// An in-memory screen with guard bytes around it, for the display code: a
// test sees every byte written outside the visible screen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "memory_screen.h"

// What a reader needs of a screen's pixels.
struct screen_view {
    const uint8_t* pixels;
    int xres;
    int yres;
    int bytes_per_pixel;
};

// Points fbvar, fbfix, fbmem and buffersize at a buffer with guard bytes
// around it; the bytes of the mapping outside the visible screen are guard
// bytes too. At 16 bits the layout is 5-6-5 unless told otherwise.
class guarded_screen {
public:
    guarded_screen(int xres, int yres, int bits_per_pixel);
    // A screen as a driver with padded rows, a panned screen or another
    // channel order reports it.
    explicit guarded_screen(const screen_geometry& geometry);
    ~guarded_screen();
    guarded_screen(const guarded_screen&) = delete;
    guarded_screen& operator=(const guarded_screen&) = delete;

    // The visible screen's bytes, contiguous on an unpadded screen.
    uint8_t* pixels() { return bytes_.data() + GUARD + start_; }
    size_t size() const { return static_cast<size_t>(xres_) * yres_ * bpp_; }
    screen_view view() const;
    // The visible screen's rows, one after another.
    std::vector<uint8_t> visible_bytes() const;
    // True while nothing was written outside the visible screen.
    bool guards_intact() const;
    // Bytes of pixel (x, y).
    const uint8_t* at(int x, int y) const;
    void fill(uint8_t value);

private:
    static constexpr size_t GUARD = 256;
    static constexpr uint8_t GUARD_BYTE = 0xA5;
    bool visible(size_t offset) const;  // offset from the mapping's start
    std::vector<uint8_t> bytes_;
    int xres_;
    int yres_;
    int bpp_;
    size_t pitch_;
    size_t start_;
};
