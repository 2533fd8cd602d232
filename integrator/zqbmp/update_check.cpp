#include "update_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "recovery_facts.h"
#include "update_paths.h"

namespace {

constexpr long long FAT_FILE_LIMIT = 4LL * 1024 * 1024 * 1024;  // FAT32 holds files below 4 GiB

struct totals {
    long long files = 0;
    long long bytes = 0;
};

struct check_state {
    std::string tree;  // the folder on the desk
    std::string root;  // its path on the device
    int skipped = 0;
    int warnings = 0;
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

// The walk's view of an entry, looked up in the folder on the desk.
int stat_on_desk(const char* source, struct stat* st, void* context) {
    const auto* state = static_cast<const check_state*>(context);
    const std::string host = state->tree + (source + state->root.size());
    return lstat(host.c_str(), st);
}

__attribute__((format(printf, 2, 3))) void warn(check_state* state, const char* format, ...) {
    (void)fputs("warning: ", stdout);
    va_list args;
    va_start(args, format);
    (void)vfprintf(stdout, format, args);
    va_end(args);
    ++state->warnings;
}

// What a FAT card does to a name: characters it cannot hold, and the
// clutter desktop systems leave.
void check_name(const std::string& name, const char* destination, check_state* state) {
    for (const char c : name) {
        if (strchr(":?*\"<>|\\", c) != nullptr || static_cast<unsigned char>(c) < 0x20) {
            warn(state, "%s: a FAT card cannot hold the character '%c' in a name\n", destination,
                 c < 0x20 ? '?' : c);
            break;
        }
    }
    if (name == ".DS_Store" || name == "Thumbs.db" || name.rfind("._", 0) == 0) {
        warn(state, "%s: a desktop system's clutter: it would be installed too\n", destination);
    }
}

// Names of one directory that a FAT card folds into one.
void check_case(const std::vector<std::string>& names, const std::string& device_dir,
                check_state* state) {
    auto folded = [](std::string s) {
        for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        return s;
    };
    for (size_t i = 0; i < names.size(); ++i) {
        for (size_t j = i + 1; j < names.size(); ++j) {
            if (names[i] != names[j] && folded(names[i]) == folded(names[j])) {
                warn(state, "%s: %s and %s differ only in case: a FAT card keeps one of them\n",
                     device_dir.c_str() + state->root.size(), names[i].c_str(), names[j].c_str());
            }
        }
    }
}

// The entries of the directory whose path on the device is device_dir, read
// in the folder on the desk, sorted. False, with errno set, when it cannot be read.
bool read_names(const check_state* state, const std::string& device_dir,
                std::vector<std::string>* names) {
    const std::string host_dir = state->tree + device_dir.substr(state->root.size());
    DIR* dir = opendir(host_dir.c_str());
    if (dir == nullptr) return false;
    while (const dirent* entry = readdir(dir)) names->emplace_back(entry->d_name);
    closedir(dir);
    std::sort(names->begin(), names->end());
    return true;
}

// The walk's path buffers, which serve every level in turn.
char source[TEXT_BUFFER_SIZE];
char destination[TEXT_BUFFER_SIZE];

// Walks the directory whose path on the device is device_dir, as the walk would.
void check_level(const std::string& device_dir, int depth, check_state* state) {
    std::vector<std::string> names;
    if (!read_names(state, device_dir, &names)) {
        printf("skip %s: cannot be read: %s\n", device_dir.c_str(), strerror(errno));
        ++state->skipped;
        return;
    }
    check_case(names, device_dir, state);

    update_entry entry{source, destination, {}, 0};
    for (const std::string& name : names) {
        const update_choice choice = update_decide(device_dir.c_str(), name.c_str(), depth,
                                                   state->root.size(), stat_on_desk, state, &entry);
        if (choice == UPDATE_IGNORED) {
            if (name != "." && name != "..") {
                printf("skip %s/%s: only system and data are taken at the top of the tree\n",
                       device_dir.c_str(), name.c_str());
                ++state->skipped;
            }
            continue;
        }
        if (choice == UPDATE_PATH_TOO_LONG) {
            printf("skip %s/%s: the path on the device is over %d bytes\n", device_dir.c_str(),
                   name.c_str(), TEXT_BUFFER_SIZE - 1);
            ++state->skipped;
            continue;
        }
        const std::string source_path = source;  // the buffers serve the next level too
        const std::string dest = destination;
        check_name(name, dest.c_str(), state);
        if (choice == UPDATE_RESERVED) {
            printf("skip %s: a name the device's installer keeps for its own files\n",
                   source_path.c_str());
            ++state->skipped;
        } else if (choice == UPDATE_UNREADABLE) {
            printf("skip %s: %s\n", source_path.c_str(), strerror(entry.error));
            ++state->skipped;
        } else if (choice == UPDATE_DIRECTORY) {
            printf("dir  %s\n", dest.c_str());
            check_level(source_path, depth + 1, state);
        } else if (choice == UPDATE_FILE) {
            const long long size = entry.st.st_size;
            printf("file %s %lld bytes\n", dest.c_str(), size);
            totals& t = dest.rfind("/system", 0) == 0 ? state->system : state->data;
            ++t.files;
            t.bytes += size;
            if (depth == 0) {
                warn(state,
                     "%s is a file in the tree: the device cannot put it in place of its %s "
                     "directory\n",
                     dest.c_str(), dest.c_str());
            }
            if (size >= FAT_FILE_LIMIT) {
                warn(state, "%s: %lld bytes: a FAT32 card holds files below 4 GiB\n", dest.c_str(),
                     size);
            }
            const std::string host = state->tree + dest;
            const int fd = open(host.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                warn(state, "%s cannot be read: %s: the device's copy would fail\n", dest.c_str(),
                     strerror(errno));
            } else {
                close(fd);
            }
        } else {
            printf("skip %s: %s\n", source_path.c_str(), kind_of(entry.st.st_mode));
            ++state->skipped;
            if (S_ISLNK(entry.st.st_mode)) {
                warn(state,
                     "%s: a FAT card holds no symbolic links: a copy of the tree puts the file it "
                     "leads to there, or nothing\n",
                     dest.c_str());
            }
        }
    }
}

// The longest line the walk draws for the directory whose path on the device is device_dir.
void longest_level(const std::string& device_dir, int depth, check_state* state,
                   std::string* longest) {
    std::vector<std::string> names;
    if (!read_names(state, device_dir, &names)) return;
    update_entry entry{source, destination, {}, 0};
    for (const std::string& name : names) {
        const update_choice choice = update_decide(device_dir.c_str(), name.c_str(), depth,
                                                   state->root.size(), stat_on_desk, state, &entry);
        std::string line;
        if (choice == UPDATE_PATH_TOO_LONG) {
            line = "path too long, skipped ";
            line.append(device_dir).append("/").append(name);
        } else if (choice == UPDATE_RESERVED) {
            line = std::string(RESERVED_FORMAT).substr(0, strlen(RESERVED_FORMAT) - 3) + source;
        } else if (choice == UPDATE_DIRECTORY) {
            line = std::string("create dir ") + destination;
            const std::string next = source;
            longest_level(next, depth + 1, state, longest);
        } else if (choice == UPDATE_FILE) {
            line = std::string(destination) + " copied " + std::to_string(entry.st.st_size) +
                   " bytes.";
        }
        if (line.size() > longest->size()) *longest = line;
    }
}

}  // namespace

std::string update_longest_line(const char* tree, int item) {
    check_state state;
    state.tree = tree;
    state.root = MENU_ITEMS[item * 2 + 1];
    std::string longest;
    longest_level(state.root, 0, &state, &longest);
    return longest;
}

int update_check(const char* tree, int item) {
    const char* root = MENU_ITEMS[item * 2 + 1];
    struct stat st {};
    if (stat(tree, &st) != 0 || !S_ISDIR(st.st_mode)) {
        printf("%s: not a directory\n", tree);
        return 2;
    }
    printf("tree %s as %s (%s)\n", tree, root, MENU_ITEMS[item * 2]);
    check_state state;
    state.tree = tree;
    state.root = root;
    check_level(root, 0, &state);
    printf("total /system: %lld files, %lld bytes\n", state.system.files, state.system.bytes);
    printf("total /data: %lld files, %lld bytes\n", state.data.files, state.data.bytes);
    printf("skipped: %d\n", state.skipped);
    printf("warnings: %d\n", state.warnings);
    return state.skipped > 0 || state.warnings > 0 ? 1 : 0;
}
