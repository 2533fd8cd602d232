// The plan of an update: whether every file system it writes to has room for
// all of it at once, reckoned with the walk's own decisions.
#include <dirent.h>
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

struct plan_level_buffers {
    char source[TEXT_BUFFER_SIZE];
    char destination[TEXT_BUFFER_SIZE];
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

int lstat_source(const char* source, struct stat* st, void* /*context*/) {
    return lstat(source, st);
}

// Reckons the room every new file and directory below path takes at once;
// partition is where this level's entries go, record where the record is.
void plan_level(update_plan* plan, const char* path, int depth, size_t root_length,
                plan_partition* partition, plan_partition* record) {
    auto* level = static_cast<plan_level_buffers*>(calloc(1, sizeof(plan_level_buffers)));
    DIR* dir = level != nullptr ? opendir(path) : nullptr;
    update_entry entry{level != nullptr ? level->source : nullptr,
                       level != nullptr ? level->destination : nullptr,
                       {},
                       0};
    for (const dirent* found; dir != nullptr && (found = readdir(dir)) != nullptr;) {
        const update_choice choice =
            update_decide(path, found->d_name, depth, root_length, lstat_source, nullptr, &entry);
        if (choice != UPDATE_DIRECTORY && choice != UPDATE_FILE) continue;
        // Its entry, and its directory's, in the record.
        if (record != nullptr) record->bytes += 3 * strlen(level->destination) + 32;
        if (choice == UPDATE_FILE) {
            add_room(partition, static_cast<unsigned long long>(entry.st.st_size));
            continue;
        }
        struct stat st {};
        plan_partition* below = partition;
        if (stat(level->destination, &st) == 0) {
            below = plan_partition_of(plan, st.st_dev, level->destination);
        } else {
            add_room(partition, 0);
        }
        plan_level(plan, level->source, depth + 1, root_length, below, record);
    }
    if (dir != nullptr) closedir(dir);
    free(level);
}

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
    plan_partition* top = stat("/", &st) == 0 ? plan_partition_of(plan, st.st_dev, "/") : nullptr;
    plan_partition* record =
        stat("/data", &st) == 0 ? plan_partition_of(plan, st.st_dev, "/data") : nullptr;
    plan_level(plan, root, 0, strlen(root), top, record);
    const bool fits = plan_fits(plan);
    free(plan);
    return fits;
}
