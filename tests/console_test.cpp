// The font and the text console, read back from the screen.
#include "console.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "bmplib.h"
#include "framebuffer.h"
#include "support/bmp_builder.h"
#include "support/screen_reader.h"

namespace {

class Console : public testing::TestWithParam<int> {
protected:
    // 10 x 22 glyphs; 23 columns and 10 lines fit with room to spare.
    void SetUp() override { use_screen(233, 225); }
    void TearDown() override { free_font(font_20px); }

    void use_screen(int xres, int yres) {
        free_font(font_20px);
        screen_.reset();
        screen_ = std::make_unique<guarded_screen>(xres, yres, GetParam());
        ASSERT_TRUE(load_test_font(font_20px));
        w_ = font_20px[0].width;
        h_ = font_20px[0].height;
        posx = posy = console_offsetY = 0;
    }
    std::vector<std::string> lines(int y0 = 0) {
        return screen_read_lines(screen_->view(), font_20px, y0);
    }
    bool band_is(int y, uint8_t value) {
        const size_t row = static_cast<size_t>(screen_->view().xres) * (GetParam() / 8);
        for (size_t i = 0; i < row * h_; ++i) {
            if (screen_->pixels()[y * row + i] != value) return false;
        }
        return true;
    }

    std::unique_ptr<guarded_screen> screen_;
    int w_ = 0;
    int h_ = 0;
};

TEST_P(Console, EveryPrintableCharacterRoundTrips) {
    ASSERT_EQ(w_, 10);
    ASSERT_EQ(h_, 22);
    std::string all;
    for (int c = 33; c <= 126; ++c) all.push_back(static_cast<char>(c));
    draw_string(font_20px, all.c_str());
    std::string read;
    for (const auto& line : lines()) read += line;
    EXPECT_EQ(read, all);
    EXPECT_TRUE(screen_->guards_intact());
}

TEST_P(Console, DrawsAtTheCursorAndBlanksTheBandFirst) {
    screen_->fill(0x77);
    draw_string(font_20px, "abc");
    EXPECT_EQ(posx, 3 * w_);
    EXPECT_EQ(posy, 0);
    EXPECT_EQ(lines()[0], "abc");
    // The rest of the band is black across the full width; below it is untouched.
    EXPECT_EQ(screen_->at(200, h_ - 1)[0], 0);
    EXPECT_EQ(screen_->at(0, h_)[0], 0x77);

    // The cursor persists: the next call carries on without clearing.
    draw_string(font_20px, "de\n");
    EXPECT_EQ(posx, 0);
    EXPECT_EQ(posy, h_);
    EXPECT_EQ(lines()[0], "abcde");

    // An empty line between newlines is not cleared.
    draw_string(font_20px, "\nb");
    EXPECT_TRUE(band_is(h_, 0x77)) << "the empty line keeps what the screen held";
    EXPECT_EQ(screen_read_line(screen_->view(), font_20px, 2 * h_), "b");
    // A lone newline moves the cursor and draws nothing.
    posx = 5;
    draw_string(font_20px, "\n");
    EXPECT_EQ(posx, 0);
    EXPECT_EQ(posy, 3 * h_);
}

TEST_P(Console, WrapsOnlyWhenAGlyphWouldCrossTheRightEdge) {
    use_screen(10 * 23, 225);  // an exact multiple of the glyph width
    const std::string full(23, 'x');
    draw_string(font_20px, full.c_str());
    EXPECT_EQ(posx, 230) << "the last glyph ends on the edge and stays on the line";
    EXPECT_EQ(posy, 0);
    draw_string(font_20px, "y");
    EXPECT_EQ(posy, h_);
    EXPECT_EQ(lines(), (std::vector<std::string>{full, "y"}));
}

TEST_P(Console, RunsOffTheBottomBackToTheTopLine) {
    use_screen(233, 4 * 22);  // four lines exactly
    draw_string(font_20px, "banner\n1\n2\n3");
    EXPECT_EQ(posy, 3 * h_) << "a line ending on the bottom edge stays";
    console_offsetY = h_ + 10;
    draw_string(font_20px, "\n");
    EXPECT_EQ(posy, 4 * h_) << "a newline on the last line goes below the edge";
    draw_string(font_20px, "4");
    EXPECT_EQ(posy, h_ + 10);
    EXPECT_EQ(screen_read_line(screen_->view(), font_20px, 0), "banner");
    EXPECT_EQ(screen_read_line(screen_->view(), font_20px, h_ + 10), "4");

    // With a top line of 0, text continues over the banner.
    console_offsetY = 0;
    posy = 4 * h_;
    posx = 0;
    draw_string(font_20px, "top");
    EXPECT_EQ(lines()[0], "top");
    // A wrap that would cross the bottom edge lands on the top line.
    posx = 230;
    posy = 3 * h_;
    draw_string(font_20px, "zz");
    EXPECT_EQ(posy, 0);
    EXPECT_EQ(lines()[0], "zz");
}

// A redraw from the same cursor, a carriage return and bytes without a glyph.
TEST_P(Console, RewritesInPlaceAndSubstitutesBytesWithoutAGlyph) {
    draw_string(font_20px, "in 5 seconds...");
    posx = posy = 0;
    draw_string(font_20px, "in 4");
    EXPECT_EQ(lines()[0], "in 4") << "a shorter redraw leaves nothing of the longer";
    draw_string(font_20px, "\rabcdef\rxy");
    EXPECT_EQ(lines()[0], "xy");
    draw_string(font_20px,
                "\ra\x01"
                "b\xC3\xA9"
                "c\x7F");
    EXPECT_EQ(lines()[0], "a?b??c?");
    EXPECT_EQ(posx, 7 * w_);
}

TEST_P(Console, TopLineBelowTheScreenIsClampedInsideTheMapping) {
    console_offsetY = 100000;
    posy = 100000;
    draw_string(font_20px, "clamped");
    EXPECT_EQ(posy, 225 - h_);
    EXPECT_EQ(screen_read_line(screen_->view(), font_20px, 225 - h_), "clamped");
    console_offsetY = 220;  // offset + h past the bottom
    posy = 1000;
    draw_string(font_20px, "again");
    EXPECT_TRUE(screen_->guards_intact());
}

// Regression: the wrap and bottom tests once added in int.
TEST_P(Console, CursorNeverOverflows) {
    const std::string newlines(100000, '\n');
    for (int i = 0; i < 300; ++i) draw_string(font_20px, newlines.c_str());
    EXPECT_GT(posy, 225 - h_);
    draw_string(font_20px, "ok");
    EXPECT_EQ(posy, 0);
    EXPECT_EQ(lines()[0], "ok");
    posx = INT_MAX - 3;
    posy = INT_MAX - 3;
    draw_string(font_20px, "ab");
    EXPECT_EQ(posy, 0);
    EXPECT_EQ(lines()[0], "ab");
    posx = INT_MIN;
    posy = INT_MIN;
    draw_string(font_20px, "c\nd");
    EXPECT_TRUE(screen_->guards_intact());
}

INSTANTIATE_TEST_SUITE_P(Depths, Console, testing::Values(16, 24, 32));

TEST(Font, CellsFollowTheTenByTenGrid) {
    guarded_screen screen(100, 100, 32);
    // A 30 x 40 picture (cells of 3 x 4) whose every pixel encodes its cell.
    const auto grid = bmp_rgb(30, 40, [](int x, int y) { return (y / 4) * 10 + x / 3; });
    bmp_image* image = bmp_open(write_scratch_file("grid.bmp", grid).c_str());
    ASSERT_NE(image, nullptr);
    prepared_bitmap table[FONT_GLYPH_COUNT] = {};
    EXPECT_EQ(prepare_font(image, table), 0);
    bmp_close(image);
    for (int i = 0; i < FONT_GLYPH_COUNT; ++i) {
        ASSERT_EQ(table[i].width, 3);
        ASSERT_EQ(table[i].height, 4);
        ASSERT_EQ(table[i].stride, 12);
        for (int p = 0; p < 12; ++p) ASSERT_EQ(table[i].pixels[4 * p], i) << "glyph " << i;
    }
    free_font(table);
}

TEST(Font, PictureTooSmallForCellsGivesEmptyGlyphsThatDrawNothing) {
    guarded_screen screen(40, 40, 32);
    bmp_fields f;
    f.width = 9;
    f.height = 9;
    f.pixels.assign(static_cast<size_t>(bmp_test_stride(9, 24)) * 9, 0xFF);
    bmp_image* image = bmp_open(write_scratch_file("tiny.bmp", bmp_build(f)).c_str());
    ASSERT_NE(image, nullptr);
    prepared_bitmap table[FONT_GLYPH_COUNT] = {};
    prepare_font(image, table);
    bmp_close(image);
    EXPECT_EQ(table[10].pixels, nullptr);
    EXPECT_EQ(table[10].width, 0);
    screen.fill(0x11);
    posx = posy = console_offsetY = 0;
    draw_string(table, "abc\nabc");
    EXPECT_TRUE(screen.guards_intact());
    free_font(table);
}

}  // namespace
