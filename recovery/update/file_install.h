// Installs one update file by replacement: the new content is written to a
// temporary file beside the destination and given the old file's owner, mode
// and security labels; then either flushed and renamed over it at once, or
// left staged for an update's commit to rename. A cut at any moment leaves
// the old file or the new one whole, and processes that run or hold the old
// file go on with it.
#pragma once

#include <stddef.h>
#include <sys/statvfs.h>

// The temporary file's name in the destination's directory: short, so that
// every destination the walk accepts still fits, and with no extension that
// the platform loads (.so, .apk, .jar, .odex, .prop, .rc ...). A staged file
// adds "." and its number in hex. A leftover from an earlier cut is removed
// before use.
constexpr const char* INSTALL_TEMP_NAME = ".zq-installing";
// Mode of a file that replaces no regular file, whatever the umask.
constexpr unsigned INSTALL_NEW_FILE_MODE = 0644;

// The step that failed, which names the side the message names.
enum install_step {
    INSTALL_DONE,           // installed
    INSTALL_OPEN_SOURCE,    // the source could not be opened
    INSTALL_OPEN_TARGET,    // the destination (or its temporary file) could not be created
    INSTALL_READ_SOURCE,    // reading the source failed
    INSTALL_WRITE_TARGET,   // writing, flushing or renaming failed
    INSTALL_NOT_AS_LISTED,  // the bytes are not those the request's hash lists
};

struct install_result {
    install_step step;
    int error;        // errno of the failed step; 0 when installed
    long long bytes;  // bytes written to the destination
    bool in_place;    // written into the old file: the partition could not hold both
    unsigned names;   // names the replaced regular file had: more than 1, the others keep it
    bool leftover;    // the temporary file could not be removed
};

// What a long file's work is doing when it tells how far it has gone.
enum install_phase {
    INSTALL_COPYING,   // writing the new content
    INSTALL_CHECKING,  // hashing it (or the card's file, before a write in place)
};
// Bytes between two reports of a long file's work.
constexpr long long INSTALL_PROGRESS_CHUNK = 1 << 20;

// What becomes of the new content.
enum install_road {
    // Flushed and renamed over the destination, the rename itself on storage
    // before install_file returns. Where the copy runs out of room (ENOSPC),
    // the destination is a regular file and the new content fits into its
    // blocks and the room left, the old file is overwritten in place instead;
    // where it does not fit, the old file stays whole.
    INSTALL_REPLACE,
    // Left unflushed under the numbered temporary name, for a commit to rename.
    INSTALL_STAGE,
    // Written under the destination's own name, unflushed: a file of a new
    // directory that is itself staged, where no old file can be.
    INSTALL_FRESH,
};

struct install_request {
    const char* source;
    const char* destination;
    install_road road;
    unsigned number;        // INSTALL_STAGE: the staged file's number, from 1
    char* temporary;        // temporary_size bytes: receives the path written
    size_t temporary_size;  // (the temporary file's, or the destination's)
    char* buffer;           // the copy buffer, size bytes; 128 KiB or more for labels
    size_t size;
    // INSTALL_REPLACE: called before a file is written in place, which a cut
    // then leaves damaged; a failure (-1, errno set) fails the file instead.
    int (*before_in_place)(const char* destination, void* context);
    void* context;
    // INSTALL_STAGE and INSTALL_FRESH: the file's data waited for on storage
    // before it is closed (kernels whose one flush clears a file's write
    // error), a failure failing the file.
    bool wait_written;
    // The SHA-256 the new content must have (64 hex digits), or nullptr: the
    // bytes written are read back and hashed before they may take effect, and
    // a file written in place is hashed on the card before it is touched.
    const char* expected_hash;
    // Where set: told, at most once a chunk (INSTALL_PROGRESS_CHUNK), how many
    // bytes of a phase are done; a file smaller than a chunk is never reported.
    void (*progress)(install_phase phase, long long done, void* context);
    void* progress_context;
};

// "<directory of destination>/<INSTALL_TEMP_NAME>", with ".<number in hex>"
// when number > 0, into temporary; -1 when it does not fit.
int install_temporary_path(const char* destination, unsigned number, char* temporary, size_t size);

// Installs one file as the request says. A destination that is a directory
// is left alone (EISDIR), and so is a link to one; any other symbolic link is
// replaced by the file, its target untouched. On failure nothing is left under the temporary
// name. Returns 0 when installed (or staged), -1 otherwise; *result says which.
int install_file(const install_request* request, install_result* result);
// Bytes new files may take on the file system statvfs describes: what it
// offers, less what ext4 keeps back even from root (2% of its blocks, at most
// 4,096), which statvfs does not show.
long long install_free_bytes(const struct statvfs* room);
// Writes out what fd holds and waits for it, without a journal commit where
// the kernel can: 0, or -1 with errno set (the file's write error).
int install_wait_written(int fd);
// Flushes the directory that holds path: what was renamed or removed in it is
// then on storage. 0, or -1 with errno set.
int install_sync_directory_of(const char* path);
