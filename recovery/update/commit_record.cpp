#include "commit_record.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_install.h"

namespace {

constexpr const char* RECORD_MAGIC = "ZQUPDATE1";
constexpr unsigned FNV_OFFSET = 2166136261u;
constexpr unsigned FNV_PRIME = 16777619u;
constexpr const char* const RECORD_ROOTS[] = {"/system", "/data"};

unsigned fnv(unsigned hash, const char* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        hash = (hash ^ static_cast<unsigned char>(bytes[i])) * FNV_PRIME;
    }
    return hash;
}

// Writes all of length bytes; -1 with errno set when that fails.
int write_all(int fd, const char* bytes, size_t length) {
    for (size_t done = 0; done < length;) {
        const ssize_t n = write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

void flush_buffer(commit_log* log) {
    if (log->pending > 0 && log->error == 0 && write_all(log->fd, log->buffer, log->pending) != 0) {
        log->error = errno;
    }
    log->pending = 0;
}

// Appends one field (with its NUL) to the record, counted in the checksum.
void add_field(commit_log* log, const char* field) {
    const size_t length = strlen(field) + 1;
    log->checksum = fnv(log->checksum, field, length);
    if (log->pending + length > sizeof log->buffer) flush_buffer(log);
    if (length > sizeof log->buffer) {
        if (log->error == 0 && write_all(log->fd, field, length) != 0) log->error = errno;
        return;
    }
    memcpy(log->buffer + log->pending, field, length);
    log->pending += length;
}

// Writes what is buffered and puts the record on storage; -1 with errno set.
int flush_to_storage(commit_log* log) {
    flush_buffer(log);
    if (log->error == 0 && fsync(log->fd) != 0 && errno != EINVAL) log->error = errno;
    if (log->error == 0) return 0;
    errno = log->error;
    return -1;
}

// A path under /system or /data made only of plain components; with
// below_root, not the root itself.
bool path_allowed(const char* path, bool below_root) {
    const char* rest = nullptr;
    for (const char* root : RECORD_ROOTS) {
        const size_t length = strlen(root);
        if (strncmp(path, root, length) == 0 && (path[length] == '\0' || path[length] == '/')) {
            rest = path + length;
        }
    }
    if (rest == nullptr || (below_root && *rest == '\0')) return false;
    while (*rest == '/') {
        const char* name = rest + 1;
        const size_t length = strcspn(name, "/");
        if (length == 0 || (length == 1 && name[0] == '.') ||
            (length == 2 && name[0] == '.' && name[1] == '.')) {
            return false;
        }
        rest = name + length;
    }
    return true;
}

// "<directory of destination>/<INSTALL_TEMP_NAME>.<number in hex>", as
// install_temporary_path makes it for a staged entry.
bool staged_name_allowed(const char* staged, const char* destination) {
    const char* slash = strrchr(destination, '/');
    const size_t directory = static_cast<size_t>(slash - destination) + 1;
    if (strncmp(staged, destination, directory) != 0) return false;
    const char* name = staged + directory;
    const size_t prefix = strlen(INSTALL_TEMP_NAME);
    if (strncmp(name, INSTALL_TEMP_NAME, prefix) != 0 || name[prefix] != '.') return false;
    const char* number = name + prefix + 1;
    const size_t digits = strspn(number, "0123456789abcdef");
    return digits > 0 && digits <= 8 && number[digits] == '\0' && number[0] != '0';
}

// The record file's fields, one at a time.
struct record_reader {
    int fd;
    size_t at;
    size_t end;
    unsigned checksum;  // of the fields read so far
    char buffer[4096];
};

enum field_result { FIELD_READ, FIELD_END, FIELD_CUT, FIELD_TOO_LONG, FIELD_ERROR };

// The next field into out (TEXT_BUFFER_SIZE bytes). FIELD_END at the end of
// the file, FIELD_CUT for a field the file ends inside.
field_result next_field(record_reader* reader, char* out) {
    for (size_t length = 0; length < TEXT_BUFFER_SIZE;) {
        if (reader->at == reader->end) {
            ssize_t n;
            do {
                n = read(reader->fd, reader->buffer, sizeof reader->buffer);
            } while (n < 0 && errno == EINTR);
            if (n < 0) return FIELD_ERROR;
            if (n == 0) return length == 0 ? FIELD_END : FIELD_CUT;
            reader->at = 0;
            reader->end = static_cast<size_t>(n);
        }
        const char c = reader->buffer[reader->at++];
        out[length++] = c;
        if (c == '\0') {
            reader->checksum = fnv(reader->checksum, out, length);
            return FIELD_READ;
        }
    }
    return FIELD_TOO_LONG;
}

void reject(record_summary* out, const char* why) {
    out->state = RECORD_REJECTED;
    out->why = why;
}

// Opens the record without following a link or blocking, and only when it
// is what the update writes; -1 with out saying why not.
int open_record(const char* path, record_summary* out) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0) {
        out->error = errno;
        if (lstat(path, &st) != 0 && errno == ENOENT) return -1;
        out->state = RECORD_UNREADABLE;
        if (S_ISLNK(st.st_mode) || (st.st_mode != 0 && !S_ISREG(st.st_mode))) {
            reject(out, "not a regular file");
        }
        return -1;
    }
    const char* why = fstat(fd, &st) != 0       ? "cannot be looked at"
                      : !S_ISREG(st.st_mode)    ? "not a regular file"
                      : st.st_uid != 0          ? "not owned by root"
                      : (st.st_mode & 022) != 0 ? "writable by others"
                      : st.st_nlink != 1        ? "has other names"
                                                : nullptr;
    if (why == nullptr) return fd;
    reject(out, why);
    (void)close(fd);
    return -1;
}

