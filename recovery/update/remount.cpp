#include "remount.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/statfs.h>

#include "mount_table.h"

namespace {

constexpr const char* PARTITIONS[REMOUNT_PARTITIONS] = {"/system", "/data"};

// Set in f_flags by kernels that report the flags there (2.6.36 and later).
constexpr unsigned long STATFS_FLAGS_VALID = 0x0020;

// The mount's flags (MS_RDONLY and the kept ones), or -1 when the path cannot
// be queried. Kernels before 2.6.36 report none in statfs: /proc/mounts has them.
long mount_flags(const char* path) {
    struct statfs st {};
    if (statfs(path, &st) != 0) return -1;
    const auto reported = static_cast<unsigned long>(st.f_flags);
    if ((reported & STATFS_FLAGS_VALID) == 0) return mount_table_flags("/proc/mounts", path);
    long flags = 0;
    for (size_t i = 0; i < MOUNT_FLAG_COUNT; ++i) {
        if ((reported & MOUNT_FLAGS[i].statfs_bit) != 0)
            flags |= static_cast<long>(MOUNT_FLAGS[i].flag);
    }
    return flags;
}

bool read_only(const char* path) {
    const long flags = mount_flags(path);
    return flags >= 0 && (static_cast<unsigned long>(flags) & MS_RDONLY) != 0;
}

}  // namespace

void remount_writable(remount_state* state) {
    for (int i = 0; i < REMOUNT_PARTITIONS; ++i) {
        state->changed[i] = 0;
        const char* path = PARTITIONS[i];
        if (!read_only(path)) continue;
        const unsigned long kept = static_cast<unsigned long>(mount_flags(path)) & ~MS_RDONLY;
        // The file system first; then the mount point, where it alone was read-only.
        unsigned long flags = MS_REMOUNT | kept;
        int result = mount(nullptr, path, nullptr, flags, nullptr);
        if (result == 0 && read_only(path)) {
            flags = MS_REMOUNT | MS_BIND | kept;
            result = mount(nullptr, path, nullptr, flags, nullptr);
        }
        if (result != 0 || read_only(path)) {
            printf("remount %s read-write failed. %s\n", path, strerror(errno));
            continue;
        }
        state->changed[i] = flags;
        printf("remounted %s read-write\n", path);
    }
}

void remount_restore(const remount_state* state) {
    for (int i = 0; i < REMOUNT_PARTITIONS; ++i) {
        if (state->changed[i] == 0) continue;
        const char* path = PARTITIONS[i];
        int result = mount(nullptr, path, nullptr, state->changed[i] | MS_RDONLY, nullptr);
        if (result != 0 && errno == EBUSY && (state->changed[i] & MS_BIND) == 0) {
            result =
                mount(nullptr, path, nullptr, state->changed[i] | MS_BIND | MS_RDONLY, nullptr);
        }
        if (result != 0) {
            printf("remount %s read-only failed. %s\n", path, strerror(errno));
        } else {
            printf("remounted %s read-only\n", path);
        }
    }
}
