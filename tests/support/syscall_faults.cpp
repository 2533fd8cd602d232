#include "syscall_faults.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "sandbox.h"

const char* const FAULT_CALL_NAMES[FAULT_CALLS] = {
    "open",    "read",   "write",           "sendfile", "fsync",  "fdatasync",
    "fchown",  "fchmod", "fsetxattr",       "rename",   "unlink", "mkdir",
    "readdir", "close",  "sync_file_range", "syncfs",   "sync"};

std::string failing_directory;
std::string listed_twice;
std::string kernel_release;
bool short_writes = false;
long long clock_step_ms = 0;
void (*clock_watch)() = nullptr;
write_error_model write_error;

namespace {

bool armed = false;
fault_call chosen = FAULT_CALLS;
long chosen_nth = 0;
long chosen_count = 1;
int chosen_error = 0;
long cut_at = 0;
long seen[FAULT_CALLS + 1];
std::string failed_path;
size_t peak_heap = 0;

std::string path_of(int fd) {
    char link[64];
    char target[1024];
    (void)snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// Counts the call; true when it is to fail (errno is then set).
bool fails(fault_call call, const std::string& path) {
    if (!armed) return false;
    ++seen[call];
    peak_heap = std::max(peak_heap, heap_in_use());
    if (cut_at > 0 && ++seen[FAULT_CALLS] == cut_at) _exit(FAULT_CUT_STATUS);
    if (call != chosen || seen[call] < chosen_nth || seen[call] >= chosen_nth + chosen_count) {
        return false;
    }
    failed_path = path;
    errno = chosen_error;
    return true;
}

// The storage's write error of write_error's file: set once the file is
// written; what waits on it then sees it as the kernel modelled reports it.
bool write_error_pending = false;

void note_written(int fd) {
    if (!write_error.file.empty() && path_of(fd).find(write_error.file) != std::string::npos) {
        write_error_pending = true;
    }
}
// A wait on fd's data (0 for the one flush of everything): -1 with EIO where
// it reports the write error.
int wait_reports(int fd) {
    if (!write_error_pending) return 0;
    if (fd == 0) {  // sync: old kernels wait on each file with the call that clears its error
        if (write_error.reported_once) write_error_pending = false;
        return 0;
    }
    if (path_of(fd).find(write_error.file) == std::string::npos) return 0;
    if (write_error.reported_once) write_error_pending = false;
    errno = EIO;
    return -1;
}

}  // namespace

void faults_arm(fault_call call, long nth, int error, long cut, long count) {
    for (long& n : seen) n = 0;
    chosen = call;
    chosen_nth = nth;
    chosen_count = count;
    chosen_error = error;
    cut_at = cut;
    failed_path.clear();
    peak_heap = heap_in_use();
    armed = true;
}

void faults_disarm() {
    armed = false;
}

long faults_seen(fault_call call) {
    return seen[call];
}

size_t faults_peak_heap() {
    return peak_heap;
}

std::string faults_failed_path() {
    return failed_path;
}

void write_error_model_set(const write_error_model& model) {
    write_error = model;
    write_error_pending = false;
}

// Each wrapper counts its call under the path (or descriptor) it names;
// the descriptor's path is looked up only when the call fails.
#define FAULT_FD(call, fd) (fails(call, "") ? (failed_path = path_of(fd), true) : false)
#define FAULT_WRAP(type, name, params, args, failing) \
    type __real_##name params;                        \
    type __wrap_##name params {                       \
        return (failing) ? -1 : __real_##name args;   \
    }

