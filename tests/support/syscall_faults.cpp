#include "syscall_faults.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <unistd.h>

const char* const FAULT_CALL_NAMES[FAULT_CALLS] = {
    "open",   "read",     "write", "sendfile", "fsync",   "fdatasync", "fchown", "fchmod",
    "fsetxattr", "rename", "unlink", "mkdir",  "readdir", "close",     "sync"};

std::string failing_directory;

namespace {

bool armed = false;
fault_call chosen = FAULT_CALLS;
long chosen_nth = 0;
int chosen_error = 0;
long cut_at = 0;
long seen[FAULT_CALLS + 1];
std::string failed_path;

std::string path_of(int fd) {
    char link[64];
    char target[1024];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// Counts the call; true when it is to fail (errno is then set).
bool fails(fault_call call, const std::string& path) {
    if (!armed) return false;
    ++seen[call];
    if (cut_at > 0 && ++seen[FAULT_CALLS] == cut_at) _exit(FAULT_CUT_STATUS);
    if (call != chosen || seen[call] != chosen_nth) return false;
    failed_path = path;
    errno = chosen_error;
    return true;
}

}  // namespace

void faults_arm(fault_call call, long nth, int error, long cut) {
    for (long& n : seen) n = 0;
    chosen = call;
    chosen_nth = nth;
    chosen_error = error;
    cut_at = cut;
    failed_path.clear();
    armed = true;
}

void faults_disarm() {
    armed = false;
}

long faults_seen(fault_call call) {
    return seen[call];
}

std::string faults_failed_path() {
    return failed_path;
}

// Each wrapper takes the path (or descriptor) the call names before it
// decides; the descriptor's path is looked up only when it fails.
#define FAULT_FD(call, fd) (fails(call, "") ? (failed_path = path_of(fd), true) : false)

extern "C" {
int __real_open64(const char* path, int flags, ...);
ssize_t __real_read(int fd, void* buffer, size_t size);
ssize_t __real_write(int fd, const void* buffer, size_t size);
ssize_t __real_sendfile64(int out, int in, off64_t* offset, size_t count);
int __real_fsync(int fd);
int __real_fdatasync(int fd);
int __real_fchown(int fd, uid_t uid, gid_t gid);
int __real_fchmod(int fd, mode_t mode);
int __real_fsetxattr(int fd, const char* name, const void* value, size_t size, int flags);
int __real_rename(const char* from, const char* to);
int __real_unlink(const char* path);
int __real_mkdir(const char* path, mode_t mode);
struct dirent64* __real_readdir64(DIR* dir);
int __real_close(int fd);
void __real_sync();

int __wrap_open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const auto mode = static_cast<mode_t>(va_arg(args, unsigned));
    va_end(args);
    return fails(FAULT_OPEN, path) ? -1 : __real_open64(path, flags, mode);
}
ssize_t __wrap_read(int fd, void* buffer, size_t size) {
    return FAULT_FD(FAULT_READ, fd) ? -1 : __real_read(fd, buffer, size);
}
ssize_t __wrap_write(int fd, const void* buffer, size_t size) {
    return FAULT_FD(FAULT_WRITE, fd) ? -1 : __real_write(fd, buffer, size);
}
ssize_t __wrap_sendfile64(int out, int in, off64_t* offset, size_t count) {
    return FAULT_FD(FAULT_SENDFILE, out) ? -1 : __real_sendfile64(out, in, offset, count);
}
int __wrap_fsync(int fd) {
    return FAULT_FD(FAULT_FSYNC, fd) ? -1 : __real_fsync(fd);
}
int __wrap_fdatasync(int fd) {
    return FAULT_FD(FAULT_FDATASYNC, fd) ? -1 : __real_fdatasync(fd);
}
int __wrap_fchown(int fd, uid_t uid, gid_t gid) {
    return FAULT_FD(FAULT_FCHOWN, fd) ? -1 : __real_fchown(fd, uid, gid);
}
int __wrap_fchmod(int fd, mode_t mode) {
    return FAULT_FD(FAULT_FCHMOD, fd) ? -1 : __real_fchmod(fd, mode);
}
int __wrap_fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
    return FAULT_FD(FAULT_FSETXATTR, fd) ? -1 : __real_fsetxattr(fd, name, value, size, flags);
}
int __wrap_rename(const char* from, const char* to) {
    return fails(FAULT_RENAME, to) ? -1 : __real_rename(from, to);
}
int __wrap_unlink(const char* path) {
    return fails(FAULT_UNLINK, path) ? -1 : __real_unlink(path);
}
int __wrap_mkdir(const char* path, mode_t mode) {
    return fails(FAULT_MKDIR, path) ? -1 : __real_mkdir(path, mode);
}
struct dirent64* __wrap_readdir64(DIR* dir) {
    if (!failing_directory.empty() && path_of(dirfd(dir)) == failing_directory) {
        errno = EIO;
        return nullptr;
    }
    return FAULT_FD(FAULT_READDIR, dirfd(dir)) ? nullptr : __real_readdir64(dir);
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
}
}
