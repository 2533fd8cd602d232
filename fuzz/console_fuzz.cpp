// Arbitrary bytes as the font picture, then arbitrary text through draw_string
// from an arbitrary cursor and top line, on screens of each depth.
// Input: [2 bytes font length][font bytes][1 byte depth][12 bytes cursor][text].
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bmplib.h"
#include "console.h"
#include "fuzz_input.h"
#include "support/screen_reader.h"

namespace {

int32_t take32(const uint8_t*& p, const uint8_t* end) {
    uint32_t v = 0;
    for (int i = 0; i < 4 && p < end; ++i) v |= static_cast<uint32_t>(*p++) << (8 * i);
    return static_cast<int32_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t font_size = std::min<size_t>(size - 2, data[0] | (data[1] << 8));
    const uint8_t* p = data + 2 + font_size;
    const uint8_t* end = data + size;
    const int bits = p < end ? (*p++ % 3 + 2) * 8 : 32;
    guarded_screen screen(97, 61, bits);

    prepared_bitmap table[FONT_GLYPH_COUNT] = {};
    memory_file file(data + 2, font_size);
    bmp_image* image = bmp_open(file.path());
    if (image != nullptr) {
        if (static_cast<int64_t>(bmp_width(image)) * bmp_height(image) <= (1 << 20)) {
            prepare_font(image, table);
        }
        bmp_close(image);
    }
    posx = take32(p, end);
    posy = take32(p, end);
    console_offsetY = take32(p, end);
    const std::string text(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p));
    draw_string(table, text.c_str());
    draw_string(table, text.c_str());
    for (prepared_bitmap& glyph : table) free(glyph.pixels);
    if (!screen.guards_intact()) abort();
    return 0;
}
