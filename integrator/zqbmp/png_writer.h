// PNG and animated PNG files of RGB pictures (8 bits per channel), with
// stored (uncompressed) deflate blocks: no library needed.
#pragma once

#include <cstdint>
#include <vector>

struct rgb_picture {
    int width;
    int height;
    std::vector<uint8_t> rgb;  // width * height * 3 bytes, top row first
};

// 0, or -1 when the file cannot be written.
int png_write(const char* path, const rgb_picture& picture);
// An animated PNG looping the frames (all of one size), delay_ms each.
int apng_write(const char* path, const std::vector<rgb_picture>& frames, int delay_ms);
