// The BMP reader against byte-exact files.
#include "bmplib.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>

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

uint32_t bgr(uint8_t r, uint8_t g, uint8_t b) {
    return (uint32_t{r} << 16) | (g << 8) | b;
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

TEST(BmpOpen, TwoByTwo24BitIsStoredBottomRowFirst) {
    bmp_fields f;
    f.width = 2;
    f.height = 2;
    // Stored row 0 (bottom): blue, green; stored row 1 (top): red, white. Rows of 8 bytes.
    f.pixels = {0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
    open_result r{open_fields(f)};
    ASSERT_NE(r.image, nullptr);
    EXPECT_EQ(describe(r.image).stride, 8);
    EXPECT_EQ(bmp_getpixel(r.image, 0, 0), 0xFF0000u);  // second stored row, first column
    EXPECT_EQ(bmp_getpixel(r.image, 1, 0), 0xFFFFFFu);
    EXPECT_EQ(bmp_getpixel(r.image, 0, 1), 0x0000FFu);
    EXPECT_EQ(bmp_getpixel(r.image, 1, 1), 0x00FF00u);  // first stored row, second column
    EXPECT_EQ(bmp_getpixel(r.image, 2, 0), 0u) << "outside the picture reads black";
    EXPECT_EQ(bmp_getpixel(r.image, 0, -1), 0u);
    expect_span_matches_pixels(r.image);
}

TEST(BmpOpen, StrideOfEveryDepth) {
    const struct {
        int16_t bpp;
        int32_t width;
        int32_t stride;
    } cases[] = {{24, 1, 4}, {24, 5, 16}, {8, 10, 12}, {1, 1, 4},
                 {1, 33, 8}, {4, 9, 8},   {16, 3, 8},  {32, 3, 12}};
    for (const auto& c : cases) {
        bmp_fields f;
        f.width = c.width;
        f.bit_count = c.bpp;
        if (c.bpp <= 8) f.palette.assign(2, 0);
        f.pixels.assign(static_cast<size_t>(c.stride), 0);
        open_result r{open_fields(f)};
        ASSERT_NE(r.image, nullptr) << c.bpp;
        EXPECT_EQ(describe(r.image).stride, c.stride) << c.bpp << " bits, width " << c.width;
    }
}

TEST(BmpOpen, IndexedDepthsReadThePalette) {
    // 1 bit, width 33: pixel 32 is bit 7 of byte 4.
    bmp_fields one;
    one.width = 33;
    one.bit_count = 1;
    one.palette = {0x000000, 0x123456};
    one.pixels = {0x80, 0, 0, 0x01, 0x80, 0, 0, 0};
    open_result r1{open_fields(one)};
    ASSERT_NE(r1.image, nullptr);
    EXPECT_EQ(bmp_getpixel(r1.image, 0, 0), 0x123456u);
    EXPECT_EQ(bmp_getpixel(r1.image, 1, 0), 0u);
    EXPECT_EQ(bmp_getpixel(r1.image, 31, 0), 0x123456u);
    EXPECT_EQ(bmp_getpixel(r1.image, 32, 0), 0x123456u);
    expect_span_matches_pixels(r1.image);

    // 4 bits: high nibble for even x.
    bmp_fields four;
    four.width = 3;
    four.bit_count = 4;
    four.palette = {0x000000, 0x0000FF, 0x00FF00, 0xFF0000};
    four.pixels = {0x12, 0x30, 0, 0};
    open_result r4{open_fields(four)};
    ASSERT_NE(r4.image, nullptr);
    EXPECT_EQ(bmp_getpixel(r4.image, 0, 0), 0x0000FFu);
    EXPECT_EQ(bmp_getpixel(r4.image, 1, 0), 0x00FF00u);
    EXPECT_EQ(bmp_getpixel(r4.image, 2, 0), 0xFF0000u);

    // 8 bits with 256 entries; the reserved byte of an entry is ignored.
    bmp_fields eight;
    eight.width = 4;
    eight.bit_count = 8;
    for (uint32_t i = 0; i < 256; ++i) eight.palette.push_back(0xAB000000u | (i << 16) | (255 - i));
    eight.pixels = {0, 1, 128, 255};
    open_result r8{open_fields(eight)};
    ASSERT_NE(r8.image, nullptr);
    EXPECT_EQ(describe(r8.image).palette_count, 256);
    EXPECT_EQ(bmp_getpixel(r8.image, 0, 0), bgr(0, 0, 255));
    EXPECT_EQ(bmp_getpixel(r8.image, 2, 0), bgr(128, 0, 127));
    EXPECT_EQ(bmp_getpixel(r8.image, 3, 0), bgr(255, 0, 0));
}

TEST(BmpOpen, ColourIndexBeyondThePaletteReadsBlack) {
    bmp_fields f;
    f.width = 4;
    f.bit_count = 8;
    f.palette = {0x010203, 0x040506};
    f.pixels = {0, 1, 2, 200};
    open_result r{open_fields(f)};
    ASSERT_NE(r.image, nullptr);
    EXPECT_EQ(bmp_getpixel(r.image, 1, 0), 0x040506u);
    EXPECT_EQ(bmp_getpixel(r.image, 2, 0), 0u);
    EXPECT_EQ(bmp_getpixel(r.image, 3, 0), 0u);

    // No palette at all (pixel data right after the header).
    f.palette.clear();
    open_result none{open_fields(f)};
    ASSERT_NE(none.image, nullptr);
    EXPECT_EQ(describe(none.image).palette_count, 0);
    EXPECT_EQ(bmp_getpixel(none.image, 0, 0), 0u);
    expect_span_matches_pixels(none.image);
}

TEST(BmpOpen, LongInfoHeaderKeepsItsBytesOutOfTheColourTable) {
    // An 8-bit picture with a 124-byte header: the colour table follows the header.
    bmp_fields f;
    f.width = 2;
    f.bit_count = 8;
    f.header_size = 124;
    f.palette = {0x112233, 0x445566};
    f.pixels = {0, 1, 0, 0};
    auto bytes = bmp_build(f);
    put_le32(bytes, 54, 0xDEADBEEF);  // header bytes past the first 40
    open_result r{open_bytes(bytes)};
    ASSERT_NE(r.image, nullptr);
    EXPECT_EQ(describe(r.image).palette_count, 2);
    EXPECT_EQ(bmp_getpixel(r.image, 0, 0), 0x112233u);
    EXPECT_EQ(bmp_getpixel(r.image, 1, 0), 0x445566u);
}

TEST(BmpOpen, SixteenBitBuiltInMasks) {
    bmp_fields f;
    f.width = 3;
    f.bit_count = 16;
    f.pixels = {0xFF, 0x7F, 0x00, 0x80, 0x1F, 0x00, 0, 0};  // 0x7FFF, 0x8000, 0x001F
    open_result r{open_fields(f)};
    ASSERT_NE(r.image, nullptr);
    EXPECT_EQ(bmp_getpixel(r.image, 0, 0), bgr(248, 248, 248));
    EXPECT_EQ(bmp_getpixel(r.image, 1, 0), 0u) << "bit 15 is ignored";
    EXPECT_EQ(bmp_getpixel(r.image, 2, 0), bgr(0, 0, 248));
    EXPECT_EQ(describe(r.image).red_shift, 10);
    EXPECT_EQ(describe(r.image).red_length, 5);
    expect_span_matches_pixels(r.image);
}

TEST(BmpOpen, BitFieldMasks) {
    // 16 bits, 5-6-5 masks from the file.
    bmp_fields rgb565;
    rgb565.width = 2;
    rgb565.bit_count = 16;
    rgb565.compression = 3;
    rgb565.palette = {0xF800, 0x07E0, 0x001F};
    rgb565.pixels = {0xE0, 0x07, 0x1F, 0xF8};  // pure green, then red 31 and blue 31
    open_result r565{open_fields(rgb565)};
    ASSERT_NE(r565.image, nullptr);
    EXPECT_EQ(bmp_getpixel(r565.image, 0, 0), bgr(0, 252, 0));
    EXPECT_EQ(bmp_getpixel(r565.image, 1, 0), bgr(248, 0, 248));
    expect_span_matches_pixels(r565.image);

    // 32 bits with the built-in masks reads like 24 bits; the top byte is ignored.
    bmp_fields x888;
    x888.width = 2;
    x888.bit_count = 32;
    x888.compression = 3;
    x888.palette = {0xFF0000, 0x00FF00, 0x0000FF};
    x888.pixels = {0x56, 0x34, 0x12, 0x99, 0x01, 0x02, 0x03, 0x00};
    open_result r888{open_fields(x888)};
    ASSERT_NE(r888.image, nullptr);
    EXPECT_EQ(bmp_getpixel(r888.image, 0, 0), 0x123456u);
    EXPECT_EQ(bmp_getpixel(r888.image, 1, 0), 0x030201u);
    expect_span_matches_pixels(r888.image);

    // Other 8-bit masks: blue in the top byte.
    bmp_fields bgrx = x888;
    bgrx.palette = {0x0000FF00, 0x00FF0000, 0xFF000000};
    open_result rb{open_fields(bgrx)};
    ASSERT_NE(rb.image, nullptr);
    EXPECT_EQ(bmp_getpixel(rb.image, 0, 0), bgr(0x34, 0x12, 0x99));
    expect_span_matches_pixels(rb.image);

    // Masks of 10 bits per channel, and zero masks, read as black.
    bmp_fields wide = x888;
    wide.palette = {0x3FF00000, 0x000FFC00, 0x000003FF};
    open_result rw{open_fields(wide)};
    ASSERT_NE(rw.image, nullptr);
    EXPECT_EQ(bmp_getpixel(rw.image, 0, 0), 0u);
    EXPECT_EQ(describe(rw.image).red_length, 10);
    bmp_fields zero = x888;
    zero.palette = {0, 0, 0};
    open_result rz{open_fields(zero)};
    ASSERT_NE(rz.image, nullptr);
    EXPECT_EQ(describe(rz.image).red_shift, 32);
    EXPECT_EQ(bmp_getpixel(rz.image, 0, 0), 0u);
}

TEST(BmpOpen, TopDownPicturesReadTopRowFirst) {
    for (const uint32_t compression : {0u, 3u}) {
        bmp_fields f;
        f.width = 1;
        f.height = -2;
        f.bit_count = 32;
        f.compression = compression;
        if (compression == 3) f.palette = {0xFF0000, 0x00FF00, 0x0000FF};
        f.pixels = {0x03, 0x02, 0x01, 0, 0x06, 0x05, 0x04, 0};
        open_result r{open_fields(f)};
        ASSERT_NE(r.image, nullptr) << compression;
        EXPECT_EQ(bmp_height(r.image), 2);
        EXPECT_EQ(bmp_getpixel(r.image, 0, 0), 0x010203u);
        EXPECT_EQ(bmp_getpixel(r.image, 0, 1), 0x040506u);
        expect_span_matches_pixels(r.image);
    }
}

TEST(BmpOpen, Rle8DecodesRunsAbsoluteRunsAndDeltas) {
    bmp_fields f;
    f.width = 3;
    f.height = 2;
    f.bit_count = 8;
    f.compression = 1;
    for (uint32_t i = 0; i < 16; ++i)
        f.palette.push_back(i * 0x111111u);  // index i reads i x 0x111111
    f.pixels = {0x03, 0x07, 0x00, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03, 0x00, 0x00, 0x01};
    open_result r{open_fields(f)};
    ASSERT_NE(r.image, nullptr);
    // Stored row 0 (the bottom) is 07 07 07, stored row 1 (the top) 01 02 03.
    const auto row_of = [](const bmp_image* image, int32_t y) {
        std::vector<uint32_t> row;
        for (int32_t x = 0; x < bmp_width(image); ++x) row.push_back(bmp_getpixel(image, x, y));
        return row;
    };
    EXPECT_EQ(row_of(r.image, 0), (std::vector<uint32_t>{0x111111, 0x222222, 0x333333}));
    EXPECT_EQ(row_of(r.image, 1), (std::vector<uint32_t>{0x777777, 0x777777, 0x777777}));

    // A delta skips pixels (left zero); runs past the row end are cut, and an
    // absolute run past it is still consumed, with its padding byte, so that
    // the next pairs stay in step.
    f.height = 3;
    f.pixels = {0x00, 0x02, 0x01, 0x01, 0x05, 0x04, 0x00, 0x05, 1,    2,
                3,    4,    5,    0x00, 0x00, 0x00, 0x02, 0x09, 0x00, 0x01};
    open_result d{open_fields(f)};
    ASSERT_NE(d.image, nullptr);
    // Picture rows 2, 1 and 0 are stored rows 0, 1 and 2.
    EXPECT_EQ(row_of(d.image, 2), (std::vector<uint32_t>{0, 0, 0}));
    EXPECT_EQ(row_of(d.image, 1), (std::vector<uint32_t>{0, 0x444444, 0x444444}));
    EXPECT_EQ(row_of(d.image, 0), (std::vector<uint32_t>{0x999999, 0x999999, 0}));
}

TEST(BmpOpen, Rle8NeverWritesOutsideThePicture) {
    bmp_fields f;
    f.width = 5;
    f.height = 3;
    f.bit_count = 8;
    f.compression = 1;
    f.palette.assign(256, 0xFFFFFF);
    // Runs of 255 on every row, end-of-lines past the last row, a delta far up,
    // an absolute run longer than the data.
    for (int i = 0; i < 10; ++i) f.pixels.insert(f.pixels.end(), {255, 1, 0, 0});
    f.pixels.insert(f.pixels.end(), {0, 2, 255, 255, 0, 200, 1, 2});
    open_result r{open_fields(f)};
    ASSERT_NE(r.image, nullptr);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 5; ++x) EXPECT_EQ(bmp_getpixel(r.image, x, y), 0xFFFFFFu);
    }
}

