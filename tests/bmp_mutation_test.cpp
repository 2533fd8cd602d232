// Mutated files against the reader and the converter: a lying file never makes
// them read or write outside their buffers (run under ASan/UBSan too).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "bmplib.h"
#include "framebuffer.h"
#include "prepared_bitmap.h"
#include "support/bmp_builder.h"
#include "support/screen_reader.h"
#include "support/test_paths.h"

namespace {

std::vector<std::vector<uint8_t>> seeds() {
    std::mt19937 rng(3);
    std::vector<std::vector<uint8_t>> out;
    const struct {
        int16_t bpp;
        uint32_t compression;
    } formats[] = {{1, 0}, {4, 0}, {8, 0}, {8, 1}, {16, 0}, {16, 3}, {24, 0}, {32, 0}, {32, 3}};
    for (const auto& fmt : formats) {
        bmp_fields f;
        f.width = 13;
        f.height = 7;
        f.bit_count = fmt.bpp;
        f.compression = fmt.compression;
        if (fmt.bpp <= 8) f.palette.assign(static_cast<size_t>(1) << fmt.bpp, 0x804020);
        if (fmt.compression == 3) f.palette = {0xF800, 0x07E0, 0x001F};
        if (fmt.compression == 1) {
            for (int row = 0; row < 7; ++row) {
                f.pixels.insert(f.pixels.end(), {5, 1, 0, 4, 1, 2, 3, 4, 0, 2, 1, 0, 0, 0});
            }
            f.pixels.insert(f.pixels.end(), {0, 1});
        } else {
            f.pixels.resize(static_cast<size_t>(bmp_test_stride(13, fmt.bpp)) * 7);
            for (auto& b : f.pixels) b = static_cast<uint8_t>(rng());
        }
        out.push_back(bmp_build(f));
    }
    FILE* font = fopen(ZQ_MEDIA_DIR "/inconsolata_20px_ffffff.bmp", "rb");
    if (font != nullptr) {
        std::vector<uint8_t> bytes(1 << 16);
        bytes.resize(fread(bytes.data(), 1, bytes.size(), font));
        fclose(font);
        out.push_back(bytes);
    }
    return out;
}

void mutate(std::vector<uint8_t>& b, std::mt19937& rng) {
    static const uint32_t interesting[] = {
        0,      1,      2,      3,       4,          8,          16,         24,
        32,     40,     54,     58,      0x7F,       0x80,       0xFF,       0x100,
        0x7FFF, 0x8000, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFE};
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !b.empty(); ++e) {
        switch (rng() % 5) {
            case 0:  // a header field set to an interesting value
                if (b.size() >= 54) {
                    const size_t offset = 2 + 4 * (rng() % 13);
                    put_le32(b, offset, interesting[rng() % std::size(interesting)]);
                }
                break;
            case 1:  // a random byte anywhere
                b[rng() % b.size()] = static_cast<uint8_t>(rng());
                break;
            case 2:  // a random byte in the headers
                b[rng() % std::min<size_t>(b.size(), 70)] = static_cast<uint8_t>(rng());
                break;
            case 3:  // cut
                b.resize(rng() % (b.size() + 1));
                break;
            default:  // garbage appended
                for (int i = 0; i < 64; ++i) b.push_back(static_cast<uint8_t>(rng()));
                break;
        }
    }
}

void exercise(const bmp_image* image, memory_screen& screen) {
    const int32_t w = bmp_width(image);
    const int32_t h = bmp_height(image);
    ASSERT_GT(w, 0);
    ASSERT_GT(h, 0);
    if (static_cast<int64_t>(w) * h > (1 << 20)) return;  // large: opened and closed only
    uint32_t sum = 0;
    std::vector<uint32_t> span(static_cast<size_t>(w));
    for (int32_t y = 0; y < h; ++y) {
        bmp_getspan(image, 0, y, w, span.data());
        for (int32_t x = 0; x < w; ++x) {
            const uint32_t c = bmp_getpixel(image, x, y);
            ASSERT_EQ(c & 0xFF000000u, 0u);
            ASSERT_EQ(c, span[static_cast<size_t>(x)]);
            sum += c;
        }
    }
    (void)sum;
    prepared_bitmap bitmap{};
    prepare_bitmap(const_cast<bmp_image*>(image), &bitmap);
    const int xres = static_cast<int>(fbvar.xres);
    const int yres = static_cast<int>(fbvar.yres);
    for (const auto& at :
         {std::pair{0, 0}, {xres - 1, 0}, {0, yres - 1}, {xres - 3, yres - 3}, {-w / 2, -h / 2}}) {
        draw_prepared_bitmap(&bitmap, at.first, at.second);
    }
    free(bitmap.pixels);
    ASSERT_TRUE(screen.guards_intact());
}

TEST(BmpMutation, ThousandsOfMutatedFilesStayInBounds) {
    const auto base = seeds();
    ASSERT_GE(base.size(), 9u);
    std::mt19937 rng(12345);
    int opened = 0;
    for (int depth : {16, 24, 32}) {
        memory_screen screen(37, 23, depth);
        for (int i = 0; i < 1200; ++i) {
            std::vector<uint8_t> bytes = base[rng() % base.size()];
            mutate(bytes, rng);
            bmp_image* image = bmp_open(write_scratch_file("mutant.bmp", bytes).c_str());
            if (image == nullptr) continue;
            ++opened;
            exercise(image, screen);
            bmp_close(image);
            if (HasFatalFailure()) return;
        }
    }
    // The mutations keep many files loadable, so the readers are exercised.
    EXPECT_GT(opened, 300);
}

}  // namespace
