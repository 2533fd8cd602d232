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

int lstat_source(const char* source, struct stat* st, void* /*context*/) {
    return lstat(source, st);
}
void* open_card_directory(const char* path, void* /*context*/) {
    return opendir(path);
}
const char* next_card_name(void* directory, void* /*context*/) {
    const dirent* found = readdir(static_cast<DIR*>(directory));
    return found != nullptr ? found->d_name : nullptr;
}
void close_card_directory(void* directory, void* /*context*/) {
    (void)closedir(static_cast<DIR*>(directory));
}

// What the walk keeps of one level of the tree, on the heap so that deep
// trees cost the stack only a small frame per level.
struct walk_level {
    bool noted;              // the record lists the directory this level's entries go to
    const char* target_dir;  // where entries are written when that is a staged directory
    const char* below;       // the target_dir of the level the walk descends into
    const char* staged_dir;  // where the directory being descended into is staged, or nullptr
    char message[TEXT_BUFFER_SIZE];
    char temporary[TEXT_BUFFER_SIZE];  // the file being installed, beside its destination
    char target[TEXT_BUFFER_SIZE];     // where an entry of a staged directory is written
};

// Lists in the record, before the update writes a name of its own there, the
// directory this level's destinations go to. False when the all-or-nothing
// road cannot list it: nothing more is staged then, and the seal fails.
bool note_directory(update_run* run, walk_level* level, const char* destination) {
    if (level->noted || !run->recorded) return !run->record_failed;
    const char* slash = strrchr(destination, '/');
    (void)snprintf(level->temporary, sizeof level->temporary, "%.*s",
                   static_cast<int>(slash - destination), destination);
    level->noted = commit_note_directory(&run->log, level->temporary) == 0;
    if (!level->noted && run->all_or_nothing) {
        run->record_failed = true;
        update_report(run, level->message, COUNT_FAILED, WRITE_FAILED_FORMAT,
                      COMMIT_RECORD_NEW_PATH, strerror(errno));
    }
    if (level->noted && run->all_or_nothing) watch_partition(&run->watch, level->temporary);
    return !run->record_failed;
}

// Where the entry of a level is written: its destination, or below a staged
// directory (target_dir) under its own name. False when that does not fit.
bool entry_target(walk_level* level, const update_entry* entry, const char* name,
                  const char** target) {
    *target = entry->destination;
    if (level->target_dir == nullptr) return true;
    *target = level->target;
    const int length =
        snprintf(level->target, sizeof level->target, "%s/%s", level->target_dir, name);
    return length >= 0 && static_cast<size_t>(length) < sizeof level->target;
}

// Installs one file: staged for the commit, or replaced at once on the
// file-by-file road. The screen names the side that failed, or says "copied".
void copy_file(update_run* run, walk_level* level, const update_entry* entry, const char* target) {
    const bool beside = target == entry->destination;
    if (run->record_failed || (beside && !note_directory(run, level, entry->destination))) {
        ++run->tally.failed;  // nothing more is staged: no line of its own
        return;
    }
    install_result result;
    install_request request{entry->source,
                            target,
                            INSTALL_REPLACE,
                            0,
                            level->temporary,
                            sizeof level->temporary,
                            run->copy_buffer,
                            run->copy_size,
                            nullptr,
                            &run->log,
                            false,
                            nullptr,
                            nullptr,
                            nullptr};
    // A sealed tree's bytes are held to its manifest's hash; a file listed
    // nowhere (the card changed since the plan) matches no hash.
    if (run->manifest != nullptr) {
        const manifest_entry* listed = manifest_find(run->manifest, entry->destination + 1);
        request.expected_hash = listed != nullptr && listed->hash != nullptr ? listed->hash : "";
    }
    if (!run->quiet &&
        progress_begin(&run->progress, entry->destination, entry->st.st_size, level->message)) {
        request.progress = progress_note;
        request.progress_context = &run->progress;
    }
    if (run->all_or_nothing) {
        request.road = beside ? INSTALL_STAGE : INSTALL_FRESH;
        request.number = ++run->staged;
        request.wait_written = run->wait_written;
    } else if (run->recorded) {
        request.before_in_place = commit_note_in_place;
    }
    install_file(&request, &result);
    progress_end(&run->progress);
    run->leftover = run->leftover || result.leftover;
    // Whole again only when the write in place succeeded.
    if (result.in_place && result.step == INSTALL_DONE) commit_in_place_done(&run->log);
    if (result.step == INSTALL_DONE && request.road == INSTALL_STAGE) {
        commit_add(&run->log, level->temporary, entry->destination);
    }
    if (result.step == INSTALL_DONE && request.road != INSTALL_REPLACE) {
        run->staged_bytes += result.bytes;
    }
    char* message = level->message;
    if (result.step == INSTALL_DONE) {
        if (result.names > 1 && !result.in_place) {
            printf("%s had %u names: the others keep the old content\n", entry->destination,
                   result.names);
        }
        update_report(run, message, COUNT_INSTALLED, COPIED_FORMAT, entry->destination,
                      result.bytes);
        if (result.in_place) {
            update_report(run, message, COUNT_NONE, IN_PLACE_FORMAT, entry->destination);
        }
    } else if (result.step == INSTALL_NOT_AS_LISTED) {
        update_report(run, message, COUNT_FAILED, MANIFEST_HASH_FORMAT, entry->destination);
    } else {
        // The line names the side that failed.
        const bool source =
            result.step == INSTALL_OPEN_SOURCE || result.step == INSTALL_READ_SOURCE;
        const char* format = result.step == INSTALL_READ_SOURCE    ? READ_FAILED_FORMAT
                             : result.step == INSTALL_WRITE_TARGET ? WRITE_FAILED_FORMAT
                                                                   : OPEN_FAILED_FORMAT;
        update_report(run, message, COUNT_FAILED, format,
                      source ? entry->source : entry->destination, strerror(result.error));
    }
    if (result.step != INSTALL_DONE && result.in_place) {
        update_report(run, message, COUNT_NONE, DAMAGED_FORMAT, entry->destination);
    }
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
// where it leads. *made: the directory is there (or staged).
bool make_directory(update_run* run, walk_level* level, const char* path, const char* target,
                    const char** staged_dir, bool* made) {
    *staged_dir = nullptr;
    *made = false;
    struct stat st {};
    int error = 0;
    // Once nothing more is staged, the walk only counts what it passes.
    if (run->record_failed) return true;
    if (target != path || !run->all_or_nothing) {
        error = new_directory(target) == 0 ? 0 : errno;
    } else if (lstat(path, &st) == 0) {
        error = EEXIST;
    } else if (errno != ENOENT) {
        error = errno;
    } else if (!note_directory(run, level, path)) {
        return true;
    } else {
        // Missing: staged under a temporary name, renamed at the commit.
        error = install_temporary_path(path, ++run->staged, level->target, sizeof level->target)
                    ? ENAMETOOLONG
                : new_directory(level->target) != 0 ? errno
                                                    : 0;
        if (error == 0) *staged_dir = level->target;
    }
    *made = error == 0;
    if (error == 0) return true;
    if (error == EEXIST && target == path) {
        if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
            const ssize_t n = readlink(path, level->temporary, sizeof level->temporary - 1);
            if (n > 0) {
                level->temporary[n] = '\0';
                printf("%s leads to %s\n", path, level->temporary);
            }
            *made = true;
            return true;
        }
        error = ENOTDIR;
    }
    update_report(run, level->message, COUNT_FAILED, MKDIR_FAILED_FORMAT, path, strerror(error));
    return false;
}

