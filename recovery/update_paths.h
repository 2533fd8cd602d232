// The update walk's path rules, shared with the integrators' checker.
#pragma once

#include <cstddef>

// Whether the walk takes a directory entry: never "." and "..", and at the
// update root (depth 0) only "system" and "data".
bool update_takes(const char* name, int depth);

// Builds the walk's source path "<directory>/<name>" and its destination,
// the source without its first root_length characters (the update root),
// each into a buffer of TEXT_BUFFER_SIZE bytes. -1, with neither built, when
// the source path does not fit.
int update_paths(const char* directory, const char* name, size_t root_length, char* source,
                 char* destination);
