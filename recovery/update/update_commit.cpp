#include "update_commit.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "file_install.h"
#include "recovery_facts.h"

namespace {

bool is_staged_name(const char* name) {
    const size_t length = strlen(INSTALL_TEMP_NAME);
    return strncmp(name, INSTALL_TEMP_NAME, length) == 0 &&
           (name[length] == '\0' || name[length] == '.');
}

bool is_dot(const char* name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Appends "/name" to the path (TEXT_BUFFER_SIZE bytes) of the given length;
// false when it does not fit.
bool push_name(char* path, size_t length, const char* name) {
    return static_cast<size_t>(snprintf(path + length, TEXT_BUFFER_SIZE - length, "/%s", name)) <
           TEXT_BUFFER_SIZE - length;
}

// Visits every regular file that name in the directory at (AT_FDCWD: name
// is a path) is or holds, never through a link; path (TEXT_BUFFER_SIZE
// bytes) names the entry for reports. Returns how many there are.
template <typename Visit>
int each_file(int at, const char* name, unsigned char type, char* path, const Visit& visit) {
    struct stat st {};
    if (type == DT_UNKNOWN) {
        if (fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
        type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_LNK;
    }
    if (type == DT_REG) {
        visit(at, name, path);
        return 1;
    }
    if (type != DT_DIR) return 0;
    const int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr && fd >= 0) (void)close(fd);
    int files = 0;
    const size_t length = strlen(path);
    for (const dirent* entry; dir != nullptr && (entry = readdir(dir)) != nullptr;) {
        if (!is_dot(entry->d_name) && push_name(path, length, entry->d_name)) {
            files += each_file(dirfd(dir), entry->d_name, entry->d_type, path, visit);
        }
        path[length] = '\0';
    }
    if (dir != nullptr) (void)closedir(dir);
    return files;
}

// Removes path and, for a directory, everything below it.
void remove_all(char* path) {
    struct stat st {};
    if (lstat(path, &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        (void)unlink(path);
        return;
    }
    DIR* dir = opendir(path);
    const size_t length = strlen(path);
    for (const dirent* entry; dir != nullptr && (entry = readdir(dir)) != nullptr;) {
        if (!is_dot(entry->d_name) && push_name(path, length, entry->d_name)) remove_all(path);
        path[length] = '\0';
    }
    if (dir != nullptr) (void)closedir(dir);
    (void)rmdir(path);
}

// The paths a visit of the record works on, with whom it tells of failures.
struct record_work {
    commit_report report;
    void* context;
    unsigned failed;
    unsigned unmendable;
    char path[TEXT_BUFFER_SIZE];
    char destination[TEXT_BUFFER_SIZE];
};

record_work* new_work(commit_report report, void* context) {
    auto* work = static_cast<record_work*>(malloc(sizeof(record_work)));
    if (work != nullptr) {
        work->report = report;
        work->context = context;
        work->failed = 0;
        work->unmendable = 0;
    }
    return work;
}

// Waits until what was written to the file name in the directory at is on
// storage and says whether that failed: the data went with the update's one
// flush, so this costs no journal commit.
int flushed(int at, const char* name) {
    const int fd = openat(at, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    const int result = install_wait_written(fd);
    const int error = errno;
    (void)close(fd);
    errno = error;
    return result;
}

// Every file a staged entry holds, flushed; a failure names its destination.
void flush_staged(char kind, const char* staged, const char* destination, void* context) {
    auto* work = static_cast<record_work*>(context);
    if (kind != 'S') return;
    (void)snprintf(work->path, sizeof work->path, "%s", staged);
    const size_t prefix = strlen(staged);
    (void)each_file(AT_FDCWD, staged, DT_UNKNOWN, work->path,
                    [&](int at, const char* name, const char* file) {
                        if (flushed(at, name) == 0) return;
                        const int error = errno;
                        (void)snprintf(work->destination, sizeof work->destination, "%s%s",
                                       destination, file + prefix);
                        work->report(work->destination, error, 1, work->context);
                        ++work->failed;
                    });
}

// Whether the directory that holds path is there (a link to one counts).
bool directory_there(const char* path, char* scratch) {
    const char* slash = strrchr(path, '/');
    (void)snprintf(scratch, TEXT_BUFFER_SIZE, "%.*s", static_cast<int>(slash - path), path);
    struct stat st {};
    return stat(scratch, &st) == 0 && S_ISDIR(st.st_mode);
}

void rename_staged(char kind, const char* staged, const char* destination, void* context) {
    auto* work = static_cast<record_work*>(context);
    struct stat st {};
    if (kind != 'S') return;
    int error = 0;
    if (lstat(staged, &st) != 0 && errno == ENOENT) {
        // Renamed before; unless its directory is gone too (a link to a
        // partition not mounted now, a directory fsck moved).
        if (directory_there(staged, work->path)) return;
        error = ENOENT;
    } else if (rename(staged, destination) == 0) {
        return;
    } else {
        error = errno;
    }
    if (error == ENOTEMPTY || error == EEXIST || error == ENOTDIR || error == EISDIR) {
        ++work->unmendable;
    }
    (void)snprintf(work->path, sizeof work->path, "%s", staged);
    const int files =
        each_file(AT_FDCWD, staged, DT_UNKNOWN, work->path, [](int, const char*, const char*) {});
    work->report(destination, error, files, work->context);
    ++work->failed;
}

void sweep_directory(char kind, const char* directory, const char* /*unused*/, void* context) {
    auto* work = static_cast<record_work*>(context);
    if (kind != 'D') return;
    DIR* dir = opendir(directory);
    if (dir == nullptr) return;
    for (const dirent* entry; (entry = readdir(dir)) != nullptr;) {
        if (!is_staged_name(entry->d_name)) continue;
        const int length =
            snprintf(work->path, sizeof work->path, "%s/%s", directory, entry->d_name);
        if (length > 0 && static_cast<size_t>(length) < sizeof work->path) remove_all(work->path);
    }
    (void)closedir(dir);
}

void report_nothing(const char* /*destination*/, int /*error*/, int /*files*/, void* /*c*/) {}

// Whether the kernel uname reports is major.minor or later; an unreadable
// release counts as older.
bool kernel_at_least(unsigned want_major, unsigned want_minor) {
    struct utsname name {};
    unsigned major = 0;
    unsigned minor = 0;
    if (uname(&name) != 0) return false;
    const char* at = name.release;
    for (; *at >= '0' && *at <= '9'; ++at) major = major * 10 + static_cast<unsigned>(*at - '0');
    if (*at++ != '.') return false;
    for (; *at >= '0' && *at <= '9'; ++at) minor = minor * 10 + static_cast<unsigned>(*at - '0');
    return major > want_major || (major == want_major && minor >= want_minor);
}

// After the one flush: 0 when every watched file system says none of its
// files had a write error; else -1, errno set to the error, or 0 where the
// file systems cannot tell, and *which names the one that said so.
int partition_errors(partition_watch* watch, const char** which) {
    *which = nullptr;
    if (watch->overflow || !syncfs_reports_errors()) {
        errno = 0;
        return -1;
    }
    for (int i = 0; i < watch->count; ++i) {
        if (syncfs(watch->fd[i]) != 0) {
            if (errno != ENOSYS) *which = watch->path[i];
            return -1;
        }
    }
    return 0;
}

void unwatch(partition_watch* watch) {
    for (int i = 0; i < watch->count; ++i) (void)close(watch->fd[i]);
    watch->count = 0;
}

}  // namespace

void watch_partition(partition_watch* watch, const char* directory) {
    struct stat st {};
    if (stat(directory, &st) != 0) {
        watch->overflow = true;  // cannot tell which: every file is looked at
        return;
    }
    for (int i = 0; i < watch->count; ++i) {
        if (watch->device[i] == st.st_dev) return;
    }
    const int fd = watch->count < WATCHED_PARTITIONS
                       ? open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                       : -1;
    if (fd < 0) {
        watch->overflow = true;
        return;
    }
    watch->fd[watch->count] = fd;
    watch->device[watch->count] = st.st_dev;
    (void)snprintf(watch->path[watch->count], TEXT_BUFFER_SIZE, "%s", directory);
    ++watch->count;
}

bool syncfs_reports_errors() {
    return kernel_at_least(5, 8);
}

bool sync_clears_write_errors() {
    return !kernel_at_least(4, 6);
}

seal_result commit_seal(commit_log* log, partition_watch* watch, commit_report report,
                        void* context) {
    record_work* work = new_work(report, context);
    record_summary* record = static_cast<record_summary*>(malloc(sizeof(record_summary)));
    int error = work == nullptr || record == nullptr ? ENOMEM : 0;
    if (error == 0 && commit_flush(log) != 0) error = errno;
    const char* which = nullptr;
    if (error == 0) {
        sync();  // every staged file and directory, on every partition, and the list
        // Old kernels' sync clears what each file's own wait, before it was closed, saw.
        if (!sync_clears_write_errors() && partition_errors(watch, &which) != 0) {
            const int partition_error = errno;
            record_read(COMMIT_RECORD_NEW_PATH, flush_staged, work, record);
            if (record->state != RECORD_TRUSTED) error = record->error != 0 ? record->error : EIO;
            // A file system's error that no file of the update's shows.
            if (error == 0 && work->failed == 0 && which != nullptr) {
                report(which, partition_error != 0 ? partition_error : EIO, 0, context);
                ++work->failed;
            }
        }
    }
    unwatch(watch);
    int sealed = -1;
    if (error == 0 && work->failed == 0) {
        sealed = commit_close_sealed(log);
        if (sealed < 0) error = errno;
    }
    if (error != 0) report(COMMIT_RECORD_PATH, error, 0, context);
    commit_close(log);
    free(record);
    free(work);
    return sealed < 0 ? SEAL_FAILED : sealed == 0 ? SEAL_DONE : SEAL_UNFLUSHED;
}

void commit_apply(commit_report report, void* context, apply_result* out) {
    *out = apply_result{false, false, 0, 0, 0};
    record_work* work = new_work(report, context);
    auto* record = static_cast<record_summary*>(malloc(sizeof(record_summary)));
    if (work != nullptr && record != nullptr) {
        // Checked whole before anything is renamed.
        record_read(COMMIT_RECORD_PATH, nullptr, nullptr, record);
        if (record->state == RECORD_TRUSTED && record->sealed &&
            record->road == COMMIT_ALL_OR_NOTHING) {
            const unsigned entries = record->entries;
            record_read(COMMIT_RECORD_PATH, rename_staged, work, record);
            sync();
            // Read to its end again, or some entries may not have been reached.
            const bool whole = record->state == RECORD_TRUSTED && record->sealed;
            *out = apply_result{whole || record->state == RECORD_UNREADABLE, whole, entries,
                                work->failed + (whole ? 0 : 1), work->unmendable};
        } else if (record->state == RECORD_UNREADABLE) {
            // Trusted before, now unreadable: it stays for a later start.
            *out = apply_result{true, false, 0, 1, 0};
        }
    }
    free(record);
    free(work);
}

void commit_sweep(const char* path) {
    record_work* work = new_work(report_nothing, nullptr);
    auto* record = static_cast<record_summary*>(malloc(sizeof(record_summary)));
    if (work != nullptr && record != nullptr) {
        record_read(path, nullptr, nullptr, record);
        if (record->state == RECORD_TRUSTED) record_read(path, sweep_directory, work, record);
        sync();
    }
    free(record);
    free(work);
}

void commit_abandon(commit_log* log, partition_watch* watch) {
    if (log->fd >= 0) (void)commit_flush(log);  // the sweep reads what it lists
    commit_close(log);
    unwatch(watch);
    commit_sweep(COMMIT_RECORD_NEW_PATH);
    (void)commit_remove(COMMIT_RECORD_NEW_PATH);
}

int commit_remove(const char* path) {
    const int removed = unlink(path) == 0 || errno == ENOENT ? 0 : -1;
    const int error = errno;
    (void)install_sync_directory_of(path);
    errno = error;
    return removed;
}
