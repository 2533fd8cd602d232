// Pictures converted once into the screen's pixel format, and copied to the screen.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct bmp_image;
struct screen_format;

struct prepared_bitmap {
    int width;
    int height;
    int stride;       // bytes per row of pixels
    uint8_t* pixels;  // height * stride bytes, rows top to bottom; owned (malloc)
};

// Converts the whole image into bitmap for the screen described by fbvar. Always 0.
int prepare_bitmap(bmp_image* image, prepared_bitmap* bitmap);

// How one picture's stored pixels become one screen's, decided once per
// picture: a road of its own where the picture's depth and the screen's
// format have one (8 bits into any screen; 24 bits, and 32 bits with the
// usual masks, into the usual 32- and 16-bit screens), else the general road
// (the reader's colours, then the format's writer).
struct bitmap_conversion {
    const screen_format* format;
    // One row of w stored pixels into w screen pixels; null: the general road.
    void (*convert_row)(const uint8_t* in, size_t w, const uint32_t* table, uint8_t* out);
    int32_t stored_bytes;  // bytes of a stored pixel on a road of its own
    uint32_t table[256];   // 8 bits: each colour's screen pixel, its bytes first in the word
};

void bitmap_conversion_init(bitmap_conversion* conversion, const screen_format* format,
                            const bmp_image* image);

// prepare_bitmap_rect with a conversion already made for image.
void prepare_converted_rect(const bitmap_conversion* conversion, const bmp_image* image, int32_t x0,
                            int32_t y0, int32_t w, int32_t h, prepared_bitmap* bitmap);

// Converts the w x h rectangle of image whose top-left pixel is (x0, y0) into
// format, which screen_format_init made from fbvar. A failed allocation, or a
// rectangle of more than BMP_MAX_PIXELS, leaves bitmap empty. At a depth other than
// 16, 24 and 32 bits nothing is converted and stride is left as it was.
void prepare_bitmap_rect(const screen_format* format, const bmp_image* image, int32_t x0,
                         int32_t y0, int32_t w, int32_t h, prepared_bitmap* bitmap);

// Copies bitmap to the screen with its top-left pixel at (x, y), clipped on all
// four sides to the screen and the mapping.
void draw_prepared_bitmap(const prepared_bitmap* bitmap, int x, int y);
