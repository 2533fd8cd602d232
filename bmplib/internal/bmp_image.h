// The decoded picture record behind the opaque bmp_image of bmplib.h.
#pragma once

#include <stdint.h>

#include "bmplib.h"

using bmp_span_reader = void (*)(const bmp_image* image, const uint8_t* row, int32_t x,
                                 int32_t count, uint32_t* out);

struct bmp_image {
    // Header bytes at file offsets 2 to 53, in file order.
    uint32_t file_size;
    uint16_t reserved1;
    uint16_t reserved2;
    int32_t data_offset;
    uint32_t header_size;
    int32_t width;
    int32_t height;  // row count once opened; top_down tells the stored order
    uint16_t planes;
    int16_t bit_count;
    uint32_t compression;
    uint32_t image_size;
    int32_t x_pixels_per_meter;
    int32_t y_pixels_per_meter;
    uint32_t colors_used;
    uint32_t colors_important;

    // Derived.
    int32_t palette_count;  // 4-byte entries in palette
    int32_t stride;         // bytes per stored row
    uint8_t* palette;       // palette area as read, or the three built-in masks
    uint8_t* pixels;        // stride * height bytes
    uint32_t pixels_size;
    uint8_t* rle_data;  // compressed data (RLE8 only)
    uint32_t rle_size;
    bmp_span_reader read_span;
    // The masks as the format describes them: shift = trailing zero bits (32
    // for a zero mask), length = lowest to highest set bit. The readers use
    // the *_rshift / *_lshift below, which fold in the 8-bit rule.
    int32_t blue_length;
    int32_t green_length;
    int32_t red_length;
    int32_t blue_shift;
    int32_t green_shift;
    int32_t red_shift;

    bool top_down;
    // Row address of picture row y: first_row + y * row_step.
    const uint8_t* first_row;
    int32_t row_step;
    // Indexed depths: colour of every index, 0 past the palette read.
    uint32_t colors[256];
    // Mask depths, as the readers apply them: per channel the mask (0 when the
    // channel reads 0), then the right and left shifts that move it to 8 bits.
    uint32_t red_mask, green_mask, blue_mask;
    uint32_t red_rshift, green_rshift, blue_rshift;
    uint32_t red_lshift, green_lshift, blue_lshift;
};
