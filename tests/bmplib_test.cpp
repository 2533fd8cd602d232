// The BMP reader against byte-exact files.
#include "bmplib.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <tuple>

#include "support/bmp_builder.h"
#include "support/sandbox.h"
#include "support/test_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

struct open_result {
    bmp_image* image = nullptr;
    ~open_result() {
        if (image != nullptr) bmp_close(image);
    }
};

bmp_image* open_bytes(const std::vector<uint8_t>& bytes, const char* name = "picture.bmp") {
    return bmp_open(write_scratch_file(name, bytes).c_str());
}

bmp_image* open_fields(const bmp_fields& f) {
    return open_bytes(bmp_build(f));
}

bmp_info describe(const bmp_image* image) {
    bmp_info info;
    bmp_describe(image, &info);
    return info;
}

// Every pixel read through bmp_getpixel and through bmp_getspan agrees, also
// for spans that start left of the picture or run past its right edge (the
// pixels inside read as they are, the rest as black), and rows outside it.
void expect_span_matches_pixels(const bmp_image* image) {
    const int32_t w = bmp_width(image);
    std::vector<uint32_t> span(static_cast<size_t>(w) + 8);
    for (int32_t y = -1; y <= bmp_height(image); ++y) {
        for (int32_t x0 = -3; x0 < w + 2; x0 += 4) {
            const int32_t n = w + 3 - x0;
            bmp_getspan(image, x0, y, n, span.data());
            for (int32_t i = 0; i < n; ++i) {
                ASSERT_EQ(span[i], bmp_getpixel(image, x0 + i, y)) << "x=" << x0 + i << " y=" << y;
            }
        }
    }
}

// Files byte by byte, and what the reader reads at some pixels (every other
// pixel is checked against the span reader).
struct pixel_case {
    const char* name;
    bmp_fields file;
    std::vector<std::tuple<int32_t, int32_t, uint32_t>> pixels;  // x, y, colour read
    int32_t palette_count = -1;                                  // checked unless -1
};

void PrintTo(const pixel_case& c, std::ostream* out) {
    *out << c.name;
}

std::vector<uint32_t> palette(uint32_t entries, uint32_t (*entry)(uint32_t)) {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < entries; ++i) out.push_back(entry(i));
    return out;
}

const uint32_t X888[] = {0xFF0000, 0x00FF00, 0x0000FF};

