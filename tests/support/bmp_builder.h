// Byte-exact BMP files for the tests.
#pragma once

#include <cstdint>
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
void put_le32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);
void put_le16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);

// Writes bytes to a new file in a per-process scratch directory; returns its path.
std::string write_scratch_file(const std::string& name, const std::vector<uint8_t>& bytes);
