#include "console.h"

#include <stdint.h>
#include <string.h>

#include "bmplib.h"
#include "framebuffer.h"
#include "screen_format.h"

const char* const font_20px_file = "/ZQ/media/inconsolata_20px_ffffff.bmp";
prepared_bitmap font_20px[FONT_GLYPH_COUNT];
int posx = 0;
int posy = 0;
int console_offsetY = 0;

namespace {

constexpr unsigned char FIRST_GLYPH = 32;
constexpr unsigned char LAST_GLYPH = 126;
constexpr unsigned char SUBSTITUTE = '?';

// Blanks the h rows from row y across the visible width, within the screen.
void clear_band(int64_t y, int64_t h) {
    const screen_layout screen = fb_layout();
    if (screen.origin == nullptr) return;
    const int64_t first = y < 0 ? 0 : y;
    const int64_t end = y + h < screen.height ? y + h : screen.height;
    const auto row_bytes = static_cast<size_t>(screen.width * screen.bytes_per_pixel);
    for (int64_t row = first; row < end; ++row)
        memset(screen.origin + row * screen.pitch, 0, row_bytes);
}

}  // namespace

int prepare_font(bmp_image* image, prepared_bitmap* table) {
    const int32_t cw = bmp_width(image) / FONT_GRID;
    const int32_t ch = bmp_height(image) / FONT_GRID;
    screen_format format;
    screen_format_init(&format, &fbvar);
    bitmap_conversion conversion;
    bitmap_conversion_init(&conversion, &format, image);
    for (int i = 0; i < FONT_GLYPH_COUNT; ++i) {
        prepare_converted_rect(&conversion, image, (i % FONT_GRID) * cw, (i / FONT_GRID) * ch, cw,
                               ch, &table[i]);
    }
    return 0;
}

void draw_string(const prepared_bitmap* table, const char* text) {
    const int h = table[0].height;
    const int xres = static_cast<int>(fbvar.xres);
    const int yres = static_cast<int>(fbvar.yres);
    // A top line that would put a line past the bottom is moved up to fit.
    int top = console_offsetY;
    if (top > yres - h) top = yres - h;
    if (top < 0) top = 0;

    for (const char* p = text; *p != '\0'; ++p) {
        const auto b = static_cast<unsigned char>(*p);
        if (b == '\r') {
            posx = 0;
            continue;
        }
        if (b == '\n') {
            if (posy <= yres) posy += h;  // past the bottom it stays there
            posx = 0;
            continue;
        }
        const bool has_glyph = b >= FIRST_GLYPH && b <= LAST_GLYPH;
        const prepared_bitmap* g = &table[(has_glyph ? b : SUBSTITUTE) - FIRST_GLYPH];
        // In 64 bits: a cursor set anywhere in int's range cannot overflow.
        if (int64_t{posx} + g->width > xres) {
            posx = 0;
            const int64_t below = int64_t{posy} + g->height;
            posy = below < INT32_MAX ? static_cast<int>(below) : INT32_MAX;
        }
        if (int64_t{posy} + g->height > yres) posy = top;
        if (posx == 0) clear_band(posy, h);
        draw_prepared_bitmap(g, posx, posy);
        posx += g->width;
    }
}