TEST(BmpOpen, ImageSizeZeroOrShortDataStillOpens) {
    bmp_fields f;
    f.width = 2;
    f.height = 2;
    f.pixels = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9};  // the last row is cut short
    f.image_size = 0;
    open_result r{open_fields(f)};
    ASSERT_NE(r.image, nullptr);
    EXPECT_EQ(bmp_getpixel(r.image, 0, 1), 0x030201u);
    EXPECT_EQ(bmp_getpixel(r.image, 0, 0), 0x090807u);
    EXPECT_EQ(bmp_getpixel(r.image, 1, 0), 0u) << "missing bytes read as zero";

    f.image_size = 0x7FFFFFFF;  // larger than the file
    open_result big{open_fields(f)};
    ASSERT_NE(big.image, nullptr);
    EXPECT_EQ(bmp_getpixel(big.image, 1, 1), 0x060504u);
}

TEST(BmpOpen, RejectsWhatItCannotRead) {
    EXPECT_EQ(bmp_open("/nonexistent/picture.bmp"), nullptr);

    bmp_fields good;
    good.width = 2;
    good.pixels.assign(8, 0x7F);
    const auto ok = bmp_build(good);
    {
        open_result r{open_bytes(ok)};
        ASSERT_NE(r.image, nullptr) << "the base file opens";
    }
    auto expect_fails = [](std::vector<uint8_t> bytes, const char* why) {
        bmp_image* image = open_bytes(bytes, "bad.bmp");
        EXPECT_EQ(image, nullptr) << why;
        if (image != nullptr) bmp_close(image);
    };
    auto with32 = [&](size_t offset, uint32_t value) {
        auto b = ok;
        put_le32(b, offset, value);
        return b;
    };
    auto with16 = [&](size_t offset, uint16_t value) {
        auto b = ok;
        put_le16(b, offset, value);
        return b;
    };
    auto b = ok;
    b[1] = 'N';
    expect_fails(b, "second signature byte");
    expect_fails(std::vector<uint8_t>(ok.begin(), ok.begin() + 40), "cut inside the header");
    expect_fails(with32(14, 12), "12-byte core header");
    expect_fails(with32(18, 0), "width 0");
    expect_fails(with32(18, 0xFFFFFFFF), "negative width");
    expect_fails(with32(22, 0), "height 0");
    expect_fails(with32(22, 0x80000000), "smallest height");
    expect_fails(with32(10, 53), "data offset below 54");
    expect_fails(with32(10, 4096), "data offset past the end");
    expect_fails(with16(28, 2), "2 bits per pixel");
    expect_fails(with16(28, 0xFFFF), "negative depth");
    expect_fails(with32(30, 2), "RLE4");
    expect_fails(with32(30, 1), "RLE8 at 24 bits");
}

