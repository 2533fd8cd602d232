// What the device makes of a set of media: the six files the programs load
// from /ZQ/media, checked (check) or drawn (preview) with the programs' own
// reader, conversion and drawing code on an in-memory screen.
#pragma once

#include "memory_screen.h"

// "800x480x32" -> screen; -1 when it is not of that form or the depth is not 16, 24 or 32.
int parse_screen(const char* text, screen_geometry* screen);
// One geometry option and its value, after the size:
//   --pitch BYTES     bytes from a row to the next (the driver's line_length)
//   --offset X,Y      where the visible screen starts in the virtual one
//   --order ORDER     the bytes of a pixel in memory order, e.g. RGBX, XBGR, BGR
// 0, or -1 after a message on standard error that says what is wrong.
int parse_screen_option(const char* name, const char* value, screen_geometry* screen);

struct check_options {
    bool strict = false;         // warnings fail the run
    const char* tree = nullptr;  // an update tree whose progress lines are measured
    bool json = false;           // one JSON document of the findings instead of lines
};

// One line per finding on standard output, then a summary line; 0 when both
// display programs would start, 1 when one would not (a file it needs does
// not load) or, with strict, when there is any warning.
int media_check(const char* media_dir, const screen_geometry& screen, const check_options& options);

// PNG pictures of what the device shows, written to out_dir; 0, or 1 when a
// program would not start (what it would show is then left out).
int media_preview(const char* media_dir, const screen_geometry& screen, const char* out_dir);
