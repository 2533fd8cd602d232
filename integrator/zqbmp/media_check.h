// What the device makes of a set of media: the six files the programs load
// from /ZQ/media, checked (check) or drawn (preview) with the programs' own
// reader, conversion and drawing code on an in-memory screen.
#pragma once

struct screen_size {
    int width;
    int height;
    int bits;  // 16 (5-6-5), 24 or 32 (8-8-8, red at 16, green at 8, blue at 0)
};

// "800x480x32" -> screen; -1 when it is not of that form or the depth is not 16, 24 or 32.
int parse_screen(const char* text, screen_size* screen);

// One line per finding on standard output; 0 when both display programs would
// start, 1 when one would not (a file it needs does not load).
int media_check(const char* media_dir, const screen_size& screen);

// PNG pictures of what the device shows, written to out_dir; 0, or 1 when a
// program would not start (what it would show is then left out).
int media_preview(const char* media_dir, const screen_size& screen, const char* out_dir);
