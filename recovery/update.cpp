// The update action: mount the cards, copy system and data onto the device, unmount.
#include <dirent.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "console.h"
#include "events.h"
#include "file_install.h"
#include "framebuffer.h"
#include "recovery.h"
#include "recovery_facts.h"
#include "remount.h"
#include "update_commit.h"
#include "update_paths.h"

namespace {

constexpr const char* INTERNAL_DEVICE = "/dev/block/mmcblk0p1";
constexpr const char* INTERNAL_MOUNT = "/sdcard";
constexpr const char* EXTERNAL_DEVICE = "/dev/block/mmcblk1p1";
constexpr const char* EXTERNAL_MOUNT = "/sdcard/sd";
constexpr const char* CARD_FS = "vfat";
constexpr unsigned long CARD_FLAGS = MS_NOSUID | MS_NODEV;
// File data moves in chunks of this size, in few system calls.
constexpr size_t COPY_BUFFER_SIZE = 128 * 1024;
constexpr mode_t NEW_DIR_MODE = 0775;

// Room reckoned per file and per new directory: whole 4 KiB blocks, and one
// more for the file system's own records of it.
constexpr unsigned long long PLAN_BLOCK = 4096;
// File systems one all-or-nothing update may span (/system, /data, and those
// links to directories lead to).
constexpr int PLAN_PARTITIONS = 8;

// The buffers of one level of the walk, on the heap so that deep trees cost
// the stack only a small frame per level.
struct walk_level {
    char source[TEXT_BUFFER_SIZE];
    char destination[TEXT_BUFFER_SIZE];
    char message[TEXT_BUFFER_SIZE];
    char temporary[TEXT_BUFFER_SIZE];  // the file being installed, beside its destination
    char target[TEXT_BUFFER_SIZE];     // where an entry of a staged directory is written
};

// What the walk installed, and the entries it reported as not installed.
struct walk_tally {
    int installed;
    int failed;
};

// One update as it runs; the walk runs on the worker thread alone.
struct update_run {
    bool all_or_nothing;  // staged and committed at once, else installed file by file
    bool recorded;        // the commit record was started
    bool pending;         // committed, with the renames left to the next start
    bool leftover;        // a temporary file could not be removed
    unsigned staged;      // staged names handed out
    walk_tally tally;
    commit_log log;
};

// The room an all-or-nothing update needs on each file system it writes to.
struct plan_partition {
    dev_t device;
    unsigned long long bytes;
    unsigned long long inodes;
    char path[TEXT_BUFFER_SIZE];  // a directory on it
};
struct update_plan {
    int count;
    bool too_many;
    plan_partition partitions[PLAN_PARTITIONS];
};

// One copy runs at a time (on the worker thread), so every level shares these.
char copy_buffer[COPY_BUFFER_SIZE];
char out_of_memory_message[TEXT_BUFFER_SIZE];
update_run run;
update_plan plan;

// Formats into a 1024-byte message buffer and draws it; a message that does
// not fit is cut, keeping its line end.
__attribute__((format(printf, 2, 3))) void draw_message(char* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(buffer, TEXT_BUFFER_SIZE, format, args);
    va_end(args);
    if (length >= TEXT_BUFFER_SIZE) buffer[TEXT_BUFFER_SIZE - 2] = '\n';
    draw_string(font_20px, buffer);
}

// A file a cut or a failure may have left half written in place.
void draw_may_be_damaged(char* buffer, const char* path) {
    draw_message(buffer, "%s may be damaged: it was being written in place.\n", path);
}

// A card counts as mounted when mount succeeds or it was mounted already.
bool mount_card(const char* device, const char* target) {
    errno = 0;
    return mount(device, target, CARD_FS, CARD_FLAGS, nullptr) == 0 || errno == EBUSY;
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
void copy_file(walk_level* level, const char* target) {
    install_result result;
    install_request request{
        level->source,           target,      INSTALL_REPLACE,    0,       level->temporary,
        sizeof level->temporary, copy_buffer, sizeof copy_buffer, nullptr, &run.log};
    if (run.all_or_nothing) {
        request.road = target == level->destination ? INSTALL_STAGE : INSTALL_FRESH;
        request.number = ++run.staged;
    } else if (run.recorded) {
        request.before_in_place = commit_note_in_place;
    }
    install_file(&request, &result);
    run.leftover = run.leftover || result.leftover;
    if (result.in_place) commit_in_place_done(&run.log);
    if (result.step == INSTALL_DONE && request.road == INSTALL_STAGE) {
        commit_add(&run.log, level->temporary, level->destination);
    }
    const char* error = strerror(result.error);
    ++(result.step == INSTALL_DONE ? run.tally.installed : run.tally.failed);
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
        draw_may_be_damaged(level->message, level->destination);
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
bool make_directory(walk_level* level, const char* target, const char** staged_dir) {
    const char* path = level->destination;
    *staged_dir = nullptr;
    struct stat st {};
    int error = 0;
    if (target != path || !run.all_or_nothing) {
        error = new_directory(target) == 0 ? 0 : errno;
    } else if (lstat(path, &st) == 0) {
        error = EEXIST;
    } else if (errno != ENOENT) {
        error = errno;
    } else {
        // Missing: staged under a temporary name, renamed at the commit.
        error = install_temporary_path(path, ++run.staged, level->target, sizeof level->target)
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

void update_level(const char* path, int depth, size_t root_length, const char* target_dir);

// Walks one directory of the update tree with the given level's buffers;
// target_dir is where its entries are written when that is a staged directory.
void walk(const char* path, int depth, size_t root_length, walk_level* level,
          const char* target_dir) {
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        // A missing update root is silent; a subtree that cannot be read is not.
        if (depth > 0) {
            draw_message(level->message, "opendir %s failed. %s\n", path, strerror(errno));
            ++run.tally.failed;
        }
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
                ++run.tally.failed;
            }
            break;
        }
        const char* name = found->d_name;
        const update_choice choice =
            update_decide(path, name, depth, root_length, lstat_source, nullptr, &entry);
        if (choice == UPDATE_IGNORED) continue;
        const char* target = nullptr;
        if (choice == UPDATE_PATH_TOO_LONG || !entry_target(level, target_dir, name, &target)) {
            draw_message(level->message, "path too long, skipped %s/%s\n", path, name);
            ++run.tally.failed;
            continue;
        }
        printf("%s to %s\n", level->source, level->destination);
        if (choice == UPDATE_UNREADABLE) {
            draw_message(level->message, "lstat %s failed. %s\n", level->source,
                         strerror(entry.error));
            ++run.tally.failed;
        } else if (choice == UPDATE_DIRECTORY) {
            const char* staged_dir = nullptr;
            if (!make_directory(level, target, &staged_dir)) {
                ++run.tally.failed;
                break;  // the rest of this level is abandoned
            }
            draw_message(level->message, "create dir %s\n", level->destination);
            const char* below = staged_dir != nullptr ? staged_dir : target_dir ? target : nullptr;
            update_level(level->source, depth + 1, root_length, below);
            // Post-order: the record renames a staged directory after what it holds.
            if (staged_dir != nullptr) commit_add(&run.log, staged_dir, level->destination);
        } else if (choice == UPDATE_FILE) {
            copy_file(level, target);
        }
    }
    closedir(dir);
}

void update_level(const char* path, int depth, size_t root_length, const char* target_dir) {
    auto* level = static_cast<walk_level*>(calloc(1, sizeof(walk_level)));
    if (level == nullptr) {
        draw_message(out_of_memory_message, "skip %s. %s\n", path, strerror(ENOMEM));
        ++run.tally.failed;
        return;
    }
    walk(path, depth, root_length, level, target_dir);
    free(level);
}

// The plan's entry for the file system of directory, or nullptr when it has too many.
plan_partition* plan_partition_of(dev_t device, const char* directory) {
    for (int i = 0; i < plan.count; ++i) {
        if (plan.partitions[i].device == device) return &plan.partitions[i];
    }
    if (plan.count == PLAN_PARTITIONS) {
        plan.too_many = true;
        return nullptr;
    }
    plan_partition* p = &plan.partitions[plan.count++];
    *p = plan_partition{device, 0, 0, {}};
    (void)snprintf(p->path, sizeof p->path, "%s", directory);
    return p;
}

void add_room(plan_partition* partition, unsigned long long bytes) {
    if (partition == nullptr) return;
    partition->bytes += (bytes + PLAN_BLOCK - 1) / PLAN_BLOCK * PLAN_BLOCK + PLAN_BLOCK;
    partition->inodes += 1;
}

// Reckons the room every new file and directory below path takes at once,
// with the walk's own decisions; partition is where this level's entries go.
void plan_level(const char* path, int depth, size_t root_length, plan_partition* partition,
                plan_partition* record) {
    auto* level = static_cast<walk_level*>(calloc(1, sizeof(walk_level)));
    DIR* dir = level != nullptr ? opendir(path) : nullptr;
    update_entry entry{level != nullptr ? level->source : nullptr,
                       level != nullptr ? level->destination : nullptr,
                       {},
                       0};
    for (const dirent* found; dir != nullptr && (found = readdir(dir)) != nullptr;) {
        const update_choice choice =
            update_decide(path, found->d_name, depth, root_length, lstat_source, nullptr, &entry);
        if (choice != UPDATE_DIRECTORY && choice != UPDATE_FILE) continue;
        if (record != nullptr) record->bytes += 2 * strlen(level->destination) + 32;
        if (choice == UPDATE_FILE) {
            add_room(partition, static_cast<unsigned long long>(entry.st.st_size));
            continue;
        }
        struct stat st {};
        plan_partition* below = partition;
        if (stat(level->destination, &st) == 0) {
            below = plan_partition_of(st.st_dev, level->destination);
        } else {
            add_room(partition, 0);
        }
        plan_level(level->source, depth + 1, root_length, below, record);
    }
    if (dir != nullptr) closedir(dir);
    free(level);
}

// Whether every partition has the room the plan reckons.
bool plan_fits() {
    if (plan.too_many) return false;
    for (int i = 0; i < plan.count; ++i) {
        const plan_partition& p = plan.partitions[i];
        struct statvfs room {};
        if (statvfs(p.path, &room) != 0) return false;
        const auto free_bytes = static_cast<unsigned long long>(install_free_bytes(&room));
        if (p.bytes > free_bytes || (room.f_files > 0 && p.inodes > room.f_favail)) return false;
    }
    return true;
}

bool plan_update(const char* root) {
    plan = update_plan{};
    struct stat st {};
    plan_partition* top = stat("/", &st) == 0 ? plan_partition_of(st.st_dev, "/") : nullptr;
    plan_partition* record =
        stat("/data", &st) == 0 ? plan_partition_of(st.st_dev, "/data") : nullptr;
    plan_level(root, 0, strlen(root), top, record);
    return plan_fits();
}

void report_rename(const char* destination, int error, void* message) {
    draw_message(static_cast<char*>(message), "write %s failed. %s\n", destination,
                 strerror(error));
    if (run.tally.installed > 0) --run.tally.installed;
    ++run.tally.failed;
}

}  // namespace

void update_tree(const char* path, int depth, size_t root_length) {
    update_level(path, depth, root_length, nullptr);
}

void update(const char* path, int depth) {
    update_tree(path, depth, strlen(MENU_ITEMS[selected_menu * 2 + 1]));
}

// Walks the update root with /system and /data writable: all or nothing where
// the partitions have room for every new file at once, else file by file.
// Everything installed reaches storage before the screen says so, since a
// user who sees "done." may pull the battery.
void update_install(const char* root) {
    char message[TEXT_BUFFER_SIZE];
    remount_state mounts;
    remount_writable(&mounts);
    run.tally = walk_tally{0, 0};
    run.staged = 0;
    run.pending = false;
    run.leftover = false;
    run.all_or_nothing = plan_update(root);
    if (!run.all_or_nothing) {
        draw_string(font_20px,
                    "not enough room for an all-or-nothing update: installing file by file\n");
    }
    run.recorded = commit_begin(&run.log, run.all_or_nothing ? COMMIT_ALL_OR_NOTHING
                                                             : COMMIT_FILE_BY_FILE) == 0;
    if (!run.recorded) {
        printf("commit record %s failed. %s\n", COMMIT_RECORD_NEW_PATH, strerror(errno));
        if (run.all_or_nothing) {
            run.all_or_nothing = false;
            draw_string(font_20px, "no commit record: installing file by file\n");
        }
    }
    update_level(root, 0, strlen(root), nullptr);
    if (run.all_or_nothing) {
        if (commit_seal(&run.log) == 0) {
            if (commit_apply(report_rename, message) < 0) {
                draw_message(message, "read %s failed. %s\n", COMMIT_RECORD_PATH, strerror(errno));
                draw_string(font_20px, "the next start finishes this update.\n");
                run.pending = true;
            }
        } else {
            draw_message(message, "write %s failed. %s\n", COMMIT_RECORD_PATH, strerror(errno));
            commit_discard(&run.log);
            run.tally.failed += run.tally.installed;
            run.tally.installed = 0;
        }
    } else {
        sync();
        if (run.recorded) commit_end();
    }
    if ((run.tally.failed > 0 || run.leftover) && !run.pending) commit_sweep();
    remount_restore(&mounts);
    if (run.tally.failed > 0 || run.pending) {
        draw_message(message, "%d installed, %d not installed.\n", run.tally.installed,
                     run.tally.failed);
    }
    draw_string(font_20px, "done.\n");
}

void update_resume() {
    char in_place[TEXT_BUFFER_SIZE];
    char message[TEXT_BUFFER_SIZE];
    const commit_found found = commit_find(in_place, sizeof in_place);
    if (found == COMMIT_NOTHING) return;
    remount_state mounts;
    remount_writable(&mounts);
    posx = 0;
    posy = 0;
    if (found == COMMIT_SEALED) {
        run.tally = walk_tally{0, 0};
        const int renamed = commit_apply(report_rename, message);
        if (run.tally.failed > 0) commit_sweep();
        if (renamed < 0) {
            (void)snprintf(message, sizeof message, "read %s failed. %s\n", COMMIT_RECORD_PATH,
                           strerror(errno));
        } else {
            (void)snprintf(message, sizeof message,
                           "finished an interrupted update: %d entries put in place.\n", renamed);
        }
    } else {
        commit_discard(nullptr);
        (void)snprintf(message, sizeof message, "%s",
                       found == COMMIT_STAGING
                           ? "removed an interrupted update: no file had changed.\n"
                           : "an interrupted update left files old and new: install it again.\n");
    }
    (void)fputs(message, stdout);
    draw_string(font_20px, message);
    if (in_place[0] != '\0') {
        draw_may_be_damaged(message, in_place);
        (void)fputs(message, stdout);
    }
    remount_restore(&mounts);
}

void run_menu() {
    char message[TEXT_BUFFER_SIZE];
    const int item = selected_menu;
    const char* root = MENU_ITEMS[item * 2 + 1];
    fb_clear();
    posx = 0;
    posy = 0;
    draw_message(message, UPDATE_HEADER_FORMAT, MENU_ITEMS[item * 2]);
    console_offsetY = posy + UPDATE_PROGRESS_GAP;

    if (!mount_card(INTERNAL_DEVICE, INTERNAL_MOUNT)) {
        draw_message(message, "failed to mount /sdcard. errno=%d\n", errno);
    } else {
        draw_message(message, "mounted /sdcard. errno=%d\n", errno);
        if (item <= ITEM_LAST_INTERNAL) {
            update_install(root);
        } else if (mkdir(EXTERNAL_MOUNT, 0) != 0 && errno != EEXIST) {
            draw_message(message, "failed to create /sdcard/sd. errno=%d\n", errno);
        } else if (!mount_card(EXTERNAL_DEVICE, EXTERNAL_MOUNT)) {
            draw_message(message, "failed to mount /sdcard/sd. errno=%d\n", errno);
        } else {
            draw_message(message, "mounted /sdcard/sd. errno=%d\n", errno);
            update_install(root);
        }
    }
    umount(EXTERNAL_MOUNT);
    umount(INTERNAL_MOUNT);
    selected_menu = 0;

    draw_string(font_20px, UPDATE_PROMPT);
    input_event event;
    do {
        wait_key(&event);
    } while (event.code != KEY_CODE_HOME);
    ev_clear();
}
