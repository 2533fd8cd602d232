// The plan of an update: whether every file system it writes to has room for
// all of it at once, reckoned with the walk's own decisions.
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

// The partitions a plan reckons for, with the one the record goes to.
struct plan_walk {
    update_plan* plan;
    plan_partition* top;     // where the update root's entries go
    plan_partition* record;  // where the commit record is
};
// One level of the tree: the partition its entries go to, and the one the
// directory it descends into goes to.
struct plan_level {
    plan_partition* partition;
    plan_partition* below;
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
    partition->bytes += (bytes + PLAN_BLOCK - 1) / PLAN_BLOCK * PLAN_BLOCK + PLAN_BLOCK;
    partition->inodes += 1;
}

void* enter_level(const char* /*path*/, int /*depth*/, void* parent, void* context) {
    auto* level = static_cast<plan_level*>(calloc(1, sizeof(plan_level)));
    if (level != nullptr) {
        level->partition = parent != nullptr ? static_cast<plan_level*>(parent)->below
                                             : static_cast<plan_walk*>(context)->top;
    }
    return level;
}

// Reckons the room every new file and directory takes at once.
update_step plan_entry(update_choice choice, const char* /*directory*/, const char* /*name*/,
                       update_entry* entry, int /*depth*/, void* level_state, void* context) {
    auto* walk = static_cast<plan_walk*>(context);
    auto* level = static_cast<plan_level*>(level_state);
    if (choice != UPDATE_DIRECTORY && choice != UPDATE_FILE) return UPDATE_STEP_NEXT;
    // Its entry, and its directory's, in the record.
    if (walk->record != nullptr) walk->record->bytes += 3 * strlen(entry->destination) + 32;
    if (choice == UPDATE_FILE) {
        add_room(level->partition, static_cast<unsigned long long>(entry->st.st_size));
        return UPDATE_STEP_NEXT;
    }
    struct stat st {};
    level->below = level->partition;
    if (stat(entry->destination, &st) == 0) {
        level->below = plan_partition_of(walk->plan, st.st_dev, entry->destination);
    } else {
        add_room(level->partition, 0);
    }
    return UPDATE_STEP_DESCEND;
}

void plan_failed(const char* /*path*/, int /*depth*/, update_level_failure /*why*/, int /*error*/,
                 void* /*level*/, void* /*context*/) {}

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
        if (statvfs(p.path, &room) != 0) return false;
        const auto free_bytes = static_cast<unsigned long long>(install_free_bytes(&room));
        if (p.bytes > free_bytes || (room.f_files > 0 && p.inodes > room.f_favail)) return false;
    }
    return true;
}

}  // namespace

bool plan_update(const char* root) {
    auto* plan = static_cast<update_plan*>(calloc(1, sizeof(update_plan)));
    if (plan == nullptr) return false;
    struct stat st {};
    plan_walk walk{plan, nullptr, nullptr};
    if (stat("/", &st) == 0) walk.top = plan_partition_of(plan, st.st_dev, "/");
    if (stat("/data", &st) == 0) walk.record = plan_partition_of(plan, st.st_dev, "/data");
    update_walk_tree(root, 0, strlen(root), &CARD_TREE, &PLAN_WALK, &walk);
    const bool fits = plan_fits(plan);
    free(plan);
    return fits;
}
