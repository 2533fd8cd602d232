// Screen formats, prepared bitmaps and clipping on an in-memory screen.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <tuple>

#include "bmplib.h"
#include "console.h"
#include "framebuffer.h"
#include "prepared_bitmap.h"
#include "screen_format.h"
#include "support/bmp_builder.h"
#include "support/screen_reader.h"

namespace {

// A 24-bit picture holding the given colours, top row first.
bmp_image* picture(int w, int h, const std::vector<uint32_t>& colours) {
    const auto bytes = bmp_rgb(w, h, [&](int x, int y) { return colours[y * w + x]; });
    return bmp_open(write_scratch_file("picture.bmp", bytes).c_str());
}

struct prepared {
    prepared_bitmap bitmap{};
    ~prepared() { free(bitmap.pixels); }
};

void prepare_colours(prepared* out, int w, int h, const std::vector<uint32_t>& colours) {
    bmp_image* image = picture(w, h, colours);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(prepare_bitmap(image, &out->bitmap), 0);
    bmp_close(image);
}

TEST(ScreenFormat, ConvertsColoursAtEachDepth) {
    const struct {
        int bits;
        uint32_t colour;
        const char* bytes;
    } cases[] = {
        {16, 0xFF8040, "\x08\xFC"},                                  // 31, 32, 8 in 5-6-5
        {16, 0xFFFFFF, "\xFF\xFF"},     {16, 0x808080, "\x10\x84"},  // 16, 32, 16
        {24, 0x123456, "\x56\x34\x12"}, {32, 0x123456, "\x56\x34\x12\xFF"},
    };
    for (const auto& c : cases) {
        guarded_screen screen(8, 8, c.bits);
        prepared p;
        prepare_colours(&p, 1, 1, {c.colour});
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.bitmap.pixels), c.bits / 8),
                  std::string(c.bytes, c.bits / 8))
            << std::hex << c.colour << " at " << std::dec << c.bits << " bits";
    }
}

// Layouts other than 5-6-5 go through the per-channel tables; a screen that
// reports no fields is taken for 5-6-5.
TEST(ScreenFormat, SixteenBitFieldsFollowFbvar) {
    const struct {
        fb_bitfield red, green, blue;
        uint32_t colour;
        uint16_t word;
    } cases[] = {
        {{10, 5, 0}, {5, 5, 0}, {0, 5, 0}, 0xF08040, 0x7A08},  // 5-5-5, red on top
        {{10, 5, 0}, {5, 5, 0}, {0, 5, 0}, 0xFFFFFF, 0x7FFF},
        {{0, 5, 0}, {5, 6, 0}, {11, 5, 0}, 0xF08040, 0x441E},   // 5-6-5, blue on top
        {{10, 5, 0}, {5, 0, 0}, {16, 5, 0}, 0xFFFFFF, 0x7C00},  // length 0; above bit 15
        {{11, 9, 0}, {5, 0, 0}, {16, 5, 0}, 0xFFFFFF, 0x0000},  // longer than 8 bits
        {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, 0xF08040, 0xF408},    // none reported: 5-6-5
    };
    for (const auto& c : cases) {
        guarded_screen screen(4, 4, 16);
        fbvar.red = c.red;
        fbvar.green = c.green;
        fbvar.blue = c.blue;
        prepared p;
        prepare_colours(&p, 1, 1, {c.colour});
        uint16_t word;
        memcpy(&word, p.bitmap.pixels, 2);
        EXPECT_EQ(word, c.word) << std::hex << c.colour << " red at " << c.red.offset;
    }
}

TEST(ScreenFormat, UnsupportedDepthConvertsNothingAndDrawsNothing) {
    guarded_screen screen(4, 4, 8);
    prepared p;
    prepare_colours(&p, 2, 2, {1, 2, 3, 4});
    EXPECT_EQ(p.bitmap.width, 2);
    EXPECT_EQ(p.bitmap.height, 2);
    EXPECT_EQ(p.bitmap.stride, 0);
    screen.fill(0x33);
    draw_prepared_bitmap(&p.bitmap, 0, 0);
    EXPECT_EQ(screen.pixels()[0], 0x33);
}

