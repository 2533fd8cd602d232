// PNG and animated PNG files of RGB pictures (8 bits per channel): deflated
// with zlib in the host build, in stored (uncompressed) blocks where it is
// not linked. Files are written under a temporary name and renamed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct rgb_picture {
    int width;
    int height;
    std::vector<uint8_t> rgb;  // width * height * 3 bytes, top row first
};

// The picture's image data (a zlib stream); empty when it cannot be made.
std::string png_compress(const rgb_picture& picture);
// 0, or -1 when the file cannot be written.
int png_write(const char* path, const rgb_picture& picture);
int png_write(const char* path, const rgb_picture& picture, const std::string& compressed);
// An animated PNG looping the frames (all of one size, each compressed as
// png_compress does), delay_ms each.
int apng_write(const char* path, const std::vector<rgb_picture>& frames,
               const std::vector<std::string>& compressed, int delay_ms);
