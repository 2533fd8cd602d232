#include "update_check.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "recovery.h"
#include "recovery_text.h"
#include "update_paths.h"

namespace {

struct totals {
    long long files = 0;
    long long bytes = 0;
};

struct check_state {
    size_t root_length;
    int skipped = 0;
    totals system;
    totals data;
};

const char* kind_of(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "not a directory or regular file";
}

// Walks host_dir, whose path on the device is device_dir, as the walk would.
void check_level(const std::string& host_dir, const std::string& device_dir, int depth,
                 check_state* state) {
    DIR* dir = opendir(host_dir.c_str());
    if (dir == nullptr) {
        printf("skip %s: cannot be read: %s\n", device_dir.c_str(), strerror(errno));
        ++state->skipped;
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());

    static char source[TEXT_BUFFER_SIZE];
    static char destination[TEXT_BUFFER_SIZE];
    for (const std::string& name : names) {
        if (name == "." || name == "..") continue;
        const std::string host = host_dir + "/" + name;
        if (!update_takes(name.c_str(), depth)) {
            printf("skip %s: only system and data are taken at the top of the tree\n",
                   (device_dir + "/" + name).c_str());
            ++state->skipped;
            continue;
        }
        if (update_paths(device_dir.c_str(), name.c_str(), state->root_length, source,
                         destination) != 0) {
            printf("skip %s/%s: the path on the device is over %d bytes\n", device_dir.c_str(),
                   name.c_str(), TEXT_BUFFER_SIZE - 1);
            ++state->skipped;
            continue;
        }
        struct stat st {};
        if (lstat(host.c_str(), &st) != 0) {
            printf("skip %s: %s\n", source, strerror(errno));
            ++state->skipped;
            continue;
        }
        const std::string source_path = source;  // the buffers serve the next level too
        const std::string dest = destination;
        if (S_ISDIR(st.st_mode)) {
            printf("dir  %s\n", dest.c_str());
            check_level(host, source_path, depth + 1, state);
        } else if (S_ISREG(st.st_mode)) {
            printf("file %s %lld bytes\n", dest.c_str(), static_cast<long long>(st.st_size));
            totals& t = dest.rfind("/system", 0) == 0 ? state->system : state->data;
            ++t.files;
            t.bytes += st.st_size;
        } else {
            printf("skip %s: %s\n", source_path.c_str(), kind_of(st.st_mode));
            ++state->skipped;
        }
    }
}

}  // namespace

int update_check(const char* tree, int item) {
    const char* root = MENU_ITEMS[item * 2 + 1];
    struct stat st {};
    if (stat(tree, &st) != 0 || !S_ISDIR(st.st_mode)) {
        printf("%s: not a directory\n", tree);
        return 2;
    }
    printf("tree %s as %s (%s)\n", tree, root, MENU_ITEMS[item * 2]);
    check_state state{strlen(root), 0, {}, {}};
    check_level(tree, root, 0, &state);
    printf("total /system: %lld files, %lld bytes\n", state.system.files, state.system.bytes);
    printf("total /data: %lld files, %lld bytes\n", state.data.files, state.data.bytes);
    printf("skipped: %d\n", state.skipped);
    return state.skipped > 0 ? 1 : 0;
}
