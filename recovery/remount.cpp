#include "remount.h"

#include <sys/mount.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* PARTITIONS[REMOUNT_PARTITIONS] = {"/system", "/data"};

// The per-mount flags statvfs reports, which a remount must repeat to keep
// (their ST_ values equal the MS_ ones).
constexpr unsigned long KEPT_FLAGS = MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_SYNCHRONOUS |
                                     MS_MANDLOCK | MS_NOATIME | MS_NODIRATIME | MS_RELATIME;

// The mount's flags, or -1 when the path cannot be queried.
long mount_flags(const char* path) {
    struct statvfs st {};
    if (statvfs(path, &st) != 0) return -1;
    return static_cast<long>(st.f_flag);
}

bool read_only(const char* path) {
    const long flags = mount_flags(path);
    return flags >= 0 && (static_cast<unsigned long>(flags) & ST_RDONLY) != 0;
}

}  // namespace

void remount_writable(remount_state* state) {
    for (int i = 0; i < REMOUNT_PARTITIONS; ++i) {
        state->changed[i] = 0;
        const char* path = PARTITIONS[i];
        if (!read_only(path)) continue;
        const unsigned long kept = static_cast<unsigned long>(mount_flags(path)) & KEPT_FLAGS;
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
