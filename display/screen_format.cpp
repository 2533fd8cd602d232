#include "screen_format.h"

#include <stddef.h>
#include <string.h>

namespace {

void write_32bpp(const screen_format* /*format*/, const uint32_t* __restrict colours, int32_t count,
                 uint8_t* __restrict out) {
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t word = screen_xrgb32(colours[i]);
        memcpy(out + 4 * static_cast<ptrdiff_t>(i), &word, 4);
    }
}

// Any other byte order of the three channels.
void write_32bpp_channels(const screen_format* format, const uint32_t* __restrict colours,
                          int32_t count, uint8_t* __restrict out) {
    const uint32_t r = format->red_offset;
    const uint32_t g = format->green_offset;
    const uint32_t b = format->blue_offset;
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t c = colours[i];
        const uint32_t word = format->unused_bits | (((c >> 16) & 0xFFu) << r) |
                              (((c >> 8) & 0xFFu) << g) | ((c & 0xFFu) << b);
        memcpy(out + 4 * static_cast<ptrdiff_t>(i), &word, 4);
    }
}

void write_24bpp_channels(const screen_format* format, const uint32_t* __restrict colours,
                          int32_t count, uint8_t* __restrict out) {
    const uint32_t r = format->red_offset / 8;
    const uint32_t g = format->green_offset / 8;
    const uint32_t b = format->blue_offset / 8;
    for (int32_t i = 0; i < count; ++i, out += 3) {
        out[r] = static_cast<uint8_t>(colours[i] >> 16);
        out[g] = static_cast<uint8_t>(colours[i] >> 8);
        out[b] = static_cast<uint8_t>(colours[i]);
    }
}

void write_24bpp(const screen_format* /*format*/, const uint32_t* __restrict colours, int32_t count,
                 uint8_t* __restrict out) {
    for (int32_t i = 0; i < count; ++i, out += 3) {
        out[0] = static_cast<uint8_t>(colours[i]);
        out[1] = static_cast<uint8_t>(colours[i] >> 8);
        out[2] = static_cast<uint8_t>(colours[i] >> 16);
    }
}

void write_16bpp(const screen_format* format, const uint32_t* __restrict colours, int32_t count,
                 uint8_t* __restrict out) {
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t c = colours[i];
        const uint16_t word =
            static_cast<uint16_t>(format->red16[(c >> 16) & 0xFF] |
                                  format->green16[(c >> 8) & 0xFF] | format->blue16[c & 0xFF]);
        memcpy(out + 2 * static_cast<ptrdiff_t>(i), &word, 2);
    }
}

// The usual 5-6-5 layout, by arithmetic rather than tables so that it vectorises.
void write_16bpp_rgb565(const screen_format* /*format*/, const uint32_t* __restrict colours,
                        int32_t count, uint8_t* __restrict out) {
    for (int32_t i = 0; i < count; ++i) {
        const uint16_t word = screen_rgb565(colours[i]);
        memcpy(out + 2 * static_cast<ptrdiff_t>(i), &word, 2);
    }
}

// Each of red, green and blue 8 bits wide on a byte of its own within the pixel.
bool has_byte_channels(const fb_var_screeninfo* var) {
    const fb_bitfield* fields[] = {&var->red, &var->green, &var->blue};
    uint32_t used = 0;
    for (const fb_bitfield* f : fields) {
        if (f->length != 8 || f->offset % 8 != 0 || f->offset + 8 > var->bits_per_pixel)
            return false;
        used |= 1u << (f->offset / 8);
    }
    return __builtin_popcount(used) == 3;  // three distinct bytes
}

// Red, green and blue where has_byte_channels found them, else at 16, 8 and 0.
void place_byte_channels(screen_format* format, const fb_var_screeninfo* var) {
    const bool reported = has_byte_channels(var);
    format->red_offset = reported ? var->red.offset : 16;
    format->green_offset = reported ? var->green.offset : 8;
    format->blue_offset = reported ? var->blue.offset : 0;
}

bool is_bgr(const screen_format* format) {
    return format->red_offset == 16 && format->green_offset == 8 && format->blue_offset == 0;
}

bool is_rgb565(const fb_var_screeninfo* var) {
    return var->red.offset == 11 && var->red.length == 5 && var->green.offset == 5 &&
           var->green.length == 6 && var->blue.offset == 0 && var->blue.length == 5;
}

// term = (c >> (8 - length)) << offset, cut to 16 bits; 0 for a length of 0 or above 8.
void fill_channel(uint16_t* table, const fb_bitfield& field) {
    for (uint32_t c = 0; c < 256; ++c) {
        uint32_t term = 0;
        if (field.length >= 1 && field.length <= 8 && field.offset < 16) {
            term = (c >> (8 - field.length)) << field.offset;
        }
        table[c] = static_cast<uint16_t>(term);
    }
}

}  // namespace

void screen_format_init(screen_format* format, const fb_var_screeninfo* var) {
    memset(format, 0, sizeof *format);
    format->buffer_bytes_per_pixel = static_cast<int32_t>(var->bits_per_pixel / 8);
    switch (var->bits_per_pixel) {
        case 32:
            format->bytes_per_pixel = 4;
            place_byte_channels(format, var);
            format->write = is_bgr(format) ? write_32bpp : write_32bpp_channels;
            format->kind = is_bgr(format) ? SCREEN_XRGB32 : SCREEN_OTHER;
            format->unused_bits =
                ~((0xFFu << format->red_offset) | (0xFFu << format->green_offset) |
                  (0xFFu << format->blue_offset));
            break;
        case 24:
            format->bytes_per_pixel = 3;
            place_byte_channels(format, var);
            format->write = is_bgr(format) ? write_24bpp : write_24bpp_channels;
            break;
        case 16: {
            // A driver that reports no colour fields gets the usual layout, as at 24 and 32 bits.
            fb_var_screeninfo fields = *var;
            if (var->red.length == 0 && var->green.length == 0 && var->blue.length == 0) {
                fields.red = fb_bitfield{11, 5, 0};
                fields.green = fb_bitfield{5, 6, 0};
                fields.blue = fb_bitfield{0, 5, 0};
            }
            format->bytes_per_pixel = 2;
            format->red_offset = fields.red.offset;
            format->green_offset = fields.green.offset;
            format->blue_offset = fields.blue.offset;
            format->write = is_rgb565(&fields) ? write_16bpp_rgb565 : write_16bpp;
            format->kind = is_rgb565(&fields) ? SCREEN_RGB565 : SCREEN_OTHER;
            fill_channel(format->red16, fields.red);
            fill_channel(format->green16, fields.green);
            fill_channel(format->blue16, fields.blue);
            break;
        }
        default:
            break;
    }
}
