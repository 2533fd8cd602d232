#include "update_paths.h"

#include <errno.h>
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
    if (S_ISREG(entry->st.st_mode)) return UPDATE_FILE;
    return UPDATE_OTHER;
}

namespace {

struct level_paths {
    char source[TEXT_BUFFER_SIZE];
    char destination[TEXT_BUFFER_SIZE];
};

}  // namespace

void update_walk_tree(const char* path, int depth, size_t root_length, const update_tree* tree,
                      const update_visitor* visitor, void* context, void* parent,
                      const update_entry* parent_entry) {
    auto* paths = static_cast<level_paths*>(malloc(sizeof(level_paths)));
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
        const update_choice choice =
            update_decide(path, name, depth, root_length, tree->stat_entry, context, &entry);
        const update_step step = visitor->entry(choice, path, name, &entry, depth, level, context);
        if (step == UPDATE_STEP_ABANDON) break;
        if (step == UPDATE_STEP_DESCEND) {
            update_walk_tree(entry.source, depth + 1, root_length, tree, visitor, context, level,
                             &entry);
        }
    }
    if (directory != nullptr) tree->close(directory, context);
    visitor->leave(level, parent, parent_entry, context);
    free(paths);
}