// clang-format off
const pixel_case PIXEL_CASES[] = {
    // Stored row 0 (the bottom): blue, green; stored row 1 (the top): red, white.
    {"bottom_up_24",
     {.width = 2, .height = 2, .pixels = {0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}},
     {{0, 0, 0xFF0000}, {1, 0, 0xFFFFFF}, {0, 1, 0x0000FF}, {1, 1, 0x00FF00}, {2, 0, 0}, {0, -1, 0}}},
    {"top_down_32", {.width = 1, .height = -2, .bit_count = 32, .pixels = {3, 2, 1, 0, 6, 5, 4, 0}},
     {{0, 0, 0x010203}, {0, 1, 0x040506}}},
    {"top_down_bit_fields",
     {.width = 1, .height = -2, .bit_count = 32, .compression = 3, .palette = {X888, X888 + 3},
      .pixels = {3, 2, 1, 0, 6, 5, 4, 0}},
     {{0, 0, 0x010203}, {0, 1, 0x040506}}},
    // Two rows at each depth, so that the row stride counts. 1 bit, width 33:
    // pixel 32 is bit 7 of byte 4, and rows are 8 bytes apart.
    {"one_bit",
     {.width = 33, .height = 2, .bit_count = 1, .palette = {0, 0x123456},
      .pixels = {0, 0, 0, 0, 0x80, 0, 0, 0, 0x80, 0, 0, 1, 0x80, 0, 0, 0}},
     {{0, 0, 0x123456}, {1, 0, 0}, {31, 0, 0x123456}, {32, 0, 0x123456}, {0, 1, 0}, {32, 1, 0x123456}}},
    // 4 bits: the high nibble for even x.
    {"four_bits",
     {.width = 3, .height = 2, .bit_count = 4, .palette = {0, 0x0000FF, 0x00FF00, 0xFF0000},
      .pixels = {0x33, 0x30, 0, 0, 0x12, 0x30, 0, 0}},
     {{0, 0, 0x0000FF}, {1, 0, 0x00FF00}, {2, 0, 0xFF0000}, {0, 1, 0xFF0000}, {2, 1, 0xFF0000}}},
    // 256 entries; the reserved byte of an entry is ignored.
    {"eight_bits",
     {.width = 4, .bit_count = 8,
      .palette = palette(256, [](uint32_t i) { return 0xAB000000u | (i << 16) | (255 - i); }),
      .pixels = {0, 1, 128, 255}},
     {{0, 0, 0x0000FF}, {2, 0, 0x80007F}, {3, 0, 0xFF0000}}, 256},
    {"index_beyond_the_palette",
     {.width = 5, .height = 2, .bit_count = 8, .palette = {0x010203, 0x040506},
      .pixels = {1, 1, 1, 1, 1, 0, 0, 0, 0, 1, 2, 200, 0, 0, 0, 0}},
     {{0, 0, 0x010203}, {1, 0, 0x040506}, {2, 0, 0}, {3, 0, 0}, {4, 1, 0x040506}}},
    {"no_palette", {.width = 4, .bit_count = 8, .pixels = {0, 1, 2, 200}}, {{0, 0, 0}}, 0},
    // A 124-byte header: the colour table follows it.
    {"long_header",
     {.width = 2, .bit_count = 8, .header_size = 124, .palette = {0x112233, 0x445566},
      .pixels = {0, 1, 0, 0}},
     {{0, 0, 0x112233}, {1, 0, 0x445566}}, 2},
    // 16 bits without masks: 5-5-5, bit 15 ignored.
    {"sixteen_bits",
     {.width = 3, .height = 2, .bit_count = 16,
      .pixels = {0x1F, 0, 0x1F, 0, 0x1F, 0, 0, 0, 0xFF, 0x7F, 0x00, 0x80, 0x1F, 0x00, 0, 0}},
     {{0, 0, 0xF8F8F8}, {1, 0, 0}, {2, 0, 0x0000F8}, {0, 1, 0x0000F8}}},
    {"masks_565",
     {.width = 2, .bit_count = 16, .compression = 3, .palette = {0xF800, 0x07E0, 0x001F},
      .pixels = {0xE0, 0x07, 0x1F, 0xF8}},
     {{0, 0, 0x00FC00}, {1, 0, 0xF800F8}}},
    // The built-in 32-bit masks read like 24 bits; the top byte is ignored.
    {"masks_x888",
     {.width = 2, .bit_count = 32, .compression = 3, .palette = {X888, X888 + 3},
      .pixels = {0x56, 0x34, 0x12, 0x99, 0x01, 0x02, 0x03, 0x00}},
     {{0, 0, 0x123456}, {1, 0, 0x030201}}},
    {"masks_blue_on_top",
     {.width = 2, .bit_count = 32, .compression = 3, .palette = {0x0000FF00, 0x00FF0000, 0xFF000000},
      .pixels = {0x56, 0x34, 0x12, 0x99, 0x01, 0x02, 0x03, 0x00}},
     {{0, 0, 0x341299}}},
    // Channels of 10 bits, and zero masks, read as black.
    {"masks_of_ten_bits",
     {.width = 2, .bit_count = 32, .compression = 3, .palette = {0x3FF00000, 0x000FFC00, 0x000003FF},
      .pixels = {0x56, 0x34, 0x12, 0x99, 0x01, 0x02, 0x03, 0x00}},
     {{0, 0, 0}}},
    {"zero_masks",
     {.width = 2, .bit_count = 32, .compression = 3, .palette = {0, 0, 0},
      .pixels = {0x56, 0x34, 0x12, 0x99, 0x01, 0x02, 0x03, 0x00}},
     {{0, 0, 0}}},
    // Stored row 0 (the bottom) is a run of three 07, stored row 1 an absolute run 01 02 03.
    {"rle8_runs",
     {.width = 3, .height = 2, .bit_count = 8, .compression = 1,
      .palette = palette(16, [](uint32_t i) { return i * 0x111111u; }),
      .pixels = {3, 7, 0, 0, 0, 3, 1, 2, 3, 0, 0, 1}},
     {{0, 0, 0x111111}, {1, 0, 0x222222}, {2, 0, 0x333333}, {0, 1, 0x777777}, {2, 1, 0x777777}}},
    // A delta skips pixels (left zero); runs past the row end are cut, and an
    // absolute run past it is still consumed, with its padding byte, so that
    // the next pairs stay in step. Picture rows 2, 1, 0 are stored rows 0, 1, 2.
    {"rle8_deltas_and_overlong_runs",
     {.width = 3, .height = 3, .bit_count = 8, .compression = 1,
      .palette = palette(16, [](uint32_t i) { return i * 0x111111u; }),
      .pixels = {0, 2, 1, 1, 5, 4, 0, 5, 1, 2, 3, 4, 5, 0, 0, 0, 2, 9, 0, 1}},
     {{0, 2, 0}, {2, 2, 0}, {0, 1, 0}, {1, 1, 0x444444}, {2, 1, 0x444444}, {0, 0, 0x999999}, {1, 0, 0x999999},
      {2, 0, 0}}},
    // Runs of 255 on every row, end-of-lines past the last row, a delta far
    // up, an absolute run longer than the data: nothing lands outside.
    {"rle8_past_every_edge",
     {.width = 5, .height = 3, .bit_count = 8, .compression = 1,
      .palette = palette(256, [](uint32_t) { return 0xFFFFFFu; }),
      .pixels = {255, 1, 0, 0, 255, 1, 0, 0, 255, 1, 0, 0, 255, 1, 0, 0, 0, 2, 255, 255, 0, 200, 1, 2}},
     {{0, 0, 0xFFFFFF}, {4, 0, 0xFFFFFF}, {2, 1, 0xFFFFFF}, {0, 2, 0xFFFFFF}, {4, 2, 0xFFFFFF}}},
    // An image size of 0, or larger than the file: the rows are read as far
    // as the file goes; missing bytes read as zero.
    {"image_size_zero_short_data",
     {.width = 2, .height = 2, .pixels = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9}, .image_size = 0},
     {{0, 1, 0x030201}, {1, 1, 0x060504}, {0, 0, 0x090807}, {1, 0, 0}}},
    {"image_size_past_the_end",
     {.width = 2, .height = 2, .pixels = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9}, .image_size = 0x7FFFFFFF},
     {{1, 1, 0x060504}, {1, 0, 0}}},
};
// clang-format on

