// An in-memory screen for the display code, and a reader that turns what the
// console drew back into text by matching cells against the glyph table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "memory_screen.h"
#include "prepared_bitmap.h"

struct screen_view {
    const uint8_t* pixels;
    int xres;
    int yres;
    int bytes_per_pixel;
};

// Points fbvar, fbfix, fbmem and buffersize at a buffer with guard bytes
// around it; the bytes of the mapping outside the visible screen are guard
// bytes too. At 16 bits the layout is 5-6-5 unless told otherwise.
class memory_screen {
public:
    memory_screen(int xres, int yres, int bits_per_pixel);
    // A screen as a driver with padded rows, a panned screen or another
    // channel order reports it.
    explicit memory_screen(const screen_geometry& geometry);
    ~memory_screen();
    memory_screen(const memory_screen&) = delete;
    memory_screen& operator=(const memory_screen&) = delete;

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

// Text of the line whose top row is y. A cell that matches no glyph reads as
// '\x01'; trailing blanks are dropped.
std::string screen_read_line(const screen_view& screen, const prepared_bitmap* table, int y);
// Lines from row y0 down, one per glyph height, trailing empty lines dropped.
std::vector<std::string> screen_read_lines(const screen_view& screen, const prepared_bitmap* table,
                                           int y0 = 0);
// Loads the device font from the build's media into table, for the current fbvar.
bool load_test_font(prepared_bitmap* table);
void free_font(prepared_bitmap* table);
