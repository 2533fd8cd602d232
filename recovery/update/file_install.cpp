#include "file_install.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "sha256.h"

namespace {

// Bytes asked of one in-kernel move: large, so that a file takes few calls.
constexpr size_t IN_KERNEL_CHUNK = 64 * 1024 * 1024;

// What the destination holds now, and what its replacement inherits.
struct old_file {
    bool labelled;           // may carry labels: anything but a name known to be free
    bool regular;            // a regular file, which the in-place road can overwrite
    unsigned names;          // its hard links
    long long blocks_bytes;  // the room its blocks hold
    bool is_dir;
    uid_t uid;
    gid_t gid;
    mode_t mode;  // permission bits for the new file
};

void fail(install_result* state, install_step step, int error) {
    state->step = step;
    state->error = error != 0 ? error : EIO;
}

// Reads the destination without following a link. A link takes the owner and
// mode of a regular file it leads to: a command linked to a multi-call binary
// stays executable once it is a file of its own. A destination in a directory
// this update made (INSTALL_FRESH) is not looked at: nothing can be there.
void inspect(const install_request* request, old_file* old) {
    const char* destination = request->destination;
    *old = old_file{false, false, 0, 0, false, 0, 0, INSTALL_NEW_FILE_MODE};
    old->uid = geteuid();
    old->gid = getegid();
    if (request->road == INSTALL_FRESH) return;
    struct stat st {};
    const int found = lstat(destination, &st);
    old->labelled = found == 0 || errno != ENOENT;
    if (found != 0) return;
    old->regular = S_ISREG(st.st_mode);
    old->names = old->regular ? static_cast<unsigned>(st.st_nlink) : 0;
    old->blocks_bytes = old->regular ? static_cast<long long>(st.st_blocks) * 512 : 0;
    // A link to a directory stays as a directory does: it may lead to a partition.
    if (S_ISLNK(st.st_mode) && stat(destination, &st) != 0) return;
    old->is_dir = S_ISDIR(st.st_mode);
    if (!S_ISREG(st.st_mode)) return;
    old->uid = st.st_uid;
    old->gid = st.st_gid;
    old->mode = st.st_mode & 07777;
}

void report_progress(const install_request* request, install_phase phase, long long done) {
    if (request->progress != nullptr) request->progress(phase, done, request->progress_context);
}

// Moves what it can of the rest of in to out inside the kernel, from one
// file's page cache to the other's: in chunks where progress is told. Stops
// at the end of in, or at the first error, which leaves both offsets at the
// first byte not moved: an error does not say which side failed, so the
// buffered copy takes over from there.
void copy_in_kernel(int in, int out, const install_request* request, install_result* state) {
    const size_t chunk = request->progress != nullptr ? INSTALL_PROGRESS_CHUNK : IN_KERNEL_CHUNK;
    for (;;) {
        const ssize_t n = sendfile(out, in, nullptr, chunk);
        if (n <= 0) return;
        state->bytes += n;
        if (static_cast<size_t>(n) == chunk)
            report_progress(request, INSTALL_COPYING, state->bytes);
    }
}

// Copies the rest of in to out: in the kernel where it can, then through the
// request's buffer. Failures name the source on a read and the destination on
// a write.
void copy_data(int in, int out, const install_request* request, install_result* state) {
    copy_in_kernel(in, out, request, state);
    char* buffer = request->buffer;
    long long reported = state->bytes;
    for (;;) {
        const ssize_t n = read(in, buffer, request->size);
        if (n == 0) return;
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(state, INSTALL_READ_SOURCE, errno);
            return;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t written = write(out, buffer + done, static_cast<size_t>(n - done));
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                fail(state, INSTALL_WRITE_TARGET, written < 0 ? errno : ENOSPC);
                return;
            }
            done += written;
            state->bytes += written;
        }
        if (state->bytes - reported >= INSTALL_PROGRESS_CHUNK) {
            reported = state->bytes;
            report_progress(request, INSTALL_COPYING, reported);
        }
    }
}

// Whether the bytes fd holds from its start (its first length, when length >=
// 0) have the SHA-256 hash the request lists; a read failure fails the file on
// the side it names.
bool bytes_as_listed(int fd, long long length, const install_request* request, install_step side,
                     install_result* state) {
    sha256_state sum;
    sha256_init(&sum);
    long long reported = 0;
    for (off_t at = 0; length < 0 || at < length;) {
        const size_t want =
            length >= 0 && static_cast<unsigned long long>(length - at) < request->size
                ? static_cast<size_t>(length - at)
                : request->size;
        const ssize_t n = pread(fd, request->buffer, want, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            fail(state, side, errno);
            return false;
        }
        if (n == 0) break;
        sha256_feed(&sum, request->buffer, static_cast<size_t>(n));
        at += n;
        if (at - reported >= INSTALL_PROGRESS_CHUNK) {
            reported = at;
            report_progress(request, INSTALL_CHECKING, at);
        }
    }
    char hex[SHA256_HEX_SIZE];
    sha256_finish(&sum, hex);
    if (strcmp(hex, request->expected_hash) == 0) return true;
    fail(state, INSTALL_NOT_AS_LISTED, 0);
    return false;
}