class BmpPixels : public testing::TestWithParam<pixel_case> {};

TEST_P(BmpPixels, ReadAsStored) {
    const pixel_case& c = GetParam();
    open_result r{open_fields(c.file)};
    ASSERT_NE(r.image, nullptr);
    for (const auto& [x, y, colour] : c.pixels) {
        EXPECT_EQ(bmp_getpixel(r.image, x, y), colour) << "at " << x << "," << y;
    }
    if (c.palette_count >= 0) {
        EXPECT_EQ(describe(r.image).palette_count, c.palette_count);
    }
    expect_span_matches_pixels(r.image);
}

INSTANTIATE_TEST_SUITE_P(Files, BmpPixels, testing::ValuesIn(PIXEL_CASES),
                         [](const auto& c) { return std::string(c.param.name); });

// Rows a file does not hold read as zero, whatever the memory they land in
// held: the same picture whole, opened and closed first, leaves its pixels in
// the block the cut one is likely to get.
TEST(BmpOpen, RowsTheFileDoesNotHoldReadAsZeroAfterAnEarlierPicture) {
    const std::vector<uint8_t> whole =
        bmp_build({.width = 64,
                   .height = 64,
                   .bit_count = 24,
                   .pixels = std::vector<uint8_t>(64 * 64 * 3, 0x7F)});
    bmp_close(open_bytes(whole));
    const std::vector<uint8_t> cut(whole.begin(), whole.end() - 32 * 64 * 3);  // stored rows 0-31
    open_result r{open_bytes(cut)};
    ASSERT_NE(r.image, nullptr);
    EXPECT_EQ(bmp_getpixel(r.image, 0, 63), 0x7F7F7Fu);  // stored row 0
    for (const auto& [x, y] : {std::pair{0, 0}, std::pair{63, 31}, std::pair{30, 10}}) {
        EXPECT_EQ(bmp_getpixel(r.image, x, y), 0u) << x << "," << y;
    }
}

