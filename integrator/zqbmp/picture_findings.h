// What a designer gets wrong in a picture, beyond whether it loads: why a
// file does not load in words a designer acts on, an alpha channel the device
// ignores, colours a 16-bit screen loses, and a font grid one cell off.
#pragma once

#include <cstdint>
#include <string>

#include "prepared_bitmap.h"

struct bmp_image;

// Why the file at path does not load, given the reader's reason: an empty
// file, or a 16- or 32-bit uncompressed picture whose longer information
// header the reader takes for a colour table (with the fix), else the reason.
std::string picture_load_problem(const char* path, const char* reason);

// An error (printed, prefixed with name) when the file holds fewer rows than
// its header says, naming the rows it lacks (counted from the top); the count.
int picture_check_truncation(const std::string& name, const char* path, const bmp_image* image);

// Warnings (printed, each prefixed with name) about a 32-bit picture's alpha
// channel; the count.
int picture_check_alpha(const std::string& name, const char* path);

// Warnings about the colours a 16-bit screen merges, keeping the bits of a
// 0xRRGGBB colour set in kept; the count.
int picture_check_colour_loss(const std::string& name, const bmp_image* image, uint32_t kept);

// Warnings when the glyph table does not look like the printable ASCII
// characters in order (the space empty, '.' among the smallest, '|' tall and
// narrow), as when the grid starts one cell off; the count.
int font_check_order(const prepared_bitmap* table);
