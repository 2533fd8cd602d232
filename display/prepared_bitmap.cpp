#include "prepared_bitmap.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bmplib.h"
#include "framebuffer.h"
#include "screen_format.h"

namespace {

constexpr int32_t SPAN_PIXELS = 256;

// The rectangle of an 8-bit picture: its 256 colours converted to screen
// pixels once, then each pixel is one lookup and one store.
void prepare_indexed(const screen_format* format, const bmp_image* image, int32_t x0, int32_t y0,
                     int32_t w, int32_t h, uint8_t* pixels) {
    alignas(4) uint8_t table[256 * 4];
    format->write(format, bmp_colour_table(image), 256, table);
    const int32_t bpp = format->bytes_per_pixel;
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* in = bmp_stored_row(image, y0 + y) + x0;
        uint8_t* out = pixels + static_cast<ptrdiff_t>(y) * w * bpp;
        // One constant-size copy a pixel, chosen once per row.
        switch (bpp) {
            case 4:
                for (int32_t x = 0; x < w; ++x, out += 4) memcpy(out, table + 4 * in[x], 4);
                break;
            case 2:
                for (int32_t x = 0; x < w; ++x, out += 2) memcpy(out, table + 2 * in[x], 2);
                break;
            default:
                for (int32_t x = 0; x < w; ++x, out += 3) memcpy(out, table + 3 * in[x], 3);
                break;
        }
    }
}

// The rectangle of a 24-bit picture into the usual 32-bit screen (blue,
// green, red, 0xFF from the lowest byte): the stored bytes and one more.
void prepare_bgr_to_bgrx(const bmp_image* image, int32_t x0, int32_t y0, int32_t w, int32_t h,
                         uint8_t* pixels) {
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* in = bmp_stored_row(image, y0 + y) + 3 * static_cast<ptrdiff_t>(x0);
        uint8_t* out = pixels + static_cast<ptrdiff_t>(y) * w * 4;
        for (int32_t x = 0; x < w; ++x, in += 3, out += 4) {
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
            out[3] = 0xFF;
        }
    }
}

// Converts the rectangle with the road decided once for the picture's depth
// and the screen's format; false, with nothing written, where only the
// general road (reader spans, then the format's writer) applies, as for a
// rectangle that reaches past the picture.
bool prepare_direct(const screen_format* format, const bmp_image* image, int32_t x0, int32_t y0,
                    int32_t w, int32_t h, uint8_t* pixels) {
    if (x0 < 0 || y0 < 0 || int64_t{x0} + w > bmp_width(image) ||
        int64_t{y0} + h > bmp_height(image)) {
        return false;
    }
    bmp_info info;
    bmp_describe(image, &info);
    if (info.bit_count == 8) {
        prepare_indexed(format, image, x0, y0, w, h, pixels);
        return true;
    }
    const bool bgrx = format->bytes_per_pixel == 4 && format->red_offset == 16 &&
                      format->green_offset == 8 && format->blue_offset == 0;
    if (info.bit_count == 24 && bgrx) {
        prepare_bgr_to_bgrx(image, x0, y0, w, h, pixels);
        return true;
    }
    return false;
}

}  // namespace

void prepare_bitmap_rect(const screen_format* format, const bmp_image* image, int32_t x0,
                         int32_t y0, int32_t w, int32_t h, prepared_bitmap* bitmap) {
    // No larger than a picture the reader opens, checked in 64 bits: on a
    // 32-bit target w * h * Bpp would wrap size_t.
    const int64_t bpp = fbvar.bits_per_pixel / 8;
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
    if (prepare_direct(format, image, x0, y0, w, h, pixels)) return;
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
