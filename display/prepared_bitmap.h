// Pictures converted once into the screen's pixel format, and copied to the screen.
#pragma once

#include <cstdint>

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

// Converts the w x h rectangle of image whose top-left pixel is (x0, y0) into
// format, which screen_format_init made from fbvar. A failed allocation, or a
// rectangle of more than BMP_MAX_PIXELS, leaves bitmap empty. At a depth other than
// 16, 24 and 32 bits nothing is converted and stride is left as it was.
void prepare_bitmap_rect(const screen_format* format, const bmp_image* image, int32_t x0,
                         int32_t y0, int32_t w, int32_t h, prepared_bitmap* bitmap);

// Copies bitmap to the screen with its top-left pixel at (x, y), clipped on all
// four sides to the screen and the mapping.
void draw_prepared_bitmap(const prepared_bitmap* bitmap, int x, int y);
