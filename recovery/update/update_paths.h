// The update walk's decisions and the one walk of an update tree, shared by
// the plan, the install and the integrators' checker: what is taken, what is
// skipped and why.
#pragma once

#include <stddef.h>
#include <sys/stat.h>

// What the walk does with one directory entry of the update tree.
enum update_choice {
    UPDATE_IGNORED,        // "." and "..", and at the root anything but system and data: silently
    UPDATE_PATH_TOO_LONG,  // its path does not fit: skipped by name
    UPDATE_RESERVED,       // a name the installer keeps for itself: reported and skipped
    UPDATE_UNREADABLE,     // lstat failed (entry->error): reported and skipped
    UPDATE_NOT_A_TREE,     // system or data at the update root, not a directory: reported
    UPDATE_LISTED_TWICE,   // a name its directory listed before (a damaged card): reported
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
// root_length characters) and decides what the walk does with it (all but
// UPDATE_LISTED_TWICE, which only the walk of a whole level can tell).
update_choice update_decide(const char* directory, const char* name, int depth, size_t root_length,
                            update_stat_function stat_entry, void* context, update_entry* entry);

// How a tree is read: the device reads its card; the checker reads a folder
// on the desk, in its own order. Paths are the device's.
struct update_tree {
    // The directory at path, open for its names; nullptr, errno set, when it cannot be.
    void* (*open)(const char* path, void* context);
    // Its next name; nullptr at its end (errno 0) or when reading fails (errno set).
    const char* (*next)(void* directory, void* context);
    void (*close)(void* directory, void* context);
    update_stat_function stat_entry;
};

// What the walk does after an entry.
enum update_step {
    UPDATE_STEP_NEXT,     // on to the next entry of the level
    UPDATE_STEP_DESCEND,  // walk the directory entry first
    UPDATE_STEP_ABANDON,  // the rest of the level is abandoned
};

// The names one level of a walk has met: an open-addressing table of hashes
// and offsets into the names kept.
struct update_level_names {
    unsigned* slots;  // two per slot: the name's hash with its low bit set (0: empty), offset
    size_t capacity;  // slots, a power of two
    size_t count;
    char* names;  // each NUL-terminated
    size_t used;
    size_t size;
};
// 1 when name was met before, 0 when it is new (and now kept), -1 (errno
// ENOMEM) when it cannot be kept.
int update_level_names_add(update_level_names* set, const char* name);
void update_level_names_free(update_level_names* set);

// Why a level's names were not all read.
enum update_level_failure {
    UPDATE_LEVEL_NOT_OPENED,   // the directory cannot be opened
    UPDATE_LEVEL_READ_FAILED,  // reading its names failed part-way
    UPDATE_LEVEL_NO_MEMORY,    // no buffers for the level: it is skipped
};

// Who walks along. level: the state enter gave the level; parent: the level
// above, whose entry is the directory being walked.
struct update_visitor {
    void* (*enter)(const char* path, int depth, void* parent, void* context);  // nullptr: none
    update_step (*entry)(update_choice choice, const char* directory, const char* name,
                         update_entry* entry, int depth, void* level, void* context);
    void (*failed)(const char* path, int depth, update_level_failure why, int error, void* level,
                   void* context);
    // After a level; parent_entry is the directory it was.
    void (*leave)(void* level, void* parent, const update_entry* parent_entry, void* context);
};

// Walks the directory path of an update tree whose destinations leave out
// the first root_length characters (depth 0: the update root), deciding each
// entry with update_decide; a name the level yielded before comes as
// UPDATE_LISTED_TWICE. A level keeps the names it met (memory grows with the
// largest level on the way down, never with the tree). Each level's buffers are on the heap, so a
// deep tree costs the stack a small frame a level.
void update_walk_tree(const char* path, int depth, size_t root_length, const update_tree* tree,
                      const update_visitor* visitor, void* context, void* parent = nullptr,
                      const update_entry* parent_entry = nullptr);
