// A reader that turns what the console drew back into text by matching cells
// against the glyph table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "guarded_screen.h"
#include "prepared_bitmap.h"

// Text of the line whose top row is y. A cell that matches no glyph reads as
// '\x01'; trailing blanks are dropped.
std::string screen_read_line(const screen_view& screen, const prepared_bitmap* table, int y);
// Lines from row y0 down, one per glyph height, trailing empty lines dropped.
std::vector<std::string> screen_read_lines(const screen_view& screen, const prepared_bitmap* table,
                                           int y0 = 0);
// Loads the device font from the build's media into table, for the current fbvar.
bool load_test_font(prepared_bitmap* table);
void free_font(prepared_bitmap* table);
