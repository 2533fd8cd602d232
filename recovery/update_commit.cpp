#include "update_commit.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_install.h"
#include "recovery_facts.h"

namespace {

constexpr const char* RECORD_MAGIC = "ZQUPDATE1";
constexpr unsigned FNV_OFFSET = 2166136261u;
constexpr unsigned FNV_PRIME = 16777619u;

const char* road_field(commit_road road) {
    return road == COMMIT_ALL_OR_NOTHING ? "T" : "F";
}

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

// The record file's fields, one at a time.
struct record_reader {
    int fd;
    size_t at;
    size_t end;
    unsigned checksum;  // of the fields read so far
    char buffer[4096];
};

// The next field into out (size bytes); false at the end of the file, on a
// read error, or for a field that does not fit (a damaged record).
bool next_field(record_reader* reader, char* out, size_t size) {
    for (size_t length = 0; length < size;) {
        if (reader->at == reader->end) {
            ssize_t n;
            do {
                n = read(reader->fd, reader->buffer, sizeof reader->buffer);
            } while (n < 0 && errno == EINTR);
            if (n <= 0) return false;
            reader->at = 0;
            reader->end = static_cast<size_t>(n);
        }
        const char c = reader->buffer[reader->at++];
        out[length++] = c;
        if (c == '\0') {
            reader->checksum = fnv(reader->checksum, out, length);
            return true;
        }
    }
    return false;
}

// Reads past count fields, with field (TEXT_BUFFER_SIZE bytes) as scratch.
bool skip_fields(record_reader* reader, char* field, int count) {
    for (int i = 0; i < count; ++i) {
        if (!next_field(reader, field, TEXT_BUFFER_SIZE)) return false;
    }
    return true;
}

// What one record file says. sealed: it ends in a trailer that matches.
struct record_summary {
    bool readable;
    bool sealed;
    commit_road road;
};

// Reads the record at path to its end; in_place receives its "P" name, if any.
record_summary read_record(const char* path, char* in_place, size_t size) {
    record_summary summary{false, false, COMMIT_ALL_OR_NOTHING};
    auto* reader = static_cast<record_reader*>(malloc(sizeof(record_reader)));
    char* field = static_cast<char*>(malloc(TEXT_BUFFER_SIZE));
    if (reader != nullptr) reader->fd = open(path, O_RDONLY | O_CLOEXEC);
    if (reader == nullptr || field == nullptr || reader->fd < 0) {
        if (reader != nullptr && reader->fd >= 0) (void)close(reader->fd);
        free(field);
        free(reader);
        return summary;
    }
    reader->at = reader->end = 0;
    reader->checksum = FNV_OFFSET;
    summary.readable = next_field(reader, field, TEXT_BUFFER_SIZE) &&
                       strcmp(field, RECORD_MAGIC) == 0 &&
                       next_field(reader, field, TEXT_BUFFER_SIZE);
    summary.road =
        summary.readable && strcmp(field, "F") == 0 ? COMMIT_FILE_BY_FILE : COMMIT_ALL_OR_NOTHING;
    unsigned entries = 0;
    while (summary.readable) {
        const unsigned before = reader->checksum;
        if (!next_field(reader, field, TEXT_BUFFER_SIZE)) break;
        if (strcmp(field, "S") == 0) {
            ++entries;
            if (!skip_fields(reader, field, 2)) break;
        } else if (strcmp(field, "P") == 0) {
            if (!next_field(reader, field, TEXT_BUFFER_SIZE)) break;
            (void)snprintf(in_place, size, "%s", field);
        } else {
            char count[16];
            char sum[16];
            (void)snprintf(count, sizeof count, "%u", entries);
            (void)snprintf(sum, sizeof sum, "%x", before);
            summary.sealed =
                strcmp(field, "E") == 0 && next_field(reader, field, TEXT_BUFFER_SIZE) &&
                strcmp(field, count) == 0 && next_field(reader, field, TEXT_BUFFER_SIZE) &&
                strcmp(field, sum) == 0 && !next_field(reader, field, TEXT_BUFFER_SIZE);
            break;
        }
    }
    (void)close(reader->fd);
    free(field);
    free(reader);
    return summary;
}

}  // namespace

