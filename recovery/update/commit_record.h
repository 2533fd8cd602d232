// The commit record of an update, the one place its format is written and
// read. It makes a whole update take effect at once, and lets the next start
// finish one a cut interrupted after its commit point or remove what it had
// staged before.
//
// The record is a file of NUL-terminated fields, each shorter than
// TEXT_BUFFER_SIZE: "ZQUPDATE1", the road ("T" all or nothing, "F" file by
// file), then any of
//   "D" <directory>             the update writes staged or temporary names there
//                               (on storage before the first of them is)
//   "S" <staged> <destination>  a staged file or directory, renamed at the commit
//   "P" <destination>           a file about to be written in place
//   "W"                         the file of the last "P" is whole again
// and, in a sealed record, last: "E" <number of "S"> <checksum>, the checksum
// being FNV-1a of every field before "E", in hex.
//
// A record is trusted no further than the update could have written it: a
// regular file with one name, owned by root and writable by no one else;
// every path under /system or /data with no "." or ".." component; every
// staged name the installer's own, beside its destination.
#pragma once

#include <stddef.h>

#include "recovery_facts.h"

// The sealed record: its presence is the commit.
constexpr const char* COMMIT_RECORD_PATH = "/data/.zq-update";
// The record while the update runs: its presence says an update was under way.
constexpr const char* COMMIT_RECORD_NEW_PATH = "/data/.zq-update.new";
// Where a record that cannot be trusted or finished is set aside.
constexpr const char* COMMIT_RECORD_ASIDE_PATH = "/data/.zq-update.rejected";
// Bytes a record takes per staged entry beyond its two paths.
constexpr size_t COMMIT_ENTRY_BYTES = 5;

enum commit_road {
    COMMIT_ALL_OR_NOTHING,
    COMMIT_FILE_BY_FILE,
};

// The record being written (COMMIT_RECORD_NEW_PATH).
struct commit_log {
    int fd;     // -1 when none is open
    int error;  // errno of its first failed write, 0 while none failed
    commit_road road;
    unsigned entries;  // "S" fields so far
    unsigned checksum;
    size_t pending;  // bytes of buffer not yet written
    char buffer[8192];
};

// Starts the record of an update, on storage when it returns. 0, or -1 with
// errno set (no record: the update then has none).
int commit_begin(commit_log* log, commit_road road);
// Lists directory, on storage, before the update writes a name of its own
// there. 0, or -1 with errno set (EINVAL: a directory no record may name).
int commit_note_directory(commit_log* log, const char* directory);
// Lists a staged file or directory: temporary is renamed to destination at
// the commit. A write that fails is kept in log->error for the seal.
void commit_add(commit_log* log, const char* temporary, const char* destination);
// Writes the buffered fields. 0, or -1 with errno set.
int commit_flush(commit_log* log);
// Seals the record (flushed) and renames it to COMMIT_RECORD_PATH. 0, or -1
// with errno set; 1 when the rename could not be flushed.
int commit_close_sealed(commit_log* log);
// Closes the record without sealing it (it stays on the device).
void commit_close(commit_log* log);
// The file-by-file road: the record names destination, on storage, before
// the file is written in place (context is the commit_log); 0 or -1 with
// errno set. commit_in_place_done says the file is whole again.
int commit_note_in_place(const char* destination, void* context);
void commit_in_place_done(commit_log* log);

// What reading a record found.
enum record_state {
    RECORD_ABSENT,
    RECORD_TRUSTED,
    RECORD_UNREADABLE,  // a read failed (error)
    RECORD_REJECTED,    // not what the update writes (why)
};
struct record_summary {
    record_state state;
    int error;
    const char* why;
    commit_road road;
    bool sealed;                      // ends in a trailer that matches
    unsigned entries;                 // "S" fields
    char in_place[TEXT_BUFFER_SIZE];  // the file a "P" names and no "W" cleared, or ""
};
// Called per field after "ZQUPDATE1" and the road: kind 'D', 'S', 'P' or 'W',
// with its paths (or nullptr).
using record_visitor = void (*)(char kind, const char* first, const char* second, void* context);
// Reads the record at path to its end, checking every field before it is
// visited. A field cut short at the end (a cut while it was appended) ends
// the record there. Never follows a link and never blocks.
void record_read(const char* path, record_visitor visit, void* context, record_summary* out);
// The same from fd, a record record_read would trust (the fuzzer's seam).
void record_read_descriptor(int fd, record_visitor visit, void* context, record_summary* out);
// Moves the record at path to COMMIT_RECORD_ASIDE_PATH, on storage, replacing
// one set aside before. 0, or -1 with errno set.
int record_set_aside(const char* path);
// Whether directory is one a record may name ("/system", "/data" or below,
// no "." or ".." component).
bool record_directory_allowed(const char* directory);
