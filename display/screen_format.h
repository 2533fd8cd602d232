// The screen's pixel format, decided once from fbvar: how a run of 0xRRGGBB
// colours becomes screen bytes.
#pragma once

#include <linux/fb.h>
#include <stdint.h>

struct screen_format;

// The two layouts most screens have, which the picture loader converts to
// without a colour word between.
enum screen_kind {
    SCREEN_OTHER,
    SCREEN_XRGB32,  // 32 bits: blue, green, red, unused from the lowest byte
    SCREEN_RGB565,  // 16 bits: red 11-15, green 5-10, blue 0-4
};
using screen_span_writer = void (*)(const screen_format* format, const uint32_t* colours,
                                    int32_t count, uint8_t* out);

struct screen_format {
    int32_t bytes_per_pixel;   // 4, 3 or 2; 0 at an unsupported depth (nothing is converted)
    int32_t buffer_bytes_per_pixel;  // bits_per_pixel / 8: what a picture's buffer is sized by
    screen_span_writer write;  // null at an unsupported depth
    screen_kind kind;
    // Bit offsets of red, green and blue in a pixel. At 24 and 32 bits the
    // reported ones when each channel is 8 bits wide at its own byte, else
    // 16, 8 and 0; at 16 bits the reported bit fields'.
    uint32_t red_offset;
    uint32_t green_offset;
    uint32_t blue_offset;
    uint32_t unused_bits;  // 32 bits: the bits no channel uses, all set in every pixel
    // 16 bits: each channel's 8-bit value already placed in its bit field.
    uint16_t red16[256];
    uint16_t green16[256];
    uint16_t blue16[256];
};

void screen_format_init(screen_format* format, const fb_var_screeninfo* var);

// A 0xRRGGBB colour (bits 24-31 clear) as a pixel of the usual 32-bit screen.
inline uint32_t screen_xrgb32(uint32_t colour) {
    return 0xFF000000u | colour;
}

// A colour as a pixel of the usual 16-bit screen: 5-6-5, each channel cut to
// its top bits; bits 24-31 are ignored. Red (bits 19-23) and blue (3-7) move
// together: times 33 adds a copy 5 bits up, which puts blue's at 8-12 beside
// red's at 19-23 with nothing carried into either; then both move down 8.
inline uint16_t screen_rgb565(uint32_t colour) {
    const uint32_t red_blue = (colour & 0xF800F8u) * 33u;
    return static_cast<uint16_t>(((red_blue >> 8) & 0xF81Fu) | ((colour >> 5) & 0x07E0u));
}
