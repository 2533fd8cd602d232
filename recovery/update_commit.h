// The commit record of an update: what makes a whole update take effect at
// once, and what lets the next start finish one a cut interrupted after its
// commit point or remove what it had staged before.
//
// The record is a file of NUL-terminated fields: "ZQUPDATE1", the road
// ("T" all or nothing, "F" file by file), then "S" <temporary> <destination>
// per staged entry and "P" <destination> for a file being written in place;
// a sealed record ends with "E" <entries> <checksum> (FNV-1a of every field
// before "E", in hex).
#pragma once

#include <stddef.h>

// Where the record lives: sealed, or naming a file being written in place.
constexpr const char* COMMIT_RECORD_PATH = "/data/.zq-update";
// The record while the walk stages: its existence says an update was under way.
constexpr const char* COMMIT_RECORD_NEW_PATH = "/data/.zq-update.new";
// Bytes a record takes per staged entry beyond its two paths.
constexpr size_t COMMIT_ENTRY_BYTES = 5;

enum commit_road {
    COMMIT_ALL_OR_NOTHING,
    COMMIT_FILE_BY_FILE,
};

// The record being written.
struct commit_log {
    int fd;     // COMMIT_RECORD_NEW_PATH, -1 when none is open
    int error;  // errno of its first failed write, 0 while none failed
    commit_road road;
    unsigned entries;  // staged entries so far; the next one's number is entries + 1
    unsigned checksum;
    size_t pending;  // bytes of buffer not yet written
    char buffer[8192];
};

// Starts the record of an update on the given road, on storage when it
// returns. 0, or -1 with errno set (no record: the update then has none).
int commit_begin(commit_log* log, commit_road road);
// Lists a staged file or directory: temporary is renamed to destination at
// the commit. A write that fails is kept in log->error for commit_seal.
void commit_add(commit_log* log, const char* temporary, const char* destination);
// Puts every staged entry and the record on storage and seals the record: the
// commit point. 0, or -1 with errno set: nothing takes effect then.
int commit_seal(commit_log* log);

// The file-by-file road: the record names destination, on storage, before
// the file is written in place (log is the commit_log); 0 or -1 with errno
// set. commit_in_place_done drops the name once the file is whole again.
int commit_note_in_place(const char* destination, void* log);
void commit_in_place_done(commit_log* log);

// Called for a staged entry that could not be renamed into place.
using commit_report = void (*)(const char* destination, int error, void* context);
// Renames what the sealed record lists (a temporary file already gone was
// renamed before), flushes that, and removes the record. Returns the entries
// renamed; each failure goes to report. -1 with errno set when the record
// cannot be read to its end: it then stays, for the next start.
int commit_apply(commit_report report, void* context);
// Removes the record, on storage: the file-by-file road's end.
void commit_end();
// Removes every staged file and directory below /system and /data (the
// temporary names, followed through links to directories) and the record,
// all on storage.
void commit_discard(commit_log* log);
// Removes every staged name below /system and /data, on storage: what a
// failed clean-up may have left once nothing is staged any more.
void commit_sweep();

// What a cut left, as the next start finds it.
enum commit_found {
    COMMIT_NOTHING,
    COMMIT_SEALED,            // committed: the renames are to be completed
    COMMIT_STAGING,           // cut before the commit point: staged files to remove
    COMMIT_CUT_FILE_BY_FILE,  // cut on the file-by-file road
};
// Reads the record. in_place (size bytes) receives the file that was being
// written in place, or "" when none was.
commit_found commit_find(char* in_place, size_t size);
