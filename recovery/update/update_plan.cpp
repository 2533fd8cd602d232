// The plan of an update: whether every file system it writes to has room for
// all of it at once, reckoned with the walk's own decisions.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "file_install.h"
#include "recovery_facts.h"
#include "update_paths.h"
#include "update_run.h"

namespace {

// Room reckoned per file and per new directory: whole 4 KiB blocks, and one
// more for the file system's own records of it.
constexpr unsigned long long PLAN_BLOCK = 4096;
// File systems one all-or-nothing update may span (/system, /data, and those
// links to directories lead to).
constexpr int PLAN_PARTITIONS = 8;

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

// The partitions a plan reckons for, with the one the record goes to, and
// the update its failures are reported to.
struct plan_walk {
    update_plan* plan;
    plan_partition* top;     // where the update root's entries go
    plan_partition* record;  // where the commit record is
    update_run* run;
    char message[TEXT_BUFFER_SIZE];
};
// One level of the tree: the partition its entries go to, and the one the
// directory it descends into goes to; whether its destination is new, so
// that nothing can be in the way below it.
struct plan_level {
    plan_partition* partition;
    plan_partition* below;
    bool fresh;
    bool below_fresh;
};

// The plan's entry for the file system of directory, or nullptr when it has too many.
plan_partition* plan_partition_of(update_plan* plan, dev_t device, const char* directory) {
    for (int i = 0; i < plan->count; ++i) {
        if (plan->partitions[i].device == device) return &plan->partitions[i];
    }
    if (plan->count == PLAN_PARTITIONS) {
        plan->too_many = true;
        return nullptr;
    }
    plan_partition* p = &plan->partitions[plan->count++];
    *p = plan_partition{device, 0, 0, {}};
    (void)snprintf(p->path, sizeof p->path, "%s", directory);
    return p;
}

void add_room(plan_partition* partition, unsigned long long bytes) {
    if (partition == nullptr) return;
    partition->bytes += plan_room_of(bytes);
    partition->inodes += 1;
}

void* enter_level(const char* /*path*/, int /*depth*/, void* parent, void* context) {
    auto* level = static_cast<plan_level*>(calloc(1, sizeof(plan_level)));
    if (level != nullptr && parent != nullptr) {
        level->partition = static_cast<plan_level*>(parent)->below;
        level->fresh = static_cast<plan_level*>(parent)->below_fresh;
    } else if (level != nullptr) {
        level->partition = static_cast<plan_walk*>(context)->top;
    }
    return level;
}

// Holds an entry the walk takes to the card's manifest; a difference is counted, its line kept.
void hold_to_manifest(update_run* run, const update_entry* entry, bool directory) {
    if (run->manifest == nullptr) return;
    manifest_entry* listed = nullptr;
    const auto size = static_cast<unsigned long long>(entry->st.st_size);
    const manifest_verdict verdict =
        manifest_check(run->manifest, entry->destination + 1, directory, size, &listed);
    if (verdict == MANIFEST_LISTED) return;
    if (run->differences < MANIFEST_SHOWN) {
        manifest_difference_line(run->difference_lines[run->differences], TEXT_BUFFER_SIZE, verdict,
                                 entry->destination, directory, size, listed);
    }
    ++run->differences;
}

// Reckons the room every new file and directory takes at once, and reports
// what the walk would fail: refused entries, and a file or directory in the
// way of the other kind (a link to a directory counts as one).
update_step plan_entry(update_choice choice, const char* directory, const char* name,
                       update_entry* entry, int depth, void* level_state, void* context) {
    auto* walk = static_cast<plan_walk*>(context);
    auto* level = static_cast<plan_level*>(level_state);
    update_run* run = walk->run;
    if (choice == UPDATE_IGNORED) return UPDATE_STEP_NEXT;
    if (depth == 0) ++run->top_entries;
    if (choice == UPDATE_PATH_TOO_LONG) {
        update_report(run, walk->message, COUNT_FAILED, PATH_TOO_LONG_FORMAT, directory, name);
        return UPDATE_STEP_NEXT;
    }
    if (update_report_choice(run, walk->message, choice, entry)) return UPDATE_STEP_NEXT;
    if (choice != UPDATE_DIRECTORY && choice != UPDATE_FILE) return UPDATE_STEP_NEXT;
    hold_to_manifest(run, entry, choice == UPDATE_DIRECTORY);
    // Its entry, and its directory's, in the record.
    if (walk->record != nullptr) walk->record->bytes += 3 * strlen(entry->destination) + 32;
    struct stat st {};
    const bool there = !level->fresh && stat(entry->destination, &st) == 0;
    if (choice == UPDATE_FILE) {
        if (there && S_ISDIR(st.st_mode)) {
            update_report(run, walk->message, COUNT_FAILED, OPEN_FAILED_FORMAT, entry->destination,
                          strerror(EISDIR));
            return UPDATE_STEP_NEXT;
        }
        ++run->tally.installed;  // would be
        add_room(level->partition, static_cast<unsigned long long>(entry->st.st_size));
        return UPDATE_STEP_NEXT;
    }
    if (there && !S_ISDIR(st.st_mode)) {
        update_report(run, walk->message, COUNT_FAILED, MKDIR_FAILED_FORMAT, entry->destination,
                      strerror(ENOTDIR));
        return UPDATE_STEP_ABANDON;  // as the walk abandons the level
    }
    level->below = level->partition;
    level->below_fresh = !there;
    if (there) {
        level->below = plan_partition_of(walk->plan, st.st_dev, entry->destination);
    } else {
        add_room(level->partition, 0);
    }
    return UPDATE_STEP_DESCEND;
}

void plan_failed(const char* path, int /*depth*/, update_level_failure why, int error,
                 void* /*level*/, void* context) {
    update_report_level(static_cast<plan_walk*>(context)->run, path, why, error);
}

void leave_level(void* level, void* /*parent*/, const update_entry* /*entry*/, void* /*c*/) {
    free(level);
}

constexpr update_visitor PLAN_WALK = {enter_level, plan_entry, plan_failed, leave_level};

// Whether every partition has the room the plan reckons.
bool plan_fits(const update_plan* plan) {
    if (plan->too_many) return false;
    for (int i = 0; i < plan->count; ++i) {
        const plan_partition& p = plan->partitions[i];
        struct statvfs room {};
        if (statvfs(p.path, &room) != 0 || !plan_room_fits(p.bytes, p.inodes, &room)) return false;
    }
    return true;
}

}  // namespace

