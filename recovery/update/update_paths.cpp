#include "update_paths.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "commit_record.h"
#include "file_install.h"
#include "recovery_facts.h"

bool update_takes(const char* name, int depth) {
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
    return depth > 0 || strcmp(name, "system") == 0 || strcmp(name, "data") == 0;
}

bool update_name_reserved(const char* name) {
    const char* record = strrchr(COMMIT_RECORD_PATH, '/') + 1;
    return strncmp(name, INSTALL_TEMP_NAME, strlen(INSTALL_TEMP_NAME)) == 0 ||
           strncmp(name, record, strlen(record)) == 0;
}

update_choice update_decide(const char* directory, const char* name, int depth, size_t root_length,
                            update_stat_function stat_entry, void* context, update_entry* entry) {
    if (!update_takes(name, depth)) return UPDATE_IGNORED;
    // The walk's sources all start with the update root; a directory outside
    // it has no destination.
    const int length = snprintf(entry->source, TEXT_BUFFER_SIZE, "%s/%s", directory, name);
    if (length < 0 || length >= TEXT_BUFFER_SIZE || static_cast<size_t>(length) < root_length) {
        return UPDATE_PATH_TOO_LONG;
    }
    memcpy(entry->destination, entry->source + root_length,
           static_cast<size_t>(length) - root_length + 1);
    if (update_name_reserved(name)) return UPDATE_RESERVED;
    if (stat_entry(entry->source, &entry->st, context) != 0) {
        entry->error = errno;
        return UPDATE_UNREADABLE;
    }
    if (S_ISDIR(entry->st.st_mode)) return UPDATE_DIRECTORY;
    if (depth == 0) return UPDATE_NOT_A_TREE;
    if (S_ISREG(entry->st.st_mode)) return UPDATE_FILE;
    return UPDATE_OTHER;
}

namespace {

constexpr size_t FIRST_SLOTS = 64;
constexpr size_t FIRST_NAMES = 1024;

unsigned name_hash(const char* name) {
    unsigned hash = 2166136261u;  // FNV-1a
    for (const char* c = name; *c != '\0'; ++c) {
        hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
    }
    return hash | 1u;
}

// The slot of name (hash), empty or holding it.
size_t find_slot(const update_level_names* set, const char* name, unsigned hash) {
    size_t i = hash & (set->capacity - 1);
    while (set->slots[2 * i] != 0 &&
           (set->slots[2 * i] != hash || strcmp(set->names + set->slots[2 * i + 1], name) != 0)) {
        i = (i + 1) & (set->capacity - 1);
    }
    return i;
}

// Doubles the table (or makes the first); false when there is no memory.
bool grow_slots(update_level_names* set) {
    const size_t capacity = set->capacity == 0 ? FIRST_SLOTS : 2 * set->capacity;
    auto* slots = static_cast<unsigned*>(calloc(2 * capacity, sizeof(unsigned)));
    if (slots == nullptr) return false;
    update_level_names grown = *set;
    grown.slots = slots;
    grown.capacity = capacity;
    for (size_t i = 0; i < set->capacity; ++i) {
        if (set->slots[2 * i] == 0) continue;
        const size_t at = find_slot(&grown, set->names + set->slots[2 * i + 1], set->slots[2 * i]);
        slots[2 * at] = set->slots[2 * i];
        slots[2 * at + 1] = set->slots[2 * i + 1];
    }
    free(set->slots);
    *set = grown;
    return true;
}

struct level_paths {
    char source[TEXT_BUFFER_SIZE];
    char destination[TEXT_BUFFER_SIZE];
    update_level_names names;
};

}  // namespace

int update_level_names_add(update_level_names* set, const char* name) {
    const unsigned hash = name_hash(name);
    if (set->capacity > 0) {
        const size_t at = find_slot(set, name, hash);
        if (set->slots[2 * at] != 0) return 1;
    }
    const size_t length = strlen(name) + 1;
    // At most half full, so that every probe ends at an empty slot.
    if ((2 * (set->count + 1) > set->capacity && !grow_slots(set)) ||
        set->used + length > UINT32_MAX) {
        errno = ENOMEM;
        return -1;
    }
    if (set->used + length > set->size) {
        size_t size = set->size == 0 ? FIRST_NAMES : 2 * set->size;
        while (size < set->used + length) size *= 2;
        auto* names = static_cast<char*>(realloc(set->names, size));
        if (names == nullptr) {
            errno = ENOMEM;
            return -1;
        }
        set->names = names;
        set->size = size;
    }
    memcpy(set->names + set->used, name, length);
    const size_t at = find_slot(set, name, hash);
    set->slots[2 * at] = hash;
    set->slots[2 * at + 1] = static_cast<unsigned>(set->used);
    set->used += length;
    ++set->count;
    return 0;
}

void update_level_names_free(update_level_names* set) {
    free(set->slots);
    free(set->names);
    *set = update_level_names{};
}

void update_walk_tree(const char* path, int depth, size_t root_length, const update_tree* tree,
                      const update_visitor* visitor, void* context, void* parent,
                      const update_entry* parent_entry) {
    auto* paths = static_cast<level_paths*>(calloc(1, sizeof(level_paths)));
    void* level = paths != nullptr ? visitor->enter(path, depth, parent, context) : nullptr;
    if (level == nullptr) {
        visitor->failed(path, depth, UPDATE_LEVEL_NO_MEMORY, ENOMEM, parent, context);
        free(paths);
        return;
    }
    void* directory = tree->open(path, context);
    if (directory == nullptr) {
        visitor->failed(path, depth, UPDATE_LEVEL_NOT_OPENED, errno, level, context);
    }
    update_entry entry{paths->source, paths->destination, {}, 0};
    while (directory != nullptr) {
        errno = 0;
        const char* name = tree->next(directory, context);
        if (name == nullptr) {
            // A card pulled or a bad sector mid-directory: the rest of it is unknown.
            if (errno != 0) {
                visitor->failed(path, depth, UPDATE_LEVEL_READ_FAILED, errno, level, context);
            }
            break;
        }
        entry.error = 0;
        update_choice choice =
            update_decide(path, name, depth, root_length, tree->stat_entry, context, &entry);
        if (choice != UPDATE_IGNORED && choice != UPDATE_PATH_TOO_LONG) {
            const int seen = update_level_names_add(&paths->names, name);
            if (seen < 0) {
                visitor->failed(path, depth, UPDATE_LEVEL_NO_MEMORY, errno, level, context);
                break;
            }
            if (seen > 0) choice = UPDATE_LISTED_TWICE;
        }
        const update_step step = visitor->entry(choice, path, name, &entry, depth, level, context);
        if (step == UPDATE_STEP_ABANDON) break;
        if (step == UPDATE_STEP_DESCEND) {
            update_walk_tree(entry.source, depth + 1, root_length, tree, visitor, context, level,
                             &entry);
        }
    }
    if (directory != nullptr) tree->close(directory, context);
    visitor->leave(level, parent, parent_entry, context);
    update_level_names_free(&paths->names);
    free(paths);
}
