// The screen's pixel format, decided once from fbvar: how a run of 0xRRGGBB
// colours becomes screen bytes.
#pragma once

#include <linux/fb.h>

#include <cstdint>

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
