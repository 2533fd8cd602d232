// Arbitrary bytes as a picture file: opened, every pixel read, prepared at 16,
// 24 and 32 bits and drawn at the corners of a screen, never outside it. Also
// replayed by the unit suites on its seeds, in every build.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bmplib.h"
#include "fuzz_input.h"
#include "prepared_bitmap.h"
#include "support/screen_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    memory_file file(data, size);
    bmp_image* image = bmp_open(file.path());
    if (image == nullptr) return 0;
    const int32_t w = bmp_width(image);
    const int32_t h = bmp_height(image);
    if (w <= 0 || h <= 0) abort();
    if (static_cast<int64_t>(w) * h <= (1 << 12)) {
        std::vector<uint32_t> row(static_cast<size_t>(w));
        for (int32_t y = 0; y < h; ++y) {
            bmp_getspan(image, 0, y, w, row.data());
            for (int32_t x = 0; x < w; ++x) {
                const uint32_t c = bmp_getpixel(image, x, y);
                if (c != row[static_cast<size_t>(x)] || (c >> 24) != 0) abort();
            }
        }
        for (const int bits : {16, 24, 32}) {
            guarded_screen screen(23, 17, bits);
            prepared_bitmap bitmap{};
            prepare_bitmap(image, &bitmap);
            for (const auto& at : {std::pair{0, 0}, {22, 16}, {-w + 1, -h + 1}, {5, -3}, {-7, 9}}) {
                draw_prepared_bitmap(&bitmap, at.first, at.second);
            }
            free(bitmap.pixels);
            if (!screen.guards_intact()) abort();
        }
    }
    bmp_close(image);
    return 0;
}
