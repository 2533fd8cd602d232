// The walk of an update tree: each entry as update_decide takes it, every
// file installed on the run's road, one screen line per entry.
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console.h"
#include "file_install.h"
#include "recovery_facts.h"
#include "update_paths.h"
#include "update_run.h"

namespace {

constexpr mode_t NEW_DIR_MODE = 0775;

// The buffers of one level of the walk, on the heap so that deep trees cost
// the stack only a small frame per level.
struct walk_level {
    bool noted;  // the record lists the directory this level's entries go to
    char source[TEXT_BUFFER_SIZE];
    char destination[TEXT_BUFFER_SIZE];
    char message[TEXT_BUFFER_SIZE];
    char temporary[TEXT_BUFFER_SIZE];  // the file being installed, beside its destination
    char target[TEXT_BUFFER_SIZE];     // where an entry of a staged directory is written
};

// Lists in the record, before the update writes a name of its own there, the
// directory this level's destinations go to. False when the all-or-nothing
// road cannot list it: nothing more is staged then, and the seal fails.
bool note_directory(update_run* run, walk_level* level) {
    if (level->noted || !run->recorded) return !run->record_failed;
    const char* slash = strrchr(level->destination, '/');
    (void)snprintf(level->temporary, sizeof level->temporary, "%.*s",
                   static_cast<int>(slash - level->destination), level->destination);
    level->noted = commit_note_directory(&run->log, level->temporary) == 0;
    if (!level->noted && run->all_or_nothing) run->record_failed = true;
    return !run->record_failed;
}

// Where the entry of a level is written: its destination, or below a staged
// directory (target_dir) under its own name. False when that does not fit.
bool entry_target(walk_level* level, const char* target_dir, const char* name,
                  const char** target) {
    *target = level->destination;
    if (target_dir == nullptr) return true;
    *target = level->target;
    const int length = snprintf(level->target, sizeof level->target, "%s/%s", target_dir, name);
    return length >= 0 && static_cast<size_t>(length) < sizeof level->target;
}

// Installs one file: staged for the commit, or replaced at once on the
// file-by-file road. The screen names the side that failed, or says "copied".
void copy_file(update_run* run, walk_level* level, const char* target) {
    const bool beside = target == level->destination;
    if (run->record_failed || (beside && !note_directory(run, level))) {
        ++run->tally.failed;
        return;
    }
    install_result result;
    install_request request{
        level->source,           target,           INSTALL_REPLACE, 0,       level->temporary,
        sizeof level->temporary, run->copy_buffer, run->copy_size,  nullptr, &run->log};
    if (run->all_or_nothing) {
        request.road = beside ? INSTALL_STAGE : INSTALL_FRESH;
        request.number = ++run->staged;
    } else if (run->recorded) {
        request.before_in_place = commit_note_in_place;
    }
    install_file(&request, &result);
    run->leftover = run->leftover || result.leftover;
    if (result.in_place) commit_in_place_done(&run->log);
    if (result.step == INSTALL_DONE && request.road == INSTALL_STAGE) {
        commit_add(&run->log, level->temporary, level->destination);
    }
    const char* error = strerror(result.error);
    ++(result.step == INSTALL_DONE ? run->tally.installed : run->tally.failed);
    switch (result.step) {
        case INSTALL_DONE:
            if (result.names > 1 && !result.in_place) {
                printf("%s had %u names: the others keep the old content\n", level->destination,
                       result.names);
            }
            draw_message(level->message, "%s copied %lld bytes.\n", level->destination,
                         result.bytes);
            if (result.in_place) {
                draw_message(level->message, "%s written in place: not enough room for two.\n",
                             level->destination);
            }
            break;
        case INSTALL_OPEN_SOURCE:
            draw_message(level->message, "fopen %s failed. %s\n", level->source, error);
            break;
        case INSTALL_OPEN_TARGET:
            draw_message(level->message, "fopen %s failed. %s\n", level->destination, error);
            break;
        case INSTALL_READ_SOURCE:
            draw_message(level->message, "read %s failed. %s\n", level->source, error);
            break;
        case INSTALL_WRITE_TARGET:
            draw_message(level->message, "write %s failed. %s\n", level->destination, error);
            break;
    }
    if (result.step != INSTALL_DONE && result.in_place) {
        draw_message(level->message, DAMAGED_FORMAT, level->destination);
    }
}

int lstat_source(const char* source, struct stat* st, void* /*context*/) {
    return lstat(source, st);
}

// A new directory with its final mode at once (and chmod for a umask that strips it).
int new_directory(const char* path) {
    if (mkdir(path, NEW_DIR_MODE) != 0) return -1;
    (void)chmod(path, NEW_DIR_MODE);
    return 0;
}

// The destination of a directory of the tree, written at target: a directory
// there already, or a new one; on the all-or-nothing road a new directory
// below an existing one is staged under a temporary name, which *staged_dir
// then names (else nullptr). A name in the way that is not a directory fails
// as mkdir would, with ENOTDIR. A link to a directory is followed (a
// partition of its own, as /system/vendor often is); standard output says
// where it leads.
bool make_directory(update_run* run, walk_level* level, const char* target,
                    const char** staged_dir) {
    const char* path = level->destination;
    *staged_dir = nullptr;
    struct stat st {};
    int error = 0;
    if (run->record_failed) {
        // Nothing is staged any more: the walk only counts what it passes.
    } else if (target != path || !run->all_or_nothing) {
        error = new_directory(target) == 0 ? 0 : errno;
    } else if (lstat(path, &st) == 0) {
        error = EEXIST;
    } else if (errno != ENOENT) {
        error = errno;
    } else if (!note_directory(run, level)) {
        return true;
    } else {
        // Missing: staged under a temporary name, renamed at the commit.
        error = install_temporary_path(path, ++run->staged, level->target, sizeof level->target)
                    ? ENAMETOOLONG
                : new_directory(level->target) != 0 ? errno
                                                    : 0;
        if (error == 0) *staged_dir = level->target;
    }
    if (error == 0) return true;
    if (error == EEXIST && target == path) {
        if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
            const ssize_t n = readlink(path, level->temporary, sizeof level->temporary - 1);
            if (n > 0) {
                level->temporary[n] = '\0';
                printf("%s leads to %s\n", path, level->temporary);
            }
            return true;
        }
        error = ENOTDIR;
    }
    draw_message(level->message, "mkdir %s failed. %s\n", path, strerror(error));
    return false;
}

