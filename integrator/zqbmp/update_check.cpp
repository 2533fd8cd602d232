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
#include <ctime>
#include <string>
#include <vector>

#include "exit_status.h"
#include "fat_names.h"
#include "findings.h"
#include "recovery_facts.h"
#include "update_manifest.h"
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
    bool check_case = true;
    int skipped = 0;
    int warnings = 0;
    totals system;
    totals data;
    std::string longest;  // the longest line the device would draw
    update_manifest manifest{};
    bool sealed = false;               // the tree holds a manifest, read whole
    unsigned differences = 0;          // from it
    manifest_writer* seal = nullptr;   // update-seal: the manifest being written
    bool refused = false;              // update-seal: a name it cannot carry
    finding_report* report = nullptr;  // update-check: where its findings go
    bool progress = false;             // the count of entries shown on standard error
    bool progress_shown = false;
    long long entries = 0;
    long long taken = 0;     // directories and files the device would install
    long long shown_ms = 0;  // when the count was last shown (or the run began)
};

long long now_ms() {
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A run past a second shows its count of entries, twice a second.
void count_entry(check_state* state) {
    ++state->entries;
    if (!state->progress || state->entries % 256 != 0) return;
    const long long now = now_ms();
    if (state->shown_ms == 0) state->shown_ms = now;
    if (now - state->shown_ms < (state->progress_shown ? 500 : 1000)) return;
    state->shown_ms = now;
    state->progress_shown = true;
    (void)fprintf(stderr, "\rzqbmp: %lld entries checked", state->entries);
}

// The SHA-256 of a file on the desk; false, errno set, when it cannot be read.
bool hash_file(const std::string& path, char hex[SHA256_HEX_SIZE]) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    sha256_state state;
    sha256_init(&state);
    std::vector<char> buffer(1 << 16);
    ssize_t got = 0;
    while ((got = read(fd, buffer.data(), buffer.size())) > 0) {
        sha256_feed(&state, buffer.data(), static_cast<size_t>(got));
    }
    const int error = errno;
    close(fd);
    errno = error;
    sha256_finish(&state, hex);
    return got == 0;
}

__attribute__((format(printf, 7, 8))) void emit(check_state* state, finding_severity severity,
                                                const char* code, finding_place place,
                                                const std::string& path,
                                                std::vector<finding_figure> figures,
                                                const char* format, ...);

// An entry the walk takes, held to the tree's manifest, or written to the one being sealed.
void manifest_entry_met(check_state* state, const update_entry* entry, bool directory) {
    const char* dest = entry->destination;
    const char* name = dest + 1;
    const auto size = static_cast<unsigned long long>(entry->st.st_size);
    char hex[SHA256_HEX_SIZE] = "";
    const std::string host = state->tree + dest;
    if (!directory && (state->seal != nullptr || state->sealed) && !hash_file(host, hex)) {
        if (state->seal == nullptr) return;  // the check says it cannot be read
        (void)fprintf(stderr, "zqbmp: %s: cannot be read: %s\n", host.c_str(), strerror(errno));
        ++state->skipped;
        return;
    }
    if (state->seal != nullptr) {
        const size_t length = strlen(name);
        if (strpbrk(name, "\\\n") != nullptr || name[length - 1] == '.' ||
            name[length - 1] == ' ') {
            (void)fprintf(stderr,
                          "zqbmp: %s: a name a manifest or a FAT card cannot carry (a backslash, "
                          "a line end, a trailing dot or space)\n",
                          dest);
            state->refused = true;
        } else if (directory) {
            manifest_write_directory(state->seal, name);
        } else {
            manifest_write_file(state->seal, name, size, hex);
        }
        return;
    }
    if (!state->sealed) return;
    manifest_entry* listed = nullptr;
    const manifest_verdict verdict =
        manifest_check(&state->manifest, name, directory, size, &listed);
    char line[TEXT_BUFFER_SIZE];
    manifest_difference_line(line, sizeof line, verdict, dest, directory, size, listed);
    if (verdict == MANIFEST_LISTED && !directory && strcmp(hex, listed->hash) != 0) {
        (void)snprintf(line, sizeof line, MANIFEST_HASH_FORMAT, dest);
    }
    if (line[0] != '\0') {
        ++state->differences;
        emit(state, FINDING_ERROR, "manifest-difference", FINDING_DEVICE_PATH, dest, {},
             "error: %s", line);
    }
}

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