void* enter_level(const char* /*path*/, int /*depth*/, void* parent, void* /*context*/) {
    auto* level = static_cast<walk_level*>(calloc(1, sizeof(walk_level)));
    if (level != nullptr && parent != nullptr) {
        level->target_dir = static_cast<walk_level*>(parent)->below;
    }
    return level;
}

// One entry of the tree: reported, skipped, installed, or a directory made
// and walked.
update_step walk_entry(update_choice choice, const char* directory, const char* name,
                       update_entry* entry, int depth, void* level_state, void* context) {
    auto* run = static_cast<update_run*>(context);
    auto* level = static_cast<walk_level*>(level_state);
    if (choice == UPDATE_IGNORED) return UPDATE_STEP_NEXT;
    if (depth == 0) ++run->top_entries;
    const char* target = nullptr;
    char* message = level->message;
    if (choice == UPDATE_PATH_TOO_LONG || !entry_target(level, entry, name, &target)) {
        update_report(run, message, COUNT_FAILED, PATH_TOO_LONG_FORMAT, directory, name);
        return UPDATE_STEP_NEXT;
    }
    printf("%s to %s\n", entry->source, entry->destination);
    if (update_report_choice(run, message, choice, entry)) {
        // Reported: skipped.
    } else if (choice == UPDATE_DIRECTORY) {
        const char* staged_dir = nullptr;
        bool made = false;
        if (!make_directory(run, level, entry->destination, target, &staged_dir, &made)) {
            return UPDATE_STEP_ABANDON;
        }
        if (made) update_report(run, message, COUNT_NONE, CREATE_DIR_FORMAT, entry->destination);
        level->staged_dir = staged_dir;
        level->below = staged_dir != nullptr ? staged_dir : level->target_dir ? target : nullptr;
        return UPDATE_STEP_DESCEND;
    } else if (choice == UPDATE_FILE) {
        copy_file(run, level, entry, target);
    }
    return UPDATE_STEP_NEXT;
}

void walk_failed(const char* path, int /*depth*/, update_level_failure why, int error,
                 void* /*level*/, void* context) {
    update_report_level(static_cast<update_run*>(context), path, why, error);
}

// Post-order: the record renames a staged directory after what it holds.
void leave_level(void* level, void* parent_state, const update_entry* parent_entry, void* context) {
    const auto* parent = static_cast<const walk_level*>(parent_state);
    if (parent != nullptr && parent->staged_dir != nullptr) {
        commit_add(&static_cast<update_run*>(context)->log, parent->staged_dir,
                   parent_entry->destination);
    }
    free(level);
}

constexpr update_visitor INSTALL_WALK = {enter_level, walk_entry, walk_failed, leave_level};

}  // namespace

const update_tree CARD_TREE = {open_card_directory, next_card_name, close_card_directory,
                               lstat_source};

void update(update_run* run, const char* path, int depth) {
    update_walk_tree(path, depth, run->root_length, &CARD_TREE, &INSTALL_WALK, run);
}