// Reads the fields after the road; fields[] holds TEXT_BUFFER_SIZE bytes each.
void read_fields(record_reader* reader, char (*fields)[TEXT_BUFFER_SIZE], record_visitor visit,
                 void* context, record_summary* out) {
    char* kind = fields[0];
    for (;;) {
        const unsigned before = reader->checksum;
        field_result r = next_field(reader, kind);
        if (r == FIELD_END || r == FIELD_CUT) return;
        // Fields after the kind: -1 for a kind the update does not write.
        const int width = r != FIELD_READ                                    ? -1
                          : strcmp(kind, "S") == 0 || strcmp(kind, "E") == 0 ? 2
                          : strcmp(kind, "D") == 0 || strcmp(kind, "P") == 0 ? 1
                          : strcmp(kind, "W") == 0                           ? 0
                                                                             : -1;
        for (int i = 1; r == FIELD_READ && i <= width; ++i) r = next_field(reader, fields[i]);
        if (r == FIELD_CUT) return;
        if (r == FIELD_ERROR) {
            out->state = RECORD_UNREADABLE;
            out->error = errno;
            return;
        }
        const char* first = fields[1];
        const char* second = fields[2];
        if (r != FIELD_READ || width < 0) return reject(out, "a damaged field");
        if (kind[0] == 'E') {
            char count[16];
            char sum[16];
            (void)snprintf(count, sizeof count, "%u", out->entries);
            (void)snprintf(sum, sizeof sum, "%x", before);
            if (strcmp(first, count) != 0 || strcmp(second, sum) != 0) {
                return reject(out, "its check fails");
            }
            r = next_field(reader, kind);
            if (r == FIELD_ERROR) {
                out->state = RECORD_UNREADABLE;
                out->error = errno;
                return;
            }
            if (r != FIELD_END) return reject(out, "a damaged field");
            out->sealed = true;
            return;
        }
        const bool allowed = kind[0] == 'W'   ? true
                             : kind[0] == 'D' ? record_directory_allowed(first)
                             : kind[0] == 'P'
                                 ? path_allowed(first, true)
                                 : path_allowed(second, true) && staged_name_allowed(first, second);
        if (!allowed) return reject(out, "it names a path the update does not write");
        if (kind[0] == 'S') ++out->entries;
        if (kind[0] == 'P') (void)snprintf(out->in_place, sizeof out->in_place, "%s", first);
        if (kind[0] == 'W') out->in_place[0] = '\0';
        if (visit != nullptr)
            visit(kind[0], width > 0 ? first : nullptr, width > 1 ? second : nullptr, context);
    }
}

}  // namespace

bool record_directory_allowed(const char* directory) {
    return path_allowed(directory, false);
}

void record_read(const char* path, record_visitor visit, void* context, record_summary* out) {
    out->state = RECORD_ABSENT;
    out->error = 0;
    out->why = "";
    const int fd = open_record(path, out);
    if (fd < 0) return;
    record_read_descriptor(fd, visit, context, out);
    (void)close(fd);
}

