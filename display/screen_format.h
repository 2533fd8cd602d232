// The screen's pixel format, decided once from fbvar: how a run of 0xRRGGBB
// colours becomes screen bytes.
#pragma once

#include <linux/fb.h>

#include <cstdint>

struct screen_format;
using screen_span_writer = void (*)(const screen_format* format, const uint32_t* colours,
                                    int32_t count, uint8_t* out);

struct screen_format {
    int32_t bytes_per_pixel;   // 4, 3 or 2; 0 at an unsupported depth (nothing is converted)
    screen_span_writer write;  // null at an unsupported depth
    // 16 bits: each channel's 8-bit value already placed in its bit field.
    uint16_t red16[256];
    uint16_t green16[256];
    uint16_t blue16[256];
};

void screen_format_init(screen_format* format, const fb_var_screeninfo* var);
