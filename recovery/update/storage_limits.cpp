#include "storage_limits.h"

#include <stdlib.h>
#include <sys/statfs.h>

#include "mount_table.h"

namespace {

constexpr unsigned long TMPFS_MAGIC = 0x01021994;
constexpr unsigned long RAMFS_MAGIC = 0x858458f6;
// A table line is read whole up to this many bytes.
constexpr size_t OPTIONS_SIZE = 4096;

}  // namespace

bool storage_in_memory(const char* path) {
    struct statfs st {};
    if (statfs(path, &st) != 0) return false;
    const auto type = static_cast<unsigned long>(st.f_type);
    return type == TMPFS_MAGIC || type == RAMFS_MAGIC;
}

bool storage_without_barriers(const char* table, const char* mount_point) {
    char* options = static_cast<char*>(malloc(OPTIONS_SIZE));
    const bool without =
        options != nullptr && mount_table_options(table, mount_point, options, OPTIONS_SIZE) == 0 &&
        (mount_option_has(options, "nobarrier") || mount_option_has(options, "barrier=0"));
    free(options);
    return without;
}