// Files the reader must refuse, beside the nearest ones it opens.
TEST(BmpOpen, RefusesWhatItCannotRead) {
    EXPECT_EQ(bmp_open("/nonexistent/picture.bmp"), nullptr);
    const char* why = nullptr;
    EXPECT_EQ(bmp_open_explained(ZQ_SOURCE_DIR, &why), nullptr);
    EXPECT_STREQ(why, "not a regular file") << "a directory";
    const std::vector<uint8_t> ok =
        bmp_build({.width = 2, .pixels = std::vector<uint8_t>(8, 0x7F)});
    open_result cut{open_bytes(std::vector<uint8_t>(ok.begin(), ok.begin() + 40))};
    EXPECT_EQ(cut.image, nullptr) << "cut inside the header";
    // clang-format off
    const struct { size_t offset; int width; uint32_t value; const char* why; } edits[] = {
        {0, 0, 0, "the file unedited opens"}, {1, 1, 'N', "second signature byte"},
        {14, 4, 12, "12-byte core header"}, {18, 4, 0, "width 0"}, {18, 4, 0xFFFFFFFF, "negative width"},
        {22, 4, 0, "height 0"}, {22, 4, 0x80000000, "smallest height"}, {10, 4, 53, "data offset below 54"},
        {10, 4, 4096, "data offset past the end"}, {28, 2, 2, "2 bits per pixel"},
        {28, 2, 0xFFFF, "negative depth"}, {30, 4, 2, "RLE4"}, {30, 4, 1, "RLE8 at 24 bits"},
    };
    // clang-format on
    for (const auto& e : edits) {
        std::vector<uint8_t> bytes = ok;
        if (e.width == 1) bytes[e.offset] = static_cast<uint8_t>(e.value);
        if (e.width == 2) put_le16(bytes, e.offset, static_cast<uint16_t>(e.value));
        if (e.width == 4) put_le32(bytes, e.offset, e.value);
        open_result r{open_bytes(bytes, "edited.bmp")};
        EXPECT_EQ(r.image != nullptr, e.width == 0) << e.why;
    }
    const std::vector<uint8_t> px(16);
    const std::vector<uint32_t> no_colours(16);
    // clang-format off
    const struct { bmp_fields file; bool opens; const char* why; } files[] = {
        {{.width = 4097, .height = 4096, .pixels = px}, false, "above the pixel cap"},
        {{.width = 0x7FFFFFFF, .height = 0x7FFFFFFF, .bit_count = 32, .pixels = px}, false,
         "width x height x depth overflows"},
        {{.width = 4096, .height = 4096, .bit_count = 32, .pixels = px}, true, "at the cap, from 16 bytes"},
        {{.bit_count = 32, .pixels = px, .data_offset = 58}, false, "compression 0 with a colour table"},
        {{.bit_count = 16, .pixels = px, .data_offset = 58}, false, "the same at 16 bits"},
        {{.bit_count = 16, .compression = 3, .pixels = px}, false, "bit fields without masks"},
        {{.bit_count = 16, .compression = 3, .palette = {0xF800, 0x07E0}, .pixels = px}, false, "two masks"},
        {{.bit_count = 16, .compression = 3, .palette = {0xF800, 0x07E0, 0x1F}, .pixels = px}, true,
         "three masks"},
        {{.bit_count = 4, .compression = 1, .palette = no_colours, .pixels = {0, 1}}, false,
         "RLE8 at 4 bits"},
        {{.height = -1, .bit_count = 8, .compression = 1, .palette = no_colours, .pixels = {0, 1}}, false,
         "top-down RLE8"},
        {{.bit_count = 8, .compression = 1, .palette = no_colours, .pixels = {0, 1}}, true, "bottom-up RLE8"},
    };
    // clang-format on
    for (const auto& f : files) {
        open_result r{open_fields(f.file)};
        EXPECT_EQ(r.image != nullptr, f.opens) << f.why;
    }
}