bool no_room(const install_result* state) {
    return (state->step == INSTALL_OPEN_TARGET || state->step == INSTALL_WRITE_TARGET) &&
           (state->error == ENOSPC || state->error == EDQUOT);
}

// Empties out and commits that: a journalling file system reuses freed
// blocks only once the change that freed them is committed, and the next
// file needs them now.
void release_space(int out) {
    (void)ftruncate(out, 0);
    (void)fsync(out);
}

// Flushes out's data (when flush), or waits for it to be written (when
// wait), and closes it: a failure of any is a write failure.
void finish_file(int out, bool flush, bool wait, install_result* state) {
    if (flush && state->step == INSTALL_DONE && fdatasync(out) != 0 && errno != EINVAL) {
        fail(state, INSTALL_WRITE_TARGET, errno);
    }
    if (wait && state->step == INSTALL_DONE && install_wait_written(out) != 0) {
        fail(state, INSTALL_WRITE_TARGET, errno);
    }
    if (close(out) != 0 && state->step == INSTALL_DONE && errno != EINTR) {
        fail(state, INSTALL_WRITE_TARGET, errno);
    }
}

// Gives out every security.* extended attribute of the file the destination
// names (a link's target, for a link): the platform's label
// (security.selinux) and file capabilities (security.capability), without
// which a replaced program cannot enter its domain or keep its rights. The
// names go in the first half of buffer, each value in the second (64 KiB, an
// attribute's largest). 0, also where there is nothing to copy; else -1.
int copy_labels(const char* destination, int out, char* buffer, size_t size) {
    const size_t half = size / 2;
    const ssize_t names = listxattr(destination, buffer, half);
    if (names < 0) return errno == ENOENT || errno == ENOTSUP ? 0 : -1;
    char* value = buffer + half;
    for (ssize_t at = 0; at < names; at += static_cast<ssize_t>(strlen(buffer + at)) + 1) {
        const char* name = buffer + at;
        if (strncmp(name, "security.", 9) != 0) continue;
        const ssize_t length = getxattr(destination, name, value, half);
        if (length < 0 || fsetxattr(out, name, value, static_cast<size_t>(length), 0) != 0) {
            return -1;
        }
    }
    return 0;
}

// Creates the temporary file, open for access; a leftover of an earlier cut
// under its name is removed first. -1 with errno set, EEXIST where the name
// holds what cannot be removed.
int create_temporary(const char* temporary, int access) {
    const int flags = access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    const int out = open(temporary, flags, 0600);
    if (out >= 0 || errno != EEXIST) return out;
    if (unlink(temporary) != 0) {
        errno = EEXIST;
        return -1;
    }
    return open(temporary, flags, 0600);
}

// Writes the new content under the request's temporary path and, on the
// replacement road, renames it over the destination once it is on storage.
// On any failure the temporary file goes.
void replace(int in, const install_request* request, const old_file* old, install_result* state) {
    const char* temporary = request->temporary;
    const char* destination = request->destination;
    const bool now = request->road == INSTALL_REPLACE;
    const char* hash = request->expected_hash;
    const int access = hash != nullptr ? O_RDWR : O_WRONLY;  // read back to be hashed
    const int out = create_temporary(temporary, access);
    if (out < 0) {
        fail(state, INSTALL_OPEN_TARGET, errno);
        return;
    }
    copy_data(in, out, request, state);
    if (state->step == INSTALL_DONE && hash != nullptr) {
        (void)bytes_as_listed(out, state->bytes, request, INSTALL_WRITE_TARGET, state);
    }
    // Owner first: a change of owner clears the set-id bits the mode then sets.
    // A process without the right to give files away keeps them as its own.
    if (state->step == INSTALL_DONE && fchown(out, old->uid, old->gid) != 0 && errno != EPERM) {
        fail(state, INSTALL_WRITE_TARGET, errno);
    }
    if (state->step == INSTALL_DONE && fchmod(out, old->mode) != 0) {
        fail(state, INSTALL_WRITE_TARGET, errno);
    }
    // Labels last: a change of owner clears file capabilities.
    if (state->step == INSTALL_DONE && old->labelled &&
        copy_labels(destination, out, request->buffer, request->size) != 0) {
        fail(state, INSTALL_WRITE_TARGET, errno);
    }
    if (no_room(state) && now) release_space(out);
    finish_file(out, now, !now && request->wait_written, state);
    if (now && state->step == INSTALL_DONE && rename(temporary, destination) != 0) {
        fail(state, INSTALL_WRITE_TARGET, errno);
    }
    // The new file is in place now whatever this says: a failure here only
    // leaves the rename to the next flush.
    if (now && state->step == INSTALL_DONE) (void)install_sync_directory_of(destination);
    if (state->step != INSTALL_DONE && unlink(temporary) != 0 && errno != ENOENT) {
        state->leftover = true;
    }
}

