#include "prepared_bitmap.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "bmplib.h"
#include "framebuffer.h"
#include "screen_format.h"

namespace {

constexpr int32_t SPAN_PIXELS = 256;
// The word roads below read a stored pixel as a little-endian word.
constexpr bool LITTLE_ENDIAN_WORDS = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

using row_converter = decltype(bitmap_conversion::convert_row);

// CPUs that load and store words at any address (x86, ARMv6 and later).
#if defined(__ARM_ARCH) && !defined(__ARM_FEATURE_UNALIGNED)
constexpr bool UNALIGNED_WORDS = false;
#else
constexpr bool UNALIGNED_WORDS = true;
#endif

// p, which the callers keep aligned to n bytes: the prepared rows (from
// malloc, w * Bpp bytes apart) and the reader's stored rows (from malloc, a
// multiple of 4 bytes apart). Without the promise ARMv5, which has no
// unaligned word access, would move each word a byte at a time; elsewhere it
// would only keep the compiler from its vector code.
template <size_t N, typename T>
inline T* aligned(T* p) {
    if constexpr (UNALIGNED_WORDS) return p;
    return static_cast<T*>(__builtin_assume_aligned(p, N));
}
inline void store32(uint8_t* p, uint32_t v) {
    memcpy(aligned<4>(p), &v, 4);
}
inline void store16(uint8_t* p, uint16_t v) {
    memcpy(aligned<2>(p), &v, 2);
}
inline uint32_t load32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, aligned<4>(p), 4);
    return v;
}

// 8 bits: one lookup and one store a pixel.
void index8_to_4(const uint8_t* in, size_t w, const uint32_t* table, uint8_t* out) {
#pragma GCC unroll 8
    for (size_t x = 0; x < w; ++x) store32(out + 4 * x, table[in[x]]);
}

void index8_to_3(const uint8_t* in, size_t w, const uint32_t* table, uint8_t* out) {
#pragma GCC unroll 8
    for (size_t x = 0; x < w; ++x) memcpy(out + 3 * x, &table[in[x]], 3);
}

void index8_to_2(const uint8_t* in, size_t w, const uint32_t* table, uint8_t* out) {
#pragma GCC unroll 8
    for (size_t x = 0; x < w; ++x) {
        // The entry's first two bytes.
        const uint32_t entry = table[in[x]];
        store16(out + 2 * x, static_cast<uint16_t>(LITTLE_ENDIAN_WORDS ? entry : entry >> 16));
    }
}

// 24 bits, the colour of the pixel whose bytes start at p.
uint32_t bgr24_at(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16);
}

// PUT stores a colour's pixel; with its opaque bits as an operand (a register,
// not a constant the compiler would fold into one more instruction a pixel).
void put_xrgb32(uint8_t* out, uint32_t colour, uint32_t opaque) {
    store32(out, opaque | colour);
}
void put_rgb565(uint8_t* out, uint32_t colour, uint32_t /*opaque*/) {
    store16(out, screen_rgb565(colour));
}