// A rectangle larger than any picture the reader opens is refused before its
// size is computed in size_t, which wraps on a 32-bit target.
TEST(PrepareBitmap, RectangleLargerThanAnyPictureStaysEmpty) {
    guarded_screen screen(4, 4, 32);
    bmp_image* image = picture(2, 2, {1, 2, 3, 4});
    ASSERT_NE(image, nullptr);
    screen_format format;
    screen_format_init(&format, &fbvar);
    for (const auto& [w, h] :
         {std::pair{65536, 65536}, std::pair{INT32_MAX, 1}, std::pair{4097, 4097}}) {
        prepared_bitmap bitmap{7, 7, 7, nullptr};
        prepare_bitmap_rect(&format, image, 0, 0, w, h, &bitmap);
        EXPECT_EQ(bitmap.pixels, nullptr) << w << " x " << h;
        EXPECT_EQ(bitmap.width, 0);
        EXPECT_EQ(bitmap.stride, 0);
    }
    prepared_bitmap largest{};
    prepare_bitmap_rect(&format, image, 0, 0, 4096, 4096, &largest);  // BMP_MAX_PIXELS
    EXPECT_NE(largest.pixels, nullptr);
    EXPECT_EQ(largest.stride, 4096 * 4);
    free(largest.pixels);
    bmp_close(image);
}

// Converting in spans, across span boundaries, gives exactly what converting
// each pixel alone gives (the conversion itself: ConvertsColoursAtEachDepth).
// Whole pictures, a rectangle inside one, rectangles that reach past the
// right and bottom edges (what lies outside reads black), and ones that end
// at the last byte of the stored rows (the top row of a bottom-up picture).
// Into any format the caller gives, whatever fbvar says (buffers sized by the format).
TEST(PrepareBitmap, MatchesPixelByPixelConversionOnEveryDepth) {
    std::mt19937 rng(11);
    guarded_screen screen(4, 4, 16);
    for (const int screen_bpp : {16, 24, 32}) {
        fb_var_screeninfo var = fbvar;
        var.bits_per_pixel = screen_bpp;
        screen_format format;
        screen_format_init(&format, &var);
        for (const bmp_format& fmt : BMP_FORMATS) {
            const bmp_fields f = bmp_random(fmt, 300, 4, rng);  // more than one conversion span
            bmp_image* image = bmp_open(write_scratch_file("p.bmp", bmp_build(f)).c_str());
            ASSERT_NE(image, nullptr);
            for (const auto& [x0, y0, w, h] :
                 {std::tuple{0, 0, 300, 4}, std::tuple{5, 1, 20, 3}, std::tuple{290, 0, 16, 4},
                  std::tuple{3, 1, 9, 4}, std::tuple{280, 0, 20, 4}, std::tuple{299, 0, 1, 1}}) {
                prepared p;
                prepare_bitmap_rect(&format, image, x0, y0, w, h, &p.bitmap);
                const int bpp = screen_bpp / 8;
                for (int y = 0; y < h; ++y) {
                    for (int x = 0; x < w; ++x) {
                        uint8_t want[4];
                        const uint32_t colour = bmp_getpixel(image, x0 + x, y0 + y);
                        format.write(&format, &colour, 1, want);
                        ASSERT_EQ(memcmp(p.bitmap.pixels + y * p.bitmap.stride + x * bpp, want,
                                         static_cast<size_t>(bpp)),
                                  0)
                            << fmt.bit_count << "/" << fmt.compression << " on " << screen_bpp
                            << " at " << x0 + x << "," << y0 + y;
                    }
                }
            }
            bmp_close(image);
        }
    }
}

class Drawing : public testing::TestWithParam<int> {};