namespace {

// Writes a small record of the given fields to path, flushed, its name on storage.
int write_record(const char* path, const char* const* fields, int count) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    int error = 0;
    for (int i = 0; i < count && error == 0; ++i) {
        if (write_all(fd, fields[i], strlen(fields[i]) + 1) != 0) error = errno;
    }
    if (error == 0 && fsync(fd) != 0 && errno != EINVAL) error = errno;
    if (close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
    if (error == 0 && install_sync_directory_of(path) != 0) error = errno;
    if (error == 0) return 0;
    (void)unlink(path);
    errno = error;
    return -1;
}

bool is_staged_name(const char* name) {
    const size_t length = strlen(INSTALL_TEMP_NAME);
    return strncmp(name, INSTALL_TEMP_NAME, length) == 0 &&
           (name[length] == '\0' || name[length] == '.');
}

// Appends "/name" to the path in buffer (TEXT_BUFFER_SIZE bytes); false when it does not fit.
bool push_name(char* path, size_t length, const char* name) {
    return static_cast<size_t>(snprintf(path + length, TEXT_BUFFER_SIZE - length, "/%s", name)) <
           TEXT_BUFFER_SIZE - length;
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
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        if (push_name(path, length, entry->d_name)) remove_all(path);
        path[length] = '\0';
    }
    if (dir != nullptr) (void)closedir(dir);
    (void)rmdir(path);
}

// The directories a scan is inside, so that a link back up is not followed.
struct scan_level {
    dev_t device;
    ino_t inode;
    const scan_level* up;
};

// Removes every staged name below the directory at path.
void remove_staged(char* path, const scan_level* up) {
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return;
    for (const scan_level* l = up; l != nullptr; l = l->up) {
        if (l->device == st.st_dev && l->inode == st.st_ino) return;
    }
    const scan_level here{st.st_dev, st.st_ino, up};
    DIR* dir = opendir(path);
    if (dir == nullptr) return;
    const size_t length = strlen(path);
    for (const dirent* entry; (entry = readdir(dir)) != nullptr;) {
        const char* name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        if (push_name(path, length, name)) {
            if (is_staged_name(name)) {
                remove_all(path);
            } else if (entry->d_type == DT_DIR || entry->d_type == DT_LNK ||
                       entry->d_type == DT_UNKNOWN) {
                remove_staged(path, &here);
            }
        }
        path[length] = '\0';
    }
    (void)closedir(dir);
}

// Removes the record files, on storage.
void remove_records() {
    (void)unlink(COMMIT_RECORD_PATH);
    (void)unlink(COMMIT_RECORD_NEW_PATH);
    (void)install_sync_directory_of(COMMIT_RECORD_PATH);
}

}  // namespace

int commit_begin(commit_log* log, commit_road road) {
    *log = commit_log{-1, 0, road, 0, FNV_OFFSET, 0, {}};
    log->fd = open(COMMIT_RECORD_NEW_PATH, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log->fd < 0) return -1;
    add_field(log, RECORD_MAGIC);
    add_field(log, road_field(road));
    flush_buffer(log);
    if (log->error == 0 && fsync(log->fd) != 0 && errno != EINVAL) log->error = errno;
    if (log->error == 0 && install_sync_directory_of(COMMIT_RECORD_NEW_PATH) != 0) {
        log->error = errno;
    }
    if (log->error == 0 && road == COMMIT_ALL_OR_NOTHING) return 0;
    // The file-by-file road needs the record only as a mark that it is under way.
    (void)close(log->fd);
    log->fd = -1;
    if (log->error == 0) return 0;
    (void)unlink(COMMIT_RECORD_NEW_PATH);
    errno = log->error;
    return -1;
}

void commit_add(commit_log* log, const char* temporary, const char* destination) {
    ++log->entries;
    add_field(log, "S");
    add_field(log, temporary);
    add_field(log, destination);
}