// A 24-bit row. Where words load from any address, each pixel but the last
// is the word at its first byte (the fourth byte is the next pixel's); else
// four pixels are three aligned words (b g r b, g r b g, r b g r), from the
// first pixel whose bytes start on a word. The pixels around them are read
// byte by byte; no read leaves the row. PUT gets each colour in bits 0-23;
// bits 24-31 may hold another pixel's byte, which both screens' pixels drop.
template <size_t BYTES, void (*PUT)(uint8_t*, uint32_t, uint32_t)>
void bgr24_row(const uint8_t* in, size_t w, const uint32_t* /*table*/, uint8_t* out) {
    uint32_t opaque = 0xFF000000u;
    const uint8_t* end = in + 3 * w;
    if constexpr (UNALIGNED_WORDS) {
        const size_t words = w > 0 ? w - 1 : 0;
#pragma GCC unroll 8
        for (size_t x = 0; x < words; ++x) {
            uint32_t v;
            memcpy(&v, in + 3 * x, 4);  // bytes 3x .. 3x + 3 < 3w
            PUT(out + BYTES * x, v, opaque);
        }
        in += 3 * words;
        out += BYTES * words;
    } else {
        __asm__("" : "+r"(opaque));  // an operand, not one more instruction a pixel
        for (; in < end && (reinterpret_cast<uintptr_t>(in) & 3u) != 0; in += 3, out += BYTES) {
            PUT(out, bgr24_at(in), opaque);
        }
        const uint8_t* quads_end = in + static_cast<size_t>(end - in) / 12 * 12;
#pragma GCC unroll 2
        for (; in < quads_end; in += 12, out += 4 * BYTES) {
            uint32_t word[3];
            memcpy(word, aligned<4>(in), 12);
            PUT(out, word[0], opaque);
            PUT(out + BYTES, (word[0] >> 24) | (word[1] << 8), opaque);
            PUT(out + 2 * BYTES, (word[1] >> 16) | (word[2] << 16), opaque);
            PUT(out + 3 * BYTES, word[2] >> 8, opaque);
        }
    }
    for (; in < end; in += 3, out += BYTES) PUT(out, bgr24_at(in), opaque);
}
constexpr auto bgr24_to_xrgb32 = bgr24_row<4, put_xrgb32>;
constexpr auto bgr24_to_rgb565 = bgr24_row<2, put_rgb565>;

// 32 bits whose masks are 0xFF0000, 0xFF00 and 0xFF: the colour is the low three bytes.
void xrgb32_to_xrgb32(const uint8_t* in, size_t w, const uint32_t* /*table*/, uint8_t* out) {
#pragma GCC unroll 8
    for (size_t x = 0; x < w; ++x)
        store32(out + 4 * x, screen_xrgb32(load32(in + 4 * x) & 0xFFFFFFu));
}

void xrgb32_to_rgb565(const uint8_t* in, size_t w, const uint32_t* /*table*/, uint8_t* out) {
#pragma GCC unroll 8
    for (size_t x = 0; x < w; ++x) store16(out + 2 * x, screen_rgb565(load32(in + 4 * x)));
}

// The road for the picture's depth and the screen's format, decided once per
// picture; null where only the general road (reader spans, then the format's
// writer) applies.
row_converter choose_road(const screen_format* format, const bmp_info& info) {
    const int32_t bpp = format->bytes_per_pixel;
    if (info.bit_count == 8) {
        return bpp == 4 ? index8_to_4 : bpp == 3 ? index8_to_3 : index8_to_2;
    }
    const bool xrgb_picture =
        info.bit_count == 24 ||
        (info.bit_count == 32 && info.red_shift == 16 && info.green_shift == 8 &&
         info.blue_shift == 0 && info.red_length == 8 && info.green_length == 8 &&
         info.blue_length == 8);
    if (!LITTLE_ENDIAN_WORDS || !xrgb_picture) return nullptr;
    if (format->kind == SCREEN_XRGB32) {
        return info.bit_count == 24 ? bgr24_to_xrgb32 : xrgb32_to_xrgb32;
    }
    if (format->kind == SCREEN_RGB565) {
        return info.bit_count == 24 ? bgr24_to_rgb565 : xrgb32_to_rgb565;
    }
    return nullptr;
}

}  // namespace

void bitmap_conversion_init(bitmap_conversion* conversion, const screen_format* format,
                            const bmp_image* image) {
    bmp_info info;
    bmp_describe(image, &info);
    conversion->format = format;
    conversion->convert_row = format->write != nullptr ? choose_road(format, info) : nullptr;
    conversion->stored_bytes = info.bit_count / 8;
    // An 8-bit picture's colours as screen pixels, each entry a word apart
    // whatever the screen's depth.
    memset(conversion->table, 0, sizeof conversion->table);
    if (info.bit_count == 8 && conversion->convert_row != nullptr) {
        const auto bpp = static_cast<size_t>(format->bytes_per_pixel);
        uint8_t packed[256 * 4];
        format->write(format, bmp_colour_table(image), 256, packed);
        for (size_t i = 0; i < 256; ++i) memcpy(&conversion->table[i], packed + bpp * i, bpp);
    }
}