// Whether the source's content fits into the old file's blocks and the room
// the partition has left: only then may the old file be given up for it.
bool fits_in_place(int in, const char* destination, const old_file* old) {
    struct stat st {};
    struct statvfs room {};
    if (fstat(in, &st) != 0 || statvfs(destination, &room) != 0) return false;
    return st.st_size <= old->blocks_bytes + install_free_bytes(&room);
}

// Overwrites the old regular file itself, from the source's start: the road
// for a partition that cannot hold the old and the new file at once.
void overwrite(int in, const install_request* request, install_result* state) {
    *state = install_result{INSTALL_DONE, 0, 0, true, state->names, state->leftover};
    if (lseek(in, 0, SEEK_SET) != 0) {
        fail(state, INSTALL_READ_SOURCE, errno);
        return;
    }
    const int out = open(request->destination, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (out < 0) {
        fail(state, INSTALL_OPEN_TARGET, errno);
        return;
    }
    release_space(out);
    copy_data(in, out, request, state);
    finish_file(out, true, false, state);
}

}  // namespace

int install_temporary_path(const char* destination, unsigned number, char* temporary, size_t size) {
    const char* slash = strrchr(destination, '/');
    const int directory = slash != nullptr ? static_cast<int>(slash - destination) + 1 : 0;
    const int length =
        number > 0 ? snprintf(temporary, size, "%.*s%s.%x", directory, destination,
                              INSTALL_TEMP_NAME, number)
                   : snprintf(temporary, size, "%.*s%s", directory, destination, INSTALL_TEMP_NAME);
    return length >= 0 && static_cast<size_t>(length) < size ? 0 : -1;
}

long long install_free_bytes(const struct statvfs* room) {
    const unsigned long long blocks = room->f_blocks / 50 < 4096 ? room->f_blocks / 50 : 4096;
    if (room->f_bavail <= blocks) return 0;
    return static_cast<long long>((room->f_bavail - blocks) * room->f_frsize);
}

int install_sync_directory_of(const char* path) {
    char directory[PATH_MAX];
    const char* slash = strrchr(path, '/');
    const int length = slash == nullptr ? snprintf(directory, sizeof directory, ".")
                       : slash == path  ? snprintf(directory, sizeof directory, "/")
                                        : snprintf(directory, sizeof directory, "%.*s",
                                                   static_cast<int>(slash - path), path);
    if (length < 0 || static_cast<size_t>(length) >= sizeof directory) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int result = fsync(fd) != 0 && errno != EINVAL ? -1 : 0;
    const int error = errno;
    (void)close(fd);
    errno = error;
    return result;
}

int install_wait_written(int fd) {
    int result = sync_file_range(
        fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    if (result != 0 && (errno == ENOSYS || errno == EINVAL || errno == ESPIPE)) {
        result = fdatasync(fd);
        if (result != 0 && errno == EINVAL) result = 0;
    }
    return result;
}

int install_file(const install_request* request, install_result* result) {
    *result = install_result{INSTALL_DONE, 0, 0, false, 0, false};
    const int in = open(request->source, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        fail(result, INSTALL_OPEN_SOURCE, errno);
    } else {
        old_file old;
        inspect(request, &old);
        const int named =
            request->road == INSTALL_FRESH
                ? (snprintf(request->temporary, request->temporary_size, "%s",
                            request->destination) < static_cast<int>(request->temporary_size)
                       ? 0
                       : -1)
                : install_temporary_path(request->destination,
                                         request->road == INSTALL_STAGE ? request->number : 0,
                                         request->temporary, request->temporary_size);
        if (old.is_dir) {
            fail(result, INSTALL_OPEN_TARGET, EISDIR);
        } else if (named != 0) {
            fail(result, INSTALL_OPEN_TARGET, ENAMETOOLONG);
        } else {
            result->names = old.names;
            replace(in, request, &old, result);
            if (request->road == INSTALL_REPLACE && no_room(result) && old.regular &&
                fits_in_place(in, request->destination, &old)) {
                const char* hash = request->expected_hash;
                if (hash != nullptr &&
                    !bytes_as_listed(in, -1, request, INSTALL_READ_SOURCE, result)) {
                    // The card's file is not the one listed: the old file stays untouched.
                } else if (request->before_in_place != nullptr &&
                           request->before_in_place(request->destination, request->context) != 0) {
                    fail(result, INSTALL_WRITE_TARGET, errno);
                } else {
                    overwrite(in, request, result);
                }
            }
        }
        (void)close(in);
    }
    return result->step == INSTALL_DONE ? 0 : -1;
}