// A pixel of an uncompressed or bit-field picture read straight from its
// stored bytes: the reference the reader is held to.
uint32_t stored_colour(const bmp_fields& f, int32_t x, int32_t y) {
    const int32_t row = f.height < 0 ? y : f.height - 1 - y;
    const uint8_t* p = &f.pixels[static_cast<size_t>(row) *
                                 static_cast<size_t>(bmp_test_stride(f.width, f.bit_count))];
    auto entry = [&](uint32_t i) { return i < f.palette.size() ? f.palette[i] & 0xFFFFFFu : 0; };
    uint32_t v = 0;
    switch (f.bit_count) {
        case 1:
            return entry((p[x / 8] >> (7 - x % 8)) & 1u);
        case 4:
            return entry((p[x / 2] >> (x % 2 != 0 ? 0 : 4)) & 15u);
        case 8:
            return entry(p[x]);
        case 16:
            v = p[2 * x] | p[2 * x + 1] << 8;
            break;
        case 24:
            return p[3 * x + 2] << 16 | p[3 * x + 1] << 8 | p[3 * x];
        default:
            memcpy(&v, p + 4 * x, 4);
            break;
    }
    const bool fields = f.compression == 3;
    const uint32_t masks[3] = {fields              ? f.palette[0]
                               : f.bit_count == 16 ? 0x7C00u
                                                   : 0xFF0000u,
                               fields              ? f.palette[1]
                               : f.bit_count == 16 ? 0x03E0u
                                                   : 0x00FF00u,
                               fields              ? f.palette[2]
                               : f.bit_count == 16 ? 0x001Fu
                                                   : 0x0000FFu};
    uint32_t colour = 0;
    for (const uint32_t mask : masks) {  // each channel moved up to 8 bits, low bits clear
        const uint32_t c = (v & mask) >> __builtin_ctz(mask);
        colour = colour << 8 | c << (8 - __builtin_popcount(mask));
    }
    return colour;
}

// Random pictures of every depth but RLE8 (its runs have cases above), odd
// widths, top-down or bottom-up: each pixel reads as its stored bytes give it.
TEST(BmpDepths, EveryDepthReadsTheColourItsBytesGive) {
    std::mt19937 rng(7);
    for (const bmp_format& format : BMP_FORMATS) {
        if (format.compression == 1) continue;
        for (const int32_t width : {1, 3, 5, 33, 70}) {
            for (const int32_t height : {3, -3}) {
                const bmp_fields f = bmp_random(format, width, height, rng);
                open_result r{open_fields(f)};
                ASSERT_NE(r.image, nullptr) << format.bit_count << "/" << format.compression;
                std::vector<uint32_t> row(static_cast<size_t>(width));
                for (int32_t y = 0; y < 3; ++y) {
                    bmp_getspan(r.image, 0, y, width, row.data());
                    for (int32_t x = 0; x < width; ++x) {
                        ASSERT_EQ(row[x], stored_colour(f, x, y))
                            << format.bit_count << "/" << format.compression << " at " << x << ","
                            << y;
                    }
                }
                expect_span_matches_pixels(r.image);
            }
        }
    }
}

// The fuzz target's checks (pixel and span reads agree, drawing stays inside
// the screen) in every build, the 32-bit target's included: on its seeds and
// the font, each also with every header field set in turn to the values that
// break readers.
TEST(BmpFuzzSeeds, EveryHeaderFieldAtEveryEdgeValue) {
    std::vector<std::string> files = {ZQ_MEDIA_DIR "/inconsolata_20px_ffffff.bmp"};
    DIR* dir = opendir(ZQ_SOURCE_DIR "/fuzz/corpus/bmp");
    ASSERT_NE(dir, nullptr);
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.')
            files.push_back(ZQ_SOURCE_DIR "/fuzz/corpus/bmp/" + std::string(e->d_name));
    }
    closedir(dir);
    ASSERT_GE(files.size(), 30u);
    int opened = 0;
    int tried = 0;
    for (const std::string& path : files) {
        const std::string text = read_text_file(path);
        const std::vector<uint8_t> original(text.begin(), text.end());
        const uint32_t past_end = static_cast<uint32_t>(original.size()) + 1;
        for (const size_t offset : {0, 2, 10, 14, 18, 22, 26, 28, 30, 34, 54, 58, 62}) {
            for (const uint32_t value : {0u, 1u, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, past_end}) {
                const size_t width = offset == 26 || offset == 28 ? 2 : 4;
                if (offset == 0 ? value != 0 : offset + width > original.size()) continue;
                std::vector<uint8_t> bytes = original;  // offset 0: the file as it is, once
                if (offset != 0 && width == 2) {
                    put_le16(bytes, offset,
                             static_cast<uint16_t>(value >> (value > 0xFFFF ? 16 : 0)));
                } else if (offset != 0) {
                    put_le32(bytes, offset, value);
                }
                ++tried;
                bmp_image* image = open_bytes(bytes, "edited.bmp");
                opened += image != nullptr ? 1 : 0;
                if (image != nullptr) bmp_close(image);
                LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            }
        }
    }
    EXPECT_GT(opened, tried / 10) << "many edits still open, so the readers are exercised";
}

}  // namespace
