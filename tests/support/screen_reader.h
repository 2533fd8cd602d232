// An in-memory screen for the display code, and a reader that turns what the
// console drew back into text by matching cells against the glyph table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "prepared_bitmap.h"

struct screen_view {
    const uint8_t* pixels;
    int xres;
    int yres;
    int bytes_per_pixel;
};

// Points fbvar, fbmem and buffersize at a buffer with guard bytes around it.
// At 16 bits the layout is 5-6-5.
class memory_screen {
public:
    memory_screen(int xres, int yres, int bits_per_pixel);
    ~memory_screen();
    memory_screen(const memory_screen&) = delete;
    memory_screen& operator=(const memory_screen&) = delete;

    uint8_t* pixels() { return bytes_.data() + GUARD; }
    size_t size() const { return bytes_.size() - 2 * GUARD; }
    screen_view view() const;
    // True while nothing was written outside the screen.
    bool guards_intact() const;
    // Bytes of pixel (x, y).
    const uint8_t* at(int x, int y) const;
    void fill(uint8_t value);

private:
    static constexpr size_t GUARD = 256;
    static constexpr uint8_t GUARD_BYTE = 0xA5;
    std::vector<uint8_t> bytes_;
    int xres_;
    int yres_;
    int bpp_;
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