TEST_P(Drawing, ClipsOnAllFourSidesAndStaysInTheMapping) {
    const int bpp = GetParam() / 8;
    guarded_screen screen(10, 6, GetParam());
    std::vector<uint32_t> colours(4 * 3);
    for (size_t i = 0; i < colours.size(); ++i) colours[i] = 0x010101u * (i + 1);
    prepared p;
    prepare_colours(&p, 4, 3, colours);

    auto drawn_at = [&](int x, int y) { return screen.at(x, y)[0]; };  // blue byte / low byte
    auto colour_byte = [&](int bx, int by) {
        return p.bitmap.pixels[by * p.bitmap.stride + bx * bpp];
    };

    draw_prepared_bitmap(&p.bitmap, 0, 0);
    EXPECT_EQ(drawn_at(0, 0), colour_byte(0, 0));
    EXPECT_EQ(drawn_at(3, 2), colour_byte(3, 2));
    EXPECT_EQ(drawn_at(4, 0), 0);

    screen.fill(0);
    draw_prepared_bitmap(&p.bitmap, 8, 4);  // wider and taller than what is left
    EXPECT_EQ(drawn_at(8, 4), colour_byte(0, 0));
    EXPECT_EQ(drawn_at(9, 5), colour_byte(1, 1));
    EXPECT_EQ(drawn_at(0, 5), 0) << "nothing wraps to the next row";

    screen.fill(0);
    draw_prepared_bitmap(&p.bitmap, -2, -1);  // off the left and top
    EXPECT_EQ(drawn_at(0, 0), colour_byte(2, 1));
    EXPECT_EQ(drawn_at(1, 1), colour_byte(3, 2));
    EXPECT_EQ(drawn_at(2, 0), 0);

    screen.fill(0);
    for (const auto& pos : {std::pair{10, 0},
                            {0, 6},
                            {-4, 0},
                            {0, -3},
                            {1000, 1000},
                            {-1000000, -1000000},
                            {0x7FFFFFFF, 0},
                            {0, 0x7FFFFFFF}}) {
        draw_prepared_bitmap(&p.bitmap, pos.first, pos.second);
    }
    for (size_t i = 0; i < screen.size(); ++i) ASSERT_EQ(screen.pixels()[i], 0) << i;
    EXPECT_TRUE(screen.guards_intact());
}

INSTANTIATE_TEST_SUITE_P(Depths, Drawing, testing::Values(16, 24, 32));

TEST(Drawing, NothingWithoutAMappingOrPixelsAndRowsAreXresApart) {
    guarded_screen screen(4, 4, 32);
    prepared_bitmap empty{};
    draw_prepared_bitmap(&empty, 0, 0);
    prepared p;
    prepare_colours(&p, 2, 2, {1, 2, 3, 4});
    fbmem = nullptr;
    draw_prepared_bitmap(&p.bitmap, 0, 0);  // must not crash
    fbmem = screen.pixels();
    // Without a reported line length, rows are xres pixels apart whatever
    // wider virtual width the driver reports.
    fbvar.xres_virtual = 7;
    draw_prepared_bitmap(&p.bitmap, 1, 1);
    EXPECT_EQ(screen.at(1, 1)[0], p.bitmap.pixels[0]);
    EXPECT_EQ(screen.at(2, 2)[0], p.bitmap.pixels[p.bitmap.stride + 4]);
}

// Everything the programs draw, in two steps: pictures over the whole screen
// and off every edge, then text with band clears, a wrap and the run back to
// the top line; then a whole-screen clear and text again.
void draw_scene(int step) {
    prepared_bitmap font[FONT_GLYPH_COUNT] = {};
    ASSERT_TRUE(load_test_font(font));
    const int w = static_cast<int>(fbvar.xres);
    const int h = static_cast<int>(fbvar.yres);
    if (step == 0) {
        const auto noise =
            bmp_rgb(w + 6, h + 4, [](int x, int y) { return (x * 2654435761u) ^ (y * 40503u); });
        bmp_image* image = bmp_open(write_scratch_file("noise.bmp", noise).c_str());
        ASSERT_NE(image, nullptr);
        prepared_bitmap big{};
        prepare_bitmap(image, &big);
        bmp_close(image);
        draw_prepared_bitmap(&big, -3, -2);
        draw_prepared_bitmap(&big, w - 5, h - 4);
        free(big.pixels);
        posx = posy = 0;
        console_offsetY = 22;
        draw_string(font, "top\nwraps past the right edge\nand runs off the bottom");
    } else {
        fb_clear();
        posx = posy = console_offsetY = 0;
        draw_string(font, "cleared");
    }
    free_font(font);
}

