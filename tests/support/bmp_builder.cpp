#include "bmp_builder.h"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

int32_t bmp_test_stride(int32_t width, int bit_count) {
    return static_cast<int32_t>((static_cast<int64_t>(width) * bit_count + 31) / 32 * 4);
}

void put_le16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void put_le32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

std::vector<uint8_t> bmp_build(const bmp_fields& f) {
    const size_t header_end = 14 + static_cast<size_t>(f.header_size);
    const size_t palette_end = header_end + 4 * f.palette.size();
    const size_t data_offset = f.data_offset < 0 ? palette_end : static_cast<size_t>(f.data_offset);
    std::vector<uint8_t> bytes(std::max(data_offset, palette_end) + f.pixels.size(), 0);
    if (bytes.size() < 54) bytes.resize(54, 0);
    bytes[0] = 'B';
    bytes[1] = 'M';
    put_le32(bytes, 2, static_cast<uint32_t>(bytes.size()));
    put_le32(bytes, 10, static_cast<uint32_t>(data_offset));
    put_le32(bytes, 14, f.header_size);
    put_le32(bytes, 18, static_cast<uint32_t>(f.width));
    put_le32(bytes, 22, static_cast<uint32_t>(f.height));
    put_le16(bytes, 26, 1);
    put_le16(bytes, 28, static_cast<uint16_t>(f.bit_count));
    put_le32(bytes, 30, f.compression);
    put_le32(bytes, 34, static_cast<uint32_t>(f.image_size < 0 ? f.pixels.size() : f.image_size));
    for (size_t i = 0; i < f.palette.size(); ++i) put_le32(bytes, header_end + 4 * i, f.palette[i]);
    std::copy(f.pixels.begin(), f.pixels.end(),
              bytes.begin() + static_cast<std::ptrdiff_t>(data_offset));
    return bytes;
}

bmp_fields bmp_random(bmp_format format, int32_t width, int32_t height, std::mt19937& rng) {
    bmp_fields f;
    f.width = width;
    f.height = height;
    f.bit_count = format.bit_count;
    f.compression = format.compression;
    if (format.bit_count <= 8) {
        const int entries = std::max(2, (1 << format.bit_count) - 3);
        for (int i = 0; i < entries; ++i) f.palette.push_back(static_cast<uint32_t>(rng()));
    }
    if (format.compression == 3) {
        f.palette = format.bit_count == 16 ? std::vector<uint32_t>{0xF800, 0x07E0, 0x001F}
                                           : std::vector<uint32_t>{0xFF00, 0xFF0000, 0xFF000000};
    }
    const int32_t rows = height < 0 ? -height : height;
    if (format.compression == 1) {
        for (int32_t row = 0; row < rows; ++row) {
            for (int32_t x = 0; x < width;) {
                const int32_t run =
                    std::min<int32_t>(width - x, 1 + static_cast<int32_t>(rng() % 200));
                f.pixels.push_back(static_cast<uint8_t>(run));
                f.pixels.push_back(static_cast<uint8_t>(rng()));
                x += run;
            }
            f.pixels.insert(f.pixels.end(), {0, 0});
        }
        f.pixels.insert(f.pixels.end(), {0, 1});
        return f;
    }
    f.pixels.resize(static_cast<size_t>(bmp_test_stride(width, format.bit_count)) * rows);
    for (uint8_t& b : f.pixels) b = static_cast<uint8_t>(rng());
    return f;
}

std::vector<uint8_t> bmp_rgb(int32_t width, int32_t height,
                             const std::function<uint32_t(int32_t, int32_t)>& colour) {
    bmp_fields f;
    f.width = width;
    f.height = -height;
    const size_t stride = static_cast<size_t>(bmp_test_stride(width, 24));
    f.pixels.assign(stride * static_cast<size_t>(height), 0);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t c = colour(x, y);
            uint8_t* p = &f.pixels[static_cast<size_t>(y) * stride + 3 * static_cast<size_t>(x)];
            p[0] = static_cast<uint8_t>(c);
            p[1] = static_cast<uint8_t>(c >> 8);
            p[2] = static_cast<uint8_t>(c >> 16);
        }
    }
    return bmp_build(f);
}

std::string write_scratch_file(const std::string& name, const std::vector<uint8_t>& bytes) {
    static std::string dir;
    if (dir.empty()) {
        char templ[] = "/tmp/zq-test-XXXXXX";
        if (mkdtemp(templ) == nullptr) abort();
        dir = templ;
    }
    const std::string path = dir + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) abort();
    if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) abort();
    fclose(f);
    return path;
}
