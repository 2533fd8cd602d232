// BMP picture reader: loads a whole Windows BMP file at open and answers any
// pixel as 0xRRGGBB.
#pragma once

#include <stdint.h>

struct bmp_image;

// Largest picture the reader accepts, in pixels (64 MiB as 32-bit colours).
// Larger pictures, and stored pixel data above BMP_MAX_BYTES, fail the open.
constexpr int64_t BMP_MAX_PIXELS = int64_t{1} << 24;
constexpr int64_t BMP_MAX_BYTES = int64_t{64} << 20;

// Returns a fully decoded picture, or null on any failure. No file stays open.
bmp_image* bmp_open(const char* path);
// bmp_open that also tells why a picture is refused: *why is the reason in
// plain words, or null when the file could not be opened (errno tells why).
bmp_image* bmp_open_explained(const char* path, const char** why);

// Width and height in pixels; the height is the row count, also for top-down pictures.
int32_t bmp_width(const bmp_image* image);
int32_t bmp_height(const bmp_image* image);

// Colour 0xRRGGBB of pixel (x, y), y = 0 the top row. Outside the picture: 0.
uint32_t bmp_getpixel(const bmp_image* image, int32_t x, int32_t y);

// Colours of count pixels of row y from column x on, into out: the same values
// as bmp_getpixel, decoded with the per-depth row reader: the pixels inside
// the picture, and zeros for the columns (or a row) outside it.
void bmp_getspan(const bmp_image* image, int32_t x, int32_t y, int32_t count, uint32_t* out);

void bmp_close(bmp_image* image);

// A picture read without conversion: row y as stored (y = 0 the top row;
// an RLE8 picture's rows decoded to indices), null for a row outside the
// picture; and the 256 colours an index of a 1-, 4- or 8-bit picture selects,
// as 0xRRGGBB (entries past the file's table black).
const uint8_t* bmp_stored_row(const bmp_image* image, int32_t y);
const uint32_t* bmp_colour_table(const bmp_image* image);

// What the header said and the reader made of it.
struct bmp_info {
    int16_t bit_count;
    uint32_t compression;
    bool top_down;          // rows stored top row first (negative height)
    int32_t stride;         // bytes per stored row
    int32_t palette_count;  // 4-byte entries in the palette area
    // The channel masks of 16- and 32-bit pictures: trailing zero bits of the
    // mask (32 for a zero mask) and bit positions from its lowest to highest set bit.
    int32_t red_shift, green_shift, blue_shift;
    int32_t red_length, green_length, blue_length;
};

void bmp_describe(const bmp_image* image, bmp_info* info);