unsigned long long plan_room_of(unsigned long long size) {
    return (size + PLAN_BLOCK - 1) / PLAN_BLOCK * PLAN_BLOCK + PLAN_BLOCK;
}

bool plan_room_fits(unsigned long long bytes, unsigned long long inodes,
                    const struct statvfs* room) {
    const long long free_bytes = install_free_bytes(room);
    return free_bytes >= 0 && bytes <= static_cast<unsigned long long>(free_bytes) &&
           (room->f_files == 0 || inodes <= room->f_favail);
}

bool plan_update(update_run* run, const char* root) {
    auto* walk = static_cast<plan_walk*>(calloc(1, sizeof(plan_walk)));
    auto* plan = static_cast<update_plan*>(calloc(1, sizeof(update_plan)));
    if (plan == nullptr || walk == nullptr) {
        free(plan);
        free(walk);
        return false;
    }
    struct stat st {};
    walk->plan = plan;
    walk->run = run;
    if (stat("/", &st) == 0) walk->top = plan_partition_of(plan, st.st_dev, "/");
    if (stat("/data", &st) == 0) walk->record = plan_partition_of(plan, st.st_dev, "/data");
    update_walk_tree(root, 0, strlen(root), &CARD_TREE, &PLAN_WALK, walk);
    const bool fits = plan_fits(plan);
    free(plan);
    free(walk);
    return fits;
}
