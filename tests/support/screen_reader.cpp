#include "screen_reader.h"

#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "bmplib.h"
#include "console.h"
#include "framebuffer.h"
#include "test_paths.h"

namespace {

// FNV-1a over a cell's rows, so that a cell is looked up rather than compared
// with every glyph.
uint64_t cell_hash(const uint8_t* first_row, size_t row_bytes, size_t pitch, int rows) {
    uint64_t h = 1469598103934665603ull;
    for (int r = 0; r < rows; ++r) {
        const uint8_t* row = first_row + static_cast<size_t>(r) * pitch;
        for (size_t i = 0; i < row_bytes; ++i) h = (h ^ row[i]) * 1099511628211ull;
    }
    return h;
}

bool cell_matches(const screen_view& s, const prepared_bitmap& g, int x, int y) {
    const size_t row_bytes = static_cast<size_t>(g.width) * s.bytes_per_pixel;
    for (int r = 0; r < g.height; ++r) {
        const uint8_t* screen_row =
            s.pixels + (static_cast<size_t>(y + r) * s.xres + x) * s.bytes_per_pixel;
        if (memcmp(screen_row, g.pixels + static_cast<size_t>(r) * g.stride, row_bytes) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string screen_read_line(const screen_view& s, const prepared_bitmap* table, int y) {
    std::string text;
    const int w = table[0].width;
    const int h = table[0].height;
    if (w <= 0 || h <= 0 || y < 0 || y + h > s.yres) return text;
    const size_t row_bytes = static_cast<size_t>(w) * s.bytes_per_pixel;
    const size_t pitch = static_cast<size_t>(s.xres) * s.bytes_per_pixel;
    std::unordered_multimap<uint64_t, int> glyphs;
    for (int i = 0; i < FONT_GLYPH_COUNT; ++i) {
        if (table[i].pixels == nullptr || table[i].width != w || table[i].height != h) continue;
        glyphs.emplace(
            cell_hash(table[i].pixels, row_bytes, static_cast<size_t>(table[i].stride), h), i);
    }
    const std::vector<uint8_t> clear(row_bytes * h, 0);
    const uint64_t clear_hash = cell_hash(clear.data(), row_bytes, row_bytes, h);
    for (int x = 0; x + w <= s.xres; x += w) {
        const uint8_t* cell = s.pixels + static_cast<size_t>(y) * pitch + x * row_bytes / w;
        const uint64_t hash = cell_hash(cell, row_bytes, pitch, h);
        char c = '\x01';
        // A cleared cell (zero bytes) reads as a blank even where the space glyph
        // is not all zero bytes (at 32 bits black carries 0xFF in its top byte).
        if (hash == clear_hash) c = ' ';
        const auto range = glyphs.equal_range(hash);
        for (auto it = range.first; it != range.second; ++it) {
            if (cell_matches(s, table[it->second], x, y)) {
                c = static_cast<char>(32 + it->second);
                break;
            }
        }
        text.push_back(c);
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

std::vector<std::string> screen_read_lines(const screen_view& s, const prepared_bitmap* table,
                                           int y0) {
    std::vector<std::string> lines;
    const int h = table[0].height;
    for (int y = y0; h > 0 && y + h <= s.yres; y += h) {
        lines.push_back(screen_read_line(s, table, y));
    }
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

bool load_test_font(prepared_bitmap* table) {
    bmp_image* image = bmp_open(ZQ_MEDIA_DIR "/inconsolata_20px_ffffff.bmp");
    if (image == nullptr) return false;
    prepare_font(image, table);
    bmp_close(image);
    return true;
}

void free_font(prepared_bitmap* table) {
    for (int i = 0; i < FONT_GLYPH_COUNT; ++i) {
        free(table[i].pixels);
        table[i] = prepared_bitmap{};
    }
}