void prepare_converted_rect(const bitmap_conversion* conversion, const bmp_image* image, int32_t x0,
                            int32_t y0, int32_t w, int32_t h, prepared_bitmap* bitmap) {
    const screen_format* format = conversion->format;
    // No larger than a picture the reader opens, checked in 64 bits: on a
    // 32-bit target w * h * Bpp would wrap size_t.
    const int64_t bpp = format->buffer_bytes_per_pixel;
    const int64_t bytes = int64_t{w} * h * bpp;
    const bool fits = w > 0 && h > 0 && bpp > 0 && int64_t{w} * h <= BMP_MAX_PIXELS;
    auto* pixels = static_cast<uint8_t*>(fits ? malloc(static_cast<size_t>(bytes)) : nullptr);
    if (pixels == nullptr) {
        *bitmap = prepared_bitmap{0, 0, 0, nullptr};
        return;
    }
    bitmap->pixels = pixels;
    bitmap->width = w;
    bitmap->height = h;
    if (format->write == nullptr) return;

    const int32_t stride = w * format->bytes_per_pixel;
    bitmap->stride = stride;
    const bool inside = x0 >= 0 && y0 >= 0 && int64_t{x0} + w <= bmp_width(image) &&
                        int64_t{y0} + h <= bmp_height(image);
    if (conversion->convert_row != nullptr && inside) {
        const ptrdiff_t in_offset = static_cast<ptrdiff_t>(x0) * conversion->stored_bytes;
        for (int32_t y = 0; y < h; ++y) {
            conversion->convert_row(bmp_stored_row(image, y0 + y) + in_offset,
                                    static_cast<size_t>(w), conversion->table,
                                    pixels + static_cast<ptrdiff_t>(y) * stride);
        }
        return;
    }
    // The general road, also for a rectangle that reaches past the picture.
    uint32_t colours[SPAN_PIXELS];
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = pixels + static_cast<ptrdiff_t>(y) * stride;
        for (int32_t x = 0; x < w; x += SPAN_PIXELS) {
            const int32_t n = w - x < SPAN_PIXELS ? w - x : SPAN_PIXELS;
            bmp_getspan(image, x0 + x, y0 + y, n, colours);
            format->write(format, colours, n,
                          row + static_cast<ptrdiff_t>(x) * format->bytes_per_pixel);
        }
    }
}

void prepare_bitmap_rect(const screen_format* format, const bmp_image* image, int32_t x0,
                         int32_t y0, int32_t w, int32_t h, prepared_bitmap* bitmap) {
    bitmap_conversion conversion;
    bitmap_conversion_init(&conversion, format, image);
    prepare_converted_rect(&conversion, image, x0, y0, w, h, bitmap);
}

int prepare_bitmap(bmp_image* image, prepared_bitmap* bitmap) {
    screen_format format;
    screen_format_init(&format, &fbvar);
    prepare_bitmap_rect(&format, image, 0, 0, bmp_width(image), bmp_height(image), bitmap);
    return 0;
}

void draw_prepared_bitmap(const prepared_bitmap* bitmap, int x, int y) {
    const screen_layout screen = fb_layout();
    const int64_t bpp = screen.bytes_per_pixel;
    if (screen.origin == nullptr || bitmap->pixels == nullptr || bitmap->stride <= 0) return;

    // Source columns and rows that land on the screen.
    const int64_t width =
        bitmap->stride / bpp < bitmap->width ? bitmap->stride / bpp : bitmap->width;
    const int64_t left = x < 0 ? -static_cast<int64_t>(x) : 0;
    const int64_t top = y < 0 ? -static_cast<int64_t>(y) : 0;
    int64_t right = width;
    if (right > screen.width - x) right = screen.width - x;
    int64_t bottom = bitmap->height;
    if (bottom > screen.height - y) bottom = screen.height - y;
    if (left >= right || top >= bottom) return;

    const size_t n = static_cast<size_t>((right - left) * bpp);
    for (int64_t row = top; row < bottom; ++row) {
        const uint8_t* src = bitmap->pixels + row * bitmap->stride + left * bpp;
        uint8_t* dst = screen.origin + (y + row) * screen.pitch + (x + left) * bpp;
        memcpy(dst, src, n);
    }
}
