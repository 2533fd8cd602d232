// Byte-exact BMP files for the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

struct bmp_fields {
    int32_t width = 1;
    int32_t height = 1;
    int16_t bit_count = 24;
    uint32_t compression = 0;
    uint32_t header_size = 40;      // bytes of information header written
    std::vector<uint32_t> palette;  // 4-byte entries after the header
    std::vector<uint8_t> pixels;    // stored pixel data
    int64_t image_size = -1;        // -1: pixels.size()
    int64_t data_offset = -1;       // -1: right after the palette
};

// Row stride of a stored row: whole bytes, rounded up to 4.
int32_t bmp_test_stride(int32_t width, int bit_count);

std::vector<uint8_t> bmp_build(const bmp_fields& fields);

// The depths and compressions the reader takes.
struct bmp_format {
    int16_t bit_count;
    uint32_t compression;
};
inline constexpr bmp_format BMP_FORMATS[] = {{1, 0},  {4, 0},  {8, 0},  {8, 1}, {16, 0},
                                             {16, 3}, {24, 0}, {32, 0}, {32, 3}};
// Random pixels in the format (RLE8: random runs, one row after another), a
// palette three entries short of full at 4 and 8 bits (so some indices lie
// beyond it), and
// masks of 5-6-5 at 16 bits, blue in the top byte at 32. A negative height
// (not for RLE8) is a top-down picture.
bmp_fields bmp_random(bmp_format format, int32_t width, int32_t height, std::mt19937& rng);
// A 24-bit top-down picture whose pixel (x, y) is colour(x, y), as 0xRRGGBB.
std::vector<uint8_t> bmp_rgb(int32_t width, int32_t height,
                             const std::function<uint32_t(int32_t, int32_t)>& colour);
void put_le32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);
void put_le16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);

// Writes bytes to a new file in a per-process scratch directory; returns its path.
std::string write_scratch_file(const std::string& name, const std::vector<uint8_t>& bytes);
