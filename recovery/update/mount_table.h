// The kernel's table of mounts (/proc/mounts) as old kernels give the mount
// flags: a line per mount, "device mount-point type options dump pass",
// paths with octal escapes (\040 for a space), options comma-separated.
#pragma once

#include <stddef.h>

// Read-only and the per-mount flags a remount must repeat to keep them, as
// the kernel's statfs reports each (f_flags) and as the table names it.
struct mount_flag {
    unsigned long statfs_bit;
    const char* option;
    unsigned long flag;
};
extern const mount_flag MOUNT_FLAGS[];
extern const size_t MOUNT_FLAG_COUNT;

// Whether the comma-separated options hold option as a whole word.
bool mount_option_has(const char* options, const char* option);
// The options of the last mount on mount_point in the table at table (the
// mount on top), into options (size bytes, cut to fit): 0, or -1 when the
// table has none or cannot be read. A line too long to read whole is passed
// over.
int mount_table_options(const char* table, const char* mount_point, char* options, size_t size);
// The MOUNT_FLAGS flags of that mount; -1 as mount_table_options.
long mount_table_flags(const char* table, const char* mount_point);