void record_read_descriptor(int fd, record_visitor visit, void* context, record_summary* out) {
    out->error = 0;
    out->why = "";
    out->road = COMMIT_ALL_OR_NOTHING;
    out->sealed = false;
    out->entries = 0;
    out->in_place[0] = '\0';
    auto* reader = static_cast<record_reader*>(malloc(sizeof(record_reader)));
    auto* fields = static_cast<char(*)[TEXT_BUFFER_SIZE]>(malloc(3 * TEXT_BUFFER_SIZE));
    if (reader == nullptr || fields == nullptr) {
        out->state = RECORD_UNREADABLE;
        out->error = ENOMEM;
    } else {
        *reader = record_reader{fd, 0, 0, FNV_OFFSET, {}};
        out->state = RECORD_TRUSTED;
        const field_result magic = next_field(reader, fields[0]);
        const bool known = magic == FIELD_READ && strcmp(fields[0], RECORD_MAGIC) == 0;
        const field_result road = known ? next_field(reader, fields[0]) : FIELD_END;
        if (magic == FIELD_ERROR || road == FIELD_ERROR) {
            out->state = RECORD_UNREADABLE;
            out->error = errno;
        } else if (magic == FIELD_END || magic == FIELD_CUT ||
                   (known && (road == FIELD_END || road == FIELD_CUT))) {
            // Cut as it was first written: it holds nothing yet.
        } else if (!known || road != FIELD_READ ||
                   (strcmp(fields[0], "T") != 0 && strcmp(fields[0], "F") != 0)) {
            reject(out, "a damaged field");
        } else {
            out->road = fields[0][0] == 'F' ? COMMIT_FILE_BY_FILE : COMMIT_ALL_OR_NOTHING;
            read_fields(reader, fields, visit, context, out);
        }
    }
    free(fields);
    free(reader);
}

int record_set_aside(const char* path) {
    if (rename(path, COMMIT_RECORD_ASIDE_PATH) != 0) {
        // Whatever was set aside before makes room.
        if (unlink(COMMIT_RECORD_ASIDE_PATH) != 0) (void)rmdir(COMMIT_RECORD_ASIDE_PATH);
        if (rename(path, COMMIT_RECORD_ASIDE_PATH) != 0) return -1;
    }
    return install_sync_directory_of(path);
}

int commit_begin(commit_log* log, commit_road road) {
    *log = commit_log{-1, 0, road, 0, FNV_OFFSET, 0, {}};
    if (unlink(COMMIT_RECORD_NEW_PATH) != 0 && errno != ENOENT) return -1;
    log->fd =
        open(COMMIT_RECORD_NEW_PATH, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (log->fd < 0) return -1;
    add_field(log, RECORD_MAGIC);
    add_field(log, road == COMMIT_ALL_OR_NOTHING ? "T" : "F");
    if (flush_to_storage(log) == 0 && install_sync_directory_of(COMMIT_RECORD_NEW_PATH) == 0) {
        return 0;
    }
    const int error = errno;
    commit_close(log);
    (void)unlink(COMMIT_RECORD_NEW_PATH);
    errno = error;
    return -1;
}

int commit_note_directory(commit_log* log, const char* directory) {
    if (!record_directory_allowed(directory)) {
        errno = EINVAL;
        return -1;
    }
    add_field(log, "D");
    add_field(log, directory);
    return flush_to_storage(log);
}

void commit_add(commit_log* log, const char* temporary, const char* destination) {
    ++log->entries;
    add_field(log, "S");
    add_field(log, temporary);
    add_field(log, destination);
}

int commit_flush(commit_log* log) {
    flush_buffer(log);
    errno = log->error;
    return log->error == 0 ? 0 : -1;
}

int commit_close_sealed(commit_log* log) {
    char count[16];
    char sum[16];
    (void)snprintf(sum, sizeof sum, "%x", log->checksum);
    (void)snprintf(count, sizeof count, "%u", log->entries);
    add_field(log, "E");
    add_field(log, count);
    add_field(log, sum);
    (void)flush_to_storage(log);
    if (close(log->fd) != 0 && log->error == 0 && errno != EINTR) log->error = errno;
    log->fd = -1;
    if (log->error == 0 && rename(COMMIT_RECORD_NEW_PATH, COMMIT_RECORD_PATH) != 0) {
        log->error = errno;
    }
    if (log->error != 0) {
        errno = log->error;
        return -1;
    }
    // The commit point; the renames wait until it is on storage.
    return install_sync_directory_of(COMMIT_RECORD_PATH) == 0 ? 0 : 1;
}

void commit_close(commit_log* log) {
    if (log->fd >= 0) (void)close(log->fd);
    log->fd = -1;
}

int commit_note_in_place(const char* destination, void* context) {
    auto* log = static_cast<commit_log*>(context);
    add_field(log, "P");
    add_field(log, destination);
    return flush_to_storage(log);
}

void commit_in_place_done(commit_log* log) {
    add_field(log, "W");
    (void)flush_to_storage(log);
}