void update_level(update_run* run, const char* path, int depth, const char* target_dir);

// Walks one directory of the update tree with the given level's buffers;
// target_dir is where its entries are written when that is a staged directory.
void walk(update_run* run, const char* path, int depth, walk_level* level, const char* target_dir) {
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        draw_message(level->message, "opendir %s failed. %s\n", path, strerror(errno));
        ++run->tally.failed;
        return;
    }
    update_entry entry{level->source, level->destination, {}, 0};
    for (;;) {
        errno = 0;
        const dirent* found = readdir(dir);
        if (found == nullptr) {
            // A card pulled or a bad sector mid-directory: the rest of it is unknown.
            if (errno != 0) {
                draw_message(level->message, "fopen %s failed. %s\n", path, strerror(errno));
                ++run->tally.failed;
            }
            break;
        }
        const char* name = found->d_name;
        const update_choice choice =
            update_decide(path, name, depth, run->root_length, lstat_source, nullptr, &entry);
        if (choice == UPDATE_IGNORED) continue;
        const char* target = nullptr;
        if (choice == UPDATE_PATH_TOO_LONG || !entry_target(level, target_dir, name, &target)) {
            draw_message(level->message, "path too long, skipped %s/%s\n", path, name);
            ++run->tally.failed;
            continue;
        }
        printf("%s to %s\n", level->source, level->destination);
        if (choice == UPDATE_RESERVED) {
            draw_message(level->message, RESERVED_FORMAT, level->source);
            ++run->tally.failed;
        } else if (choice == UPDATE_UNREADABLE) {
            draw_message(level->message, "lstat %s failed. %s\n", level->source,
                         strerror(entry.error));
            ++run->tally.failed;
        } else if (choice == UPDATE_DIRECTORY) {
            const char* staged_dir = nullptr;
            if (!make_directory(run, level, target, &staged_dir)) {
                ++run->tally.failed;
                break;  // the rest of this level is abandoned
            }
            draw_message(level->message, "create dir %s\n", level->destination);
            const char* below = staged_dir != nullptr ? staged_dir : target_dir ? target : nullptr;
            update_level(run, level->source, depth + 1, below);
            // Post-order: the record renames a staged directory after what it holds.
            if (staged_dir != nullptr) commit_add(&run->log, staged_dir, level->destination);
        } else if (choice == UPDATE_FILE) {
            copy_file(run, level, target);
        }
    }
    closedir(dir);
}

void update_level(update_run* run, const char* path, int depth, const char* target_dir) {
    auto* level = static_cast<walk_level*>(calloc(1, sizeof(walk_level)));
    if (level == nullptr) {
        static char message[TEXT_BUFFER_SIZE];  // off the stack of every level
        draw_message(message, "skip %s. %s\n", path, strerror(ENOMEM));
        ++run->tally.failed;
        return;
    }
    walk(run, path, depth, level, target_dir);
    free(level);
}

}  // namespace

void update(update_run* run, const char* path, int depth) {
    update_level(run, path, depth, nullptr);
}
