// A screen that the program's own code maps with fb_map from a file, so that a
// test reads what the drawing threads wrote through the file (pread), never
// through the threads' memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "screen_reader.h"

class mapped_screen {
public:
    mapped_screen(int xres, int yres, int bits_per_pixel);
    ~mapped_screen();
    mapped_screen(const mapped_screen&) = delete;
    mapped_screen& operator=(const mapped_screen&) = delete;

    // The screen's bytes as they are now.
    std::vector<uint8_t> snapshot() const;
    screen_view view_of(const std::vector<uint8_t>& bytes) const;
    // Text lines from row y0, read from a fresh snapshot with the glyph table.
    std::vector<std::string> lines(const prepared_bitmap* table, int y0 = 0) const;
    // Polls the screen until lines(table) equals want or timeout_ms passes.
    bool wait_for_lines(const prepared_bitmap* table, const std::vector<std::string>& want,
                        int timeout_ms = 10000) const;
    bool is_black() const;
    // Every byte of the screen set to value, as left by whatever drew before.
    void fill(uint8_t value);

private:
    std::string path_;
    int fd_;
    int xres_;
    int yres_;
    int bpp_;
};