// Padded rows and a panned screen: each step writes exactly the bytes it writes
// on a plain screen, at the visible screen's place, and nothing elsewhere.
TEST(Drawing, PaddedAndPannedScreensGetThePlainScreensBytesWhereTheDisplayShows) {
    constexpr int W = 120;
    constexpr int H = 70;
    for (const int bits : {16, 24, 32}) {
        const uint32_t row = W * bits / 8;
        for (const auto& [pitch, x, y] :
             {std::tuple{row + 12, 0u, 0u}, std::tuple{0u, 0u, uint32_t{H}},
              std::tuple{row + 24, 3u, 5u}}) {
            for (int step = 0; step < 2; ++step) {
                std::vector<uint8_t> plain;
                {
                    guarded_screen screen(W, H, bits);
                    for (int s = 0; s <= step; ++s) draw_scene(s);
                    plain = screen.visible_bytes();
                }
                guarded_screen screen(screen_geometry{W, H, bits, pitch, x, y});
                for (int s = 0; s <= step; ++s) draw_scene(s);
                EXPECT_TRUE(screen.visible_bytes() == plain)
                    << bits << " bits, pitch " << pitch << ", offset " << x << "," << y << ", step "
                    << step;
                EXPECT_TRUE(screen.guards_intact());
            }
        }
    }
}

// At 24 and 32 bits each channel goes to the byte the driver reports and the
// byte no channel uses is 0xFF; any other report keeps blue, green, red.
TEST(ScreenFormat, ChannelsGoWhereTheDriverPutsThem) {
    const struct {
        int bits;
        uint32_t red, green, blue, length;
        const char* bytes;  // of 0x123456 (and the glyph's black: every channel 0)
    } cases[] = {
        {32, 16, 8, 0, 8, "\x56\x34\x12\xFF"},   // B G R X, as assumed
        {32, 0, 8, 16, 8, "\x12\x34\x56\xFF"},   // R G B X
        {32, 8, 16, 24, 8, "\xFF\x12\x34\x56"},  // X R G B
        {32, 24, 16, 8, 8, "\xFF\x56\x34\x12"},  // X B G R
        {32, 0, 0, 16, 8, "\x56\x34\x12\xFF"},   // two channels on one byte: as assumed
        {32, 0, 8, 16, 6, "\x56\x34\x12\xFF"},   // not 8 bits wide: as assumed
        {32, 4, 12, 20, 8, "\x56\x34\x12\xFF"},  // not on byte boundaries: as assumed
        {24, 0, 8, 16, 8, "\x12\x34\x56"},       // R G B
        {24, 16, 8, 0, 8, "\x56\x34\x12"},       // B G R
        {24, 8, 16, 24, 8, "\x56\x34\x12"},      // past the pixel: as assumed
    };
    for (const auto& c : cases) {
        guarded_screen screen(4, 1, c.bits);
        fbvar.red = {c.red, c.length, 0};
        fbvar.green = {c.green, c.length, 0};
        fbvar.blue = {c.blue, c.length, 0};
        prepared p;
        prepare_colours(&p, 2, 1, {0x123456, 0});
        draw_prepared_bitmap(&p.bitmap, 1, 0);
        const size_t bpp = c.bits / 8;
        const std::string want(c.bytes, bpp);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(screen.at(1, 0)), bpp), want)
            << c.bits << " bits, red " << c.red << " green " << c.green << " blue " << c.blue;
        std::string black(bpp, '\0');
        for (size_t i = 0; i < bpp; ++i)
            black[i] = want[i] == '\xFF' && c.bits == 32 ? '\xFF' : '\0';
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(screen.at(2, 0)), bpp), black);
    }
}

}  // namespace
