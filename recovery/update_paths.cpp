#include "update_paths.h"

#include <errno.h>
#include <stdio.h>
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
