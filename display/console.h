// The bitmap font and the text console of the recovery program.
#pragma once

#include "prepared_bitmap.h"

struct bmp_image;

constexpr int FONT_GLYPH_COUNT = 95;  // codes 32 (space) to 126 (tilde)
constexpr int FONT_GRID = 10;         // the picture is a 10 x 10 grid of cells

extern const char* const font_20px_file;
extern prepared_bitmap font_20px[FONT_GLYPH_COUNT];
extern int posx;             // left edge of the next glyph
extern int posy;             // top row of the current text line
extern int console_offsetY;  // where text returns when it runs off the bottom

// Cuts the font picture into its 95 glyphs, in the screen's format. Always 0.
int prepare_font(bmp_image* image, prepared_bitmap* table);

// Draws text at the cursor: wraps at the right edge, returns to console_offsetY
// at the bottom, blanks each line as it starts on it. Bytes without a glyph
// draw '?'.
void draw_string(const prepared_bitmap* table, const char* text);
