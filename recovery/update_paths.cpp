#include "update_paths.h"

#include <cstdio>
#include <cstring>

#include "recovery_text.h"

bool update_takes(const char* name, int depth) {
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
    return depth > 0 || strcmp(name, "system") == 0 || strcmp(name, "data") == 0;
}

int update_paths(const char* directory, const char* name, size_t root_length, char* source,
                 char* destination) {
    // The walk's sources all start with the update root; a directory outside
    // it has no destination.
    const int length = snprintf(source, TEXT_BUFFER_SIZE, "%s/%s", directory, name);
    if (length < 0 || length >= TEXT_BUFFER_SIZE || static_cast<size_t>(length) < root_length) {
        return -1;
    }
    memcpy(destination, source + root_length, static_cast<size_t>(length) - root_length + 1);
    return 0;
}