int commit_seal(commit_log* log) {
    flush_buffer(log);
    sync();  // every staged file and directory, on both partitions, and the list
    char count[16];
    char sum[16];
    (void)snprintf(sum, sizeof sum, "%x", log->checksum);
    (void)snprintf(count, sizeof count, "%u", log->entries);
    add_field(log, "E");
    add_field(log, count);
    add_field(log, sum);
    flush_buffer(log);
    if (log->error == 0 && fsync(log->fd) != 0 && errno != EINVAL) log->error = errno;
    if (close(log->fd) != 0 && log->error == 0 && errno != EINTR) log->error = errno;
    log->fd = -1;
    if (log->error == 0 && rename(COMMIT_RECORD_NEW_PATH, COMMIT_RECORD_PATH) != 0) {
        log->error = errno;
    }
    if (log->error != 0) {
        errno = log->error;
        return -1;
    }
    // The commit point. Should this flush fail, the one after the renames covers it.
    (void)install_sync_directory_of(COMMIT_RECORD_PATH);
    return 0;
}

int commit_note_in_place(const char* destination, void* /*log*/) {
    const char* const fields[] = {RECORD_MAGIC, "F", "P", destination};
    return write_record(COMMIT_RECORD_PATH, fields, 4);
}

void commit_in_place_done(commit_log* /*log*/) {
    (void)unlink(COMMIT_RECORD_PATH);
    (void)install_sync_directory_of(COMMIT_RECORD_PATH);
}

int commit_apply(commit_report report, void* context) {
    int renamed = 0;
    bool complete = false;
    int error = ENOMEM;
    auto* reader = static_cast<record_reader*>(malloc(sizeof(record_reader)));
    char* fields = static_cast<char*>(malloc(2 * TEXT_BUFFER_SIZE));
    if (reader != nullptr) reader->fd = -1;
    if (reader != nullptr && fields != nullptr &&
        (reader->fd = open(COMMIT_RECORD_PATH, O_RDONLY | O_CLOEXEC)) < 0) {
        error = errno;
    }
    if (reader != nullptr && reader->fd >= 0) {
        reader->at = reader->end = 0;
        reader->checksum = FNV_OFFSET;
        char* temporary = fields;
        char* destination = fields + TEXT_BUFFER_SIZE;
        errno = EIO;  // a record that ends early
        while (!complete && next_field(reader, temporary, TEXT_BUFFER_SIZE)) {
            complete = strcmp(temporary, "E") == 0;
            if (strcmp(temporary, "S") != 0) continue;
            if (!next_field(reader, temporary, TEXT_BUFFER_SIZE) ||
                !next_field(reader, destination, TEXT_BUFFER_SIZE)) {
                break;
            }
            struct stat st {};
            if (lstat(temporary, &st) != 0) continue;  // renamed before a cut
            if (rename(temporary, destination) == 0) {
                ++renamed;
            } else {
                report(destination, errno, context);
                (void)unlink(temporary);
            }
            errno = EIO;
        }
        error = errno;
        (void)close(reader->fd);
    }
    free(fields);
    free(reader);
    if (!complete) {
        errno = error;
        return -1;
    }
    sync();
    remove_records();
    return renamed;
}

void commit_end() {
    remove_records();
}

void commit_discard(commit_log* log) {
    if (log != nullptr && log->fd >= 0) {
        (void)close(log->fd);
        log->fd = -1;
    }
    commit_sweep();
    remove_records();
}

void commit_sweep() {
    char* path = static_cast<char*>(malloc(TEXT_BUFFER_SIZE));
    static const char* const ROOTS[] = {"/system", "/data"};
    for (const char* root : ROOTS) {
        if (path == nullptr) break;
        (void)snprintf(path, TEXT_BUFFER_SIZE, "%s", root);
        remove_staged(path, nullptr);
    }
    free(path);
    sync();
}

commit_found commit_find(char* in_place, size_t size) {
    in_place[0] = '\0';
    const record_summary record = read_record(COMMIT_RECORD_PATH, in_place, size);
    if (record.sealed) return COMMIT_SEALED;
    const record_summary marker = read_record(COMMIT_RECORD_NEW_PATH, in_place, size);
    const record_summary& found = record.readable ? record : marker;
    if (found.readable) {
        return found.road == COMMIT_FILE_BY_FILE ? COMMIT_CUT_FILE_BY_FILE : COMMIT_STAGING;
    }
    struct stat st {};
    // A record cut as it was first written: staged names may still be there.
    if (lstat(COMMIT_RECORD_PATH, &st) == 0 || lstat(COMMIT_RECORD_NEW_PATH, &st) == 0) {
        return COMMIT_STAGING;
    }
    return COMMIT_NOTHING;
}