TEST(BmpOpen, RejectsHugeDimensionsWithoutAllocating) {
    bmp_fields f;
    f.width = 4097;
    f.height = 4096;
    f.pixels.assign(16, 0);
    EXPECT_EQ(open_fields(f), nullptr) << "above the pixel cap";
    f.width = 0x7FFFFFFF;
    f.height = 0x7FFFFFFF;
    f.bit_count = 32;
    EXPECT_EQ(open_fields(f), nullptr) << "width x height x depth overflows";
    f.width = 4096;
    f.height = 4096;
    open_result r{open_fields(f)};
    EXPECT_NE(r.image, nullptr) << "at the cap, from a 16-byte pixel area";
}

TEST(BmpOpen, MaskRulesForSixteenAndThirtyTwoBits) {
    // Compression 0 with a palette area fails (for instance a longer header).
    bmp_fields f;
    f.width = 1;
    f.bit_count = 32;
    f.pixels.assign(4, 0);
    f.data_offset = 58;
    EXPECT_EQ(open_fields(f), nullptr);
    f.bit_count = 16;
    EXPECT_EQ(open_fields(f), nullptr);
    // Compression 3 needs three masks.
    f.compression = 3;
    f.data_offset = -1;
    EXPECT_EQ(open_fields(f), nullptr) << "no masks";
    f.palette = {0xF800, 0x07E0};
    EXPECT_EQ(open_fields(f), nullptr) << "two masks";
    f.palette.push_back(0x1F);
    open_result r{open_fields(f)};
    EXPECT_NE(r.image, nullptr) << "three masks";
    // RLE8 on a depth other than 8, and RLE8 top-down.
    bmp_fields rle;
    rle.bit_count = 4;
    rle.compression = 1;
    rle.palette.assign(16, 0);
    rle.pixels = {0, 1};
    EXPECT_EQ(open_fields(rle), nullptr);
    rle.bit_count = 8;
    rle.height = -1;
    EXPECT_EQ(open_fields(rle), nullptr);
    rle.height = 1;
    open_result ok{open_fields(rle)};
    EXPECT_NE(ok.image, nullptr);
}

// The span readers agree with the pixel readers on random pictures of every
// depth, odd widths and top-down or bottom-up order.
TEST(BmpSpan, MatchesPixelReadsOnEveryDepth) {
    std::mt19937 rng(7);
    for (const bmp_format& format : BMP_FORMATS) {
        for (const int32_t width : {1, 3, 5, 33, 70}) {
            for (const int32_t height : {3, -3}) {
                if (format.compression == 1 && height < 0) continue;
                open_result r{open_fields(bmp_random(format, width, height, rng))};
                ASSERT_NE(r.image, nullptr) << format.bit_count << "/" << format.compression;
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