__attribute__((format(printf, 7, 8))) void emit(check_state* state, finding_severity severity,
                                                const char* code, finding_place place,
                                                const std::string& path,
                                                std::vector<finding_figure> figures,
                                                const char* format, ...) {
    char line[3 * TEXT_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    (void)vsnprintf(line, sizeof line, format, args);
    va_end(args);
    const size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[length - 1] = '\0';  // a device text's end
    if (severity == FINDING_WARNING) ++state->warnings;
    finding f;
    f.subject = path;
    f.severity = severity;
    f.code = code;
    f.place = place;
    f.path = path;
    f.figures = std::move(figures);
    f.text = line;
    report_add(state->report, std::move(f));
}

// A warning about what a FAT card or the device would make of the entry (or
// directory) at path on the device: "warning: PATH: " and the message.
__attribute__((format(printf, 5, 6))) void warn(check_state* state, const char* code,
                                                const std::string& path,
                                                std::vector<finding_figure> figures,
                                                const char* format, ...) {
    char message[2 * TEXT_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    (void)vsnprintf(message, sizeof message, format, args);
    va_end(args);
    emit(state, FINDING_WARNING, code, FINDING_DEVICE_PATH, path, std::move(figures),
         "warning: %s: %s", path.c_str(), message);
}

// What a FAT card does to a name: characters it cannot hold, and the
// clutter desktop systems leave.
void check_name(const std::string& name, const char* destination, check_state* state) {
    for (const char c : name) {
        if (strchr(":?*\"<>|\\", c) != nullptr || static_cast<unsigned char>(c) < 0x20) {
            warn(state, "fat-character", destination, {},
                 "a FAT card cannot hold the character '%c' in a name", c);
            break;
        }
    }
    if (name == ".DS_Store" || name == "Thumbs.db" || name.rfind("._", 0) == 0) {
        warn(state, "desktop-clutter", destination, {},
             "a desktop system's clutter: it would be installed too");
    }
}

// Names of one directory that a FAT card keeps as one, and a directory with
// more names than a FAT directory holds.
void check_case(const std::vector<std::string>& names, const std::string& device_dir,
                check_state* state) {
    const std::string dir = device_dir.size() > state->root.size()
                                ? device_dir.substr(state->root.size())
                                : std::string("/");
    std::vector<std::string> real;
    for (const std::string& name : names) {
        if (name != "." && name != "..") real.push_back(name);
    }
    for (const auto& [a, b] : fat_collisions(real)) {
        if (fat_same_but_trailing(real[a], real[b])) {
            warn(state, "fat-trailing-dot", dir, {},
                 "%s and %s are one name on a FAT card, which drops trailing dots and spaces: it "
                 "keeps one of them",
                 real[a].c_str(), real[b].c_str());
        } else {
            warn(state, "fat-case", dir, {},
                 "%s and %s differ only in case: a FAT card keeps one of them", real[a].c_str(),
                 real[b].c_str());
        }
    }
    size_t slots = device_dir.size() > state->root.size() ? 2 : 0;  // "." and ".."
    for (const std::string& name : real) slots += fat_slots(name);
    if (slots > FAT_DIRECTORY_SLOTS) {
        warn(state, "fat-directory-full", dir,
             {{"names", static_cast<long long>(real.size())},
              {"slots", static_cast<long long>(slots)},
              {"limit", static_cast<long long>(FAT_DIRECTORY_SLOTS)}},
             "its %zu names take %zu directory entries: a FAT directory holds %zu", real.size(),
             slots, FAT_DIRECTORY_SLOTS);
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

// The tree as the walk reads it, from the folder on the desk: a directory's
// names, sorted.
struct desk_directory {
    std::vector<std::string> names;
    size_t next = 0;
};

void* open_on_desk(const char* path, void* context) {
    auto* state = static_cast<check_state*>(context);
    auto* directory = new desk_directory;
    if (!read_names(state, path, &directory->names)) {
        const int error = errno;
        delete directory;
        errno = error;
        return nullptr;
    }
    if (state->check_case) check_case(directory->names, path, state);
    return directory;
}
const char* next_on_desk(void* directory, void* /*context*/) {
    auto* d = static_cast<desk_directory*>(directory);
    return d->next < d->names.size() ? d->names[d->next++].c_str() : nullptr;
}
void close_on_desk(void* directory, void* /*context*/) {
    delete static_cast<desk_directory*>(directory);
}
constexpr update_tree DESK_TREE = {open_on_desk, next_on_desk, close_on_desk, stat_on_desk};

void* enter_level(const char* /*path*/, int /*depth*/, void* /*parent*/, void* context) {
    return context;  // nothing kept per level
}
void leave_level(void* /*level*/, void* /*parent*/, const update_entry* /*entry*/, void* /*c*/) {}

// What the device would do with an entry, and what the card or the device
// would change of it.
// An entry the device would skip: a finding, named by its path on the card.
__attribute__((format(printf, 4, 5))) void skip(check_state* state, const char* code,
                                                const std::string& source, const char* format,
                                                ...) {
    char reason[2 * TEXT_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    (void)vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
    ++state->skipped;
    emit(state, FINDING_ERROR, code, FINDING_CARD_PATH, source, {}, "skip %s: %s", source.c_str(),
         reason);
}

update_step check_entry(update_choice choice, const char* directory, const char* name,
                        update_entry* entry, int /*depth*/, void* /*level*/, void* context) {
    auto* state = static_cast<check_state*>(context);
    count_entry(state);
    const std::string beside = std::string(directory) + "/" + name;
    if (choice == UPDATE_IGNORED) {
        if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && strcmp(name, MANIFEST_NAME) != 0) {
            skip(state, "skip-top-level", beside,
                 "only system and data are taken at the top of the tree");
        }
        return UPDATE_STEP_NEXT;
    }
    if (choice == UPDATE_PATH_TOO_LONG) {
        skip(state, "skip-path-too-long", beside, "the path on the device is over %d bytes",
             TEXT_BUFFER_SIZE - 1);
        return UPDATE_STEP_NEXT;
    }
    const char* dest = entry->destination;
    check_name(name, dest, state);
    if (choice == UPDATE_RESERVED) {
        skip(state, "skip-reserved", entry->source,
             "a name the device's installer keeps for its own files");
    } else if (choice == UPDATE_UNREADABLE) {
        skip(state, "skip-unreadable", entry->source, "%s", strerror(entry->error));
    } else if (choice == UPDATE_NOT_A_TREE) {
        emit(state, FINDING_WARNING, "not-a-tree", FINDING_DEVICE_PATH, dest, {},
             "warning: %s is a file in the tree: the device cannot put it in place of its %s "
             "directory",
             dest, dest);
    } else if (choice == UPDATE_LISTED_TWICE) {
        skip(state, "skip-listed-twice", entry->source, "listed twice");
    } else if (choice == UPDATE_DIRECTORY) {
        ++state->taken;
        emit(state, FINDING_NOTE, "dir", FINDING_DEVICE_PATH, dest, {}, "dir  %s", dest);
        manifest_entry_met(state, entry, true);
        return UPDATE_STEP_DESCEND;
    } else if (choice == UPDATE_FILE) {
        ++state->taken;
        manifest_entry_met(state, entry, false);
        const long long size = entry->st.st_size;
        emit(state, FINDING_NOTE, "file", FINDING_DEVICE_PATH, dest, {{"bytes", size}},
             "file %s %lld bytes", dest, size);
        totals& t = strncmp(dest, "/system", 7) == 0 ? state->system : state->data;
        ++t.files;
        t.bytes += size;
        if (size >= FAT_FILE_LIMIT) {
            warn(state, "fat-file-size", dest, {{"bytes", size}},
                 "%lld bytes: a FAT32 card holds files below 4 GiB", size);
        }
        const std::string host = state->tree + dest;
        const int fd = open(host.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            emit(state, FINDING_WARNING, "unreadable", FINDING_DEVICE_PATH, dest, {},
                 "warning: %s cannot be read: %s: the device's copy would fail", dest,
                 strerror(errno));
        } else {
            close(fd);
        }
    } else {
        skip(state, "skip-kind", entry->source, "%s", kind_of(entry->st.st_mode));
        if (S_ISLNK(entry->st.st_mode)) {
            warn(state, "fat-symbolic-link", dest, {},
                 "a FAT card holds no symbolic links: a copy of the tree puts the file it leads "
                 "to there, or nothing");
        }
    }
    return UPDATE_STEP_NEXT;
}

void check_failed(const char* path, int /*depth*/, update_level_failure /*why*/, int error,
                  void* /*level*/, void* context) {
    skip(static_cast<check_state*>(context), "skip-unreadable-directory", path,
         "cannot be read: %s", strerror(error));
}

constexpr update_visitor CHECK_WALK = {enter_level, check_entry, check_failed, leave_level};

// Every entry the device would install, into the manifest; what it would
// skip, on standard error, as a failure of the seal.
update_step seal_entry(update_choice choice, const char* directory, const char* name,
                       update_entry* entry, int /*depth*/, void* /*level*/, void* context) {
    auto* state = static_cast<check_state*>(context);
    if (choice == UPDATE_IGNORED) return UPDATE_STEP_NEXT;
    if (choice == UPDATE_DIRECTORY || choice == UPDATE_FILE) {
        manifest_entry_met(state, entry, choice == UPDATE_DIRECTORY);
        return choice == UPDATE_DIRECTORY ? UPDATE_STEP_DESCEND : UPDATE_STEP_NEXT;
    }
    if (choice == UPDATE_OTHER) return UPDATE_STEP_NEXT;  // the device skips it silently
    (void)fprintf(stderr, "zqbmp: %s/%s: the device would not install it: not sealed\n", directory,
                  name);
    ++state->skipped;
    return UPDATE_STEP_NEXT;
}

void seal_failed(const char* path, int /*depth*/, update_level_failure /*why*/, int error,
                 void* /*level*/, void* context) {
    (void)fprintf(stderr, "zqbmp: %s: cannot be read: %s\n", path, strerror(error));
    ++static_cast<check_state*>(context)->skipped;
}

constexpr update_visitor SEAL_WALK = {enter_level, seal_entry, seal_failed, leave_level};

// The line the device would draw for an entry, kept when it is the longest.
update_step longest_entry(update_choice choice, const char* directory, const char* name,
                          update_entry* entry, int /*depth*/, void* /*level*/, void* context) {
    auto* state = static_cast<check_state*>(context);
    std::string line;
    if (choice == UPDATE_PATH_TOO_LONG) {
        line = std::string("path too long, skipped ") + directory + "/" + name;
    } else if (choice == UPDATE_RESERVED) {
        line = std::string(RESERVED_FORMAT).substr(0, strlen(RESERVED_FORMAT) - 3) + entry->source;
    } else if (choice == UPDATE_DIRECTORY) {
        line = std::string("create dir ") + entry->destination;
    } else if (choice == UPDATE_FILE) {
        line = std::string(entry->destination) + " copied " + std::to_string(entry->st.st_size) +
               " bytes.";
    }
    if (line.size() > state->longest.size()) state->longest = line;
    return choice == UPDATE_DIRECTORY ? UPDATE_STEP_DESCEND : UPDATE_STEP_NEXT;
}

void longest_failed(const char* /*path*/, int /*depth*/, update_level_failure /*why*/,
                    int /*error*/, void* /*level*/, void* /*context*/) {}

constexpr update_visitor LONGEST_WALK = {enter_level, longest_entry, longest_failed, leave_level};

}  // namespace

bool is_directory(const char* path) {
    struct stat st {};
    const int found = stat(path, &st);
    if (found == 0 && S_ISDIR(st.st_mode)) return true;
    (void)fprintf(stderr, "zqbmp: %s: %s\n", path,
                  found == 0 ? "not a directory" : strerror(errno));
    return false;
}

std::string update_longest_line(const char* tree, int item) {
    check_state state;
    state.tree = tree;
    state.root = MENU_ITEMS[item * 2 + 1];
    state.check_case = false;
    update_walk_tree(state.root.c_str(), 0, state.root.size(), &DESK_TREE, &LONGEST_WALK, &state);
    return state.longest;
}

int update_check(const char* tree, const update_check_options& options) {
    const int item = options.item;
    const char* root = MENU_ITEMS[item * 2 + 1];
    if (!is_directory(tree)) return EXIT_UNREADABLE;
    finding_report report;
    report.json = options.json;
    check_state state;
    state.report = &report;
    state.progress = !options.quiet && isatty(2) != 0;
    emit(&state, FINDING_NOTE, "tree", FINDING_CARD_PATH, root, {}, "tree %s as %s (%s)", tree,
         root, MENU_ITEMS[item * 2]);
    state.tree = tree;
    state.root = root;
    const char* why = nullptr;
    char path[TEXT_BUFFER_SIZE];
    const int loaded = manifest_load(tree, path, &state.manifest, &why);
    state.sealed = loaded == 0;
    const std::string manifest_path = std::string(root) + "/" + MANIFEST_NAME;
    if (loaded < 0) {
        ++state.differences;
        emit(&state, FINDING_ERROR, "manifest-damaged", FINDING_CARD_PATH, manifest_path, {},
             "error: the card's manifest is damaged: %s", why != nullptr ? why : strerror(errno));
    }
    update_walk_tree(root, 0, state.root.size(), &DESK_TREE, &CHECK_WALK, &state);
    for (size_t i = 0; i < state.manifest.count; ++i) {
        if (state.manifest.entries[i].seen) continue;
        ++state.differences;
        char line[TEXT_BUFFER_SIZE];
        (void)snprintf(line, sizeof line, MANIFEST_MISSING_FORMAT, state.manifest.entries[i].name);
        emit(&state, FINDING_ERROR, "manifest-difference", FINDING_DEVICE_PATH,
             std::string("/") + state.manifest.entries[i].name, {}, "error: %s", line);
    }
    const auto text_of = [](const char* fact) { return std::string(fact, strcspn(fact, "\n")); };
    if (state.sealed && state.differences == 0) {
        emit(&state, FINDING_NOTE, "manifest-checked", FINDING_CARD_PATH, manifest_path,
             {{"entries", static_cast<long long>(state.manifest.count)}}, MANIFEST_CHECKED_FORMAT,
             static_cast<unsigned>(state.manifest.count));
    } else if (loaded <= 0) {
        emit(&state, FINDING_ERROR, "manifest-refused", FINDING_CARD_PATH, manifest_path, {}, "%s",
             text_of(MANIFEST_REFUSED).c_str());
    }
    manifest_free(&state.manifest);
    if (state.taken == 0) {
        emit(&state, FINDING_ERROR, "nothing-to-install", FINDING_CARD_PATH, root, {},
             "nothing to install: %s", text_of(NEITHER_TREE).c_str());
    }
    if (!report.json) {
        printf("total /system: %lld files, %lld bytes\n", state.system.files, state.system.bytes);
        printf("total /data: %lld files, %lld bytes\n", state.data.files, state.data.bytes);
        printf("skipped: %d\n", state.skipped);
        printf("warnings: %d\n", state.warnings);
    }
    if (state.progress_shown) (void)fputs("\r\033[K", stderr);
    const bool findings = state.skipped > 0 || state.differences > 0 || state.taken == 0 ||
                          (options.strict && state.warnings > 0);
    const int status = findings ? EXIT_FINDINGS : EXIT_CLEAN;
    report_finish(report, "update-check", status,
                  {{"system_files", state.system.files},
                   {"system_bytes", state.system.bytes},
                   {"data_files", state.data.files},
                   {"data_bytes", state.data.bytes},
                   {"skipped", state.skipped},
                   {"warnings", state.warnings},
                   {"differences", static_cast<long long>(state.differences)}});
    return status;
}

int update_seal(const char* tree) {
    if (!is_directory(tree)) return EXIT_UNREADABLE;
    const std::string path = std::string(tree) + "/" + MANIFEST_NAME;
    const std::string temporary = path + ".new";
    FILE* out = fopen(temporary.c_str(), "w");
    if (out == nullptr) {
        (void)fprintf(stderr, "zqbmp: %s: cannot be written: %s\n", temporary.c_str(),
                      strerror(errno));
        return EXIT_UNREADABLE;
    }
    check_state state;
    state.tree = tree;
    state.root = MENU_ITEMS[4 * 2 + 1];
    state.check_case = false;
    manifest_writer writer;
    manifest_write_begin(&writer, out);
    state.seal = &writer;
    update_walk_tree(state.root.c_str(), 0, state.root.size(), &DESK_TREE, &SEAL_WALK, &state);
    const bool written = manifest_write_end(&writer) == 0;
    const int error = errno;
    if (fclose(out) != 0 || !written || state.refused || state.skipped > 0 ||
        rename(temporary.c_str(), path.c_str()) != 0) {
        if (!state.refused && state.skipped == 0) {
            (void)fprintf(stderr, "zqbmp: %s: %s\n", path.c_str(),
                          strerror(written ? errno : error));
        }
        unlink(temporary.c_str());
        return state.refused || state.skipped > 0 ? EXIT_FINDINGS : EXIT_UNREADABLE;
    }
    printf("sealed %s: %zu entries\n", path.c_str(), writer.count);
    return 0;
}
