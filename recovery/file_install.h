// Installs one update file by replacement: the new content is written to a
// temporary file beside the destination, flushed, given the old file's owner,
// mode and security labels, and renamed over it, so that a cut at any moment leaves the old
// file or the new one whole, and processes that run or hold the old file go
// on with it.
#pragma once

#include <stddef.h>

// The temporary file's name in the destination's directory: short, so that
// every destination the walk accepts still fits, and with no extension that
// the platform loads (.so, .apk, .jar, .odex, .prop, .rc ...). A leftover
// from an earlier cut is removed before use.
constexpr const char* INSTALL_TEMP_NAME = ".zq-installing";
// Mode of a file that replaces no regular file, whatever the umask.
constexpr unsigned INSTALL_NEW_FILE_MODE = 0644;

// The step that failed, which names the side the message names.
enum install_step {
    INSTALL_DONE,          // installed
    INSTALL_OPEN_SOURCE,   // the source could not be opened
    INSTALL_OPEN_TARGET,   // the destination (or its temporary file) could not be created
    INSTALL_READ_SOURCE,   // reading the source failed
    INSTALL_WRITE_TARGET,  // writing, flushing or renaming failed
};

struct install_result {
    install_step step;
    int error;        // errno of the failed step; 0 when installed
    long long bytes;  // bytes written to the destination
    bool in_place;    // written into the old file: the partition could not hold both
    unsigned names;   // names the replaced regular file had: more than 1, the others keep it
};

// Installs source as destination through buffer (size bytes), using
// temporary (a buffer of temporary_size bytes) for the temporary file's
// path. Where the copy runs out of room (ENOSPC), the destination is a
// regular file and the new content fits into its blocks and the room left,
// the temporary file is removed and the old file is overwritten in place
// instead; where it does not fit, the old file stays whole. A destination that is a directory is
// left alone (EISDIR); one that is a symbolic link is replaced by the file, its target untouched.
// Returns 0 when installed, -1 otherwise; *result says which.
int install_file(const char* source, const char* destination, char* temporary,
                 size_t temporary_size, char* buffer, size_t size, install_result* result);
