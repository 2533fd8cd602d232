// The update walk's decisions, shared with the integrators' checker: what is
// taken, what is skipped and why.
#pragma once

#include <stddef.h>
#include <sys/stat.h>

// What the walk does with one directory entry of the update tree.
enum update_choice {
    UPDATE_IGNORED,        // "." and "..", and at the root anything but system and data: silently
    UPDATE_PATH_TOO_LONG,  // its path does not fit: skipped by name
    UPDATE_RESERVED,       // a name the installer keeps for itself: reported and skipped
    UPDATE_UNREADABLE,     // lstat failed (entry->error): reported and skipped
    UPDATE_DIRECTORY,      // created where missing, then walked
    UPDATE_FILE,           // installed
    UPDATE_OTHER,          // a symbolic link, FIFO, socket or device node: skipped silently
};

// One entry as update_decide found it.
struct update_entry {
    char* source;       // TEXT_BUFFER_SIZE bytes: "<directory>/<name>"
    char* destination;  // TEXT_BUFFER_SIZE bytes: the source without the update root
    struct stat st;     // lstat of the source, unless ignored, too long or unreadable
    int error;          // errno of the failed lstat
};

// How an entry is looked at: lstat of the source on the device; the checker
// looks at the same entry in a folder on the desk. 0, or -1 with errno set.
using update_stat_function = int (*)(const char* source, struct stat* st, void* context);

// Whether the walk takes a name at all: never "." and "..", and at the update
// root (depth 0) only "system" and "data".
bool update_takes(const char* name, int depth);

// Whether a name is one the installer keeps for its own files in a
// directory: its temporary and staged names (beginning ".zq-installing") and
// its records' (beginning ".zq-update").
bool update_name_reserved(const char* name);

// Builds the entry's source and destination (the source without its first
// root_length characters) and decides what the walk does with it.
update_choice update_decide(const char* directory, const char* name, int depth, size_t root_length,
                            update_stat_function stat_entry, void* context, update_entry* entry);