extern "C" {
FAULT_WRAP(ssize_t, read, (int fd, void* b, size_t n), (fd, b, n), FAULT_FD(FAULT_READ, fd))
FAULT_WRAP(ssize_t, write, (int fd, const void* b, size_t n),
           (fd, b, short_writes&& n > 1 ? (n + 2) / 3 : n),
           FAULT_FD(FAULT_WRITE, fd) || (note_written(fd), false))
FAULT_WRAP(ssize_t, sendfile64, (int out, int in, off64_t* at, size_t n), (out, in, at, n),
           FAULT_FD(FAULT_SENDFILE, out) || (short_writes && (errno = EINVAL, true)) ||
               (note_written(out), false))
FAULT_WRAP(int, fsync, (int fd), (fd), FAULT_FD(FAULT_FSYNC, fd) || wait_reports(fd) != 0)
FAULT_WRAP(int, fdatasync, (int fd), (fd), FAULT_FD(FAULT_FDATASYNC, fd) || wait_reports(fd) != 0)
FAULT_WRAP(int, fchown, (int fd, uid_t u, gid_t g), (fd, u, g), FAULT_FD(FAULT_FCHOWN, fd))
FAULT_WRAP(int, fchmod, (int fd, mode_t m), (fd, m), FAULT_FD(FAULT_FCHMOD, fd))
FAULT_WRAP(int, fsetxattr, (int fd, const char* k, const void* v, size_t n, int f),
           (fd, k, v, n, f), FAULT_FD(FAULT_FSETXATTR, fd))
FAULT_WRAP(int, rename, (const char* from, const char* to), (from, to), fails(FAULT_RENAME, to))
FAULT_WRAP(int, unlink, (const char* p), (p), fails(FAULT_UNLINK, p))
FAULT_WRAP(int, mkdir, (const char* p, mode_t m), (p, m), fails(FAULT_MKDIR, p))
FAULT_WRAP(int, syncfs, (int fd), (fd),
           FAULT_FD(FAULT_SYNCFS, fd) ||
               (write_error_pending && write_error.syncfs_reports && (errno = EIO, true)))
FAULT_WRAP(int, sync_file_range, (int fd, off64_t at, off64_t n, unsigned f), (fd, at, n, f),
           FAULT_FD(FAULT_SYNC_FILE_RANGE, fd) || wait_reports(fd) != 0)

int __real_uname(struct utsname* name);
int __wrap_uname(struct utsname* name) {
    const int result = __real_uname(name);
    if (result == 0 && !kernel_release.empty()) {
        (void)snprintf(name->release, sizeof name->release, "%s", kernel_release.c_str());
    }
    return result;
}

int __real_clock_gettime(clockid_t clock, struct timespec* now);
int __wrap_clock_gettime(clockid_t clock, struct timespec* now) {
    static long long fake_ms = 1000;
    if (clock != CLOCK_MONOTONIC || clock_step_ms <= 0) return __real_clock_gettime(clock, now);
    if (clock_watch != nullptr) clock_watch();
    fake_ms += clock_step_ms;
    now->tv_sec = static_cast<time_t>(fake_ms / 1000);
    now->tv_nsec = static_cast<long>(fake_ms % 1000) * 1000000;
    return 0;
}

int __real_open64(const char* path, int flags, ...);
int __wrap_open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const auto mode = static_cast<mode_t>(va_arg(args, unsigned));
    va_end(args);
    return fails(FAULT_OPEN, path) ? -1 : __real_open64(path, flags, mode);
}
struct dirent64* __real_readdir64(DIR* dir);
int __real_close(int fd);
void __real_sync();

struct dirent64* __wrap_readdir64(DIR* dir) {
    if (!failing_directory.empty() && path_of(dirfd(dir)) == failing_directory) {
        errno = EIO;
        return nullptr;
    }
    static DIR* again = nullptr;  // the stream whose last entry comes once more
    static struct dirent64* again_entry = nullptr;
    if (dir == again) {
        again = nullptr;
        return again_entry;
    }
    struct dirent64* entry = FAULT_FD(FAULT_READDIR, dirfd(dir)) ? nullptr : __real_readdir64(dir);
    if (entry != nullptr && !listed_twice.empty() && listed_twice == entry->d_name) {
        again = dir;
        again_entry = entry;
    }
    return entry;
}
// A close that fails has still released the descriptor, as Linux's does.
int __wrap_close(int fd) {
    if (!FAULT_FD(FAULT_CLOSE, fd)) return __real_close(fd);
    const int error = errno;
    (void)__real_close(fd);
    errno = error;
    return -1;
}
// The tests' partitions are tmpfs, which sync has nothing to do for; the
// host's own disks, busy with a build, can make a real one take seconds.
void __wrap_sync() {
    if (!armed) __real_sync();
    (void)fails(FAULT_SYNC, "");
    (void)wait_reports(0);
}
}
