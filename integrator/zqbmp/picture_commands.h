// zqbmp's commands on single pictures.
#pragma once

#include <cstddef>

// For each file: whether it loads as the device loads it (else why not, in
// the checker's words), its size and depth; with json, as one document. An
// exit status.
int picture_info(size_t count, const char* const* files, bool json);
// The decoded picture as a binary PPM (P6) at out_path. An exit status.
int picture_ppm(const char* file, const char* out_path);
