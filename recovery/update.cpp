// The update action: mount the cards, copy system and data onto the device, unmount.
#include <dirent.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console.h"
#include "events.h"
#include "file_install.h"
#include "framebuffer.h"
#include "recovery.h"
#include "recovery_text.h"
#include "remount.h"
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

// The buffers of one level of the walk, on the heap so that deep trees cost
// the stack only a small frame per level.
struct walk_level {
    char source[TEXT_BUFFER_SIZE];
    char destination[TEXT_BUFFER_SIZE];
    char message[TEXT_BUFFER_SIZE];
    char temporary[TEXT_BUFFER_SIZE];  // the file being installed, beside its destination
};

// One copy runs at a time (on the worker thread), so every level shares these.
char copy_buffer[COPY_BUFFER_SIZE];
char out_of_memory_message[TEXT_BUFFER_SIZE];
// What the walk installed, and the entries it reported as not installed.
struct walk_tally {
    int installed;
    int failed;
};
walk_tally tally;

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

// A card counts as mounted when mount succeeds or it was mounted already.
bool mount_card(const char* device, const char* target) {
    errno = 0;
    return mount(device, target, CARD_FS, CARD_FLAGS, nullptr) == 0 || errno == EBUSY;
}

// Installs one file by replacement; the screen names the side that failed,
// or says "copied" once the file is in place and on storage.
void copy_file(walk_level* level) {
    install_result result;
    install_file(level->source, level->destination, level->temporary, sizeof level->temporary,
                 copy_buffer, sizeof copy_buffer, &result);
    const char* error = strerror(result.error);
    ++(result.step == INSTALL_DONE ? tally.installed : tally.failed);
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
}

int lstat_source(const char* source, struct stat* st, void* /*context*/) {
    return lstat(source, st);
}

// The destination of a directory of the tree: made with its final mode (and
// chmod for a umask that strips it), or a directory there already. A name in
// the way that is not one fails as mkdir would, with ENOTDIR. A link to a
// directory is followed (a partition of its own, as /system/vendor often is);
// standard output says where it leads.
bool make_directory(walk_level* level) {
    const char* path = level->destination;
    if (mkdir(path, NEW_DIR_MODE) == 0) {
        chmod(path, NEW_DIR_MODE);
        return true;
    }
    int error = errno;
    struct stat st {};
    if (error == EEXIST) {
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

// Walks one directory of the update tree with the given level's buffers.
void walk(const char* path, int depth, size_t root_length, walk_level* level) {
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        // A missing update root is silent; a subtree that cannot be read is not.
        if (depth > 0) {
            draw_message(level->message, "opendir %s failed. %s\n", path, strerror(errno));
            ++tally.failed;
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
                ++tally.failed;
            }
            break;
        }
        const char* name = found->d_name;
        const update_choice choice =
            update_decide(path, name, depth, root_length, lstat_source, nullptr, &entry);
        if (choice == UPDATE_IGNORED) continue;
        if (choice == UPDATE_PATH_TOO_LONG) {
            draw_message(level->message, "path too long, skipped %s/%s\n", path, name);
            ++tally.failed;
            continue;
        }
        printf("%s to %s\n", level->source, level->destination);
        if (choice == UPDATE_UNREADABLE) {
            draw_message(level->message, "lstat %s failed. %s\n", level->source,
                         strerror(entry.error));
            ++tally.failed;
        } else if (choice == UPDATE_DIRECTORY) {
            if (!make_directory(level)) {
                ++tally.failed;
                break;  // the rest of this level is abandoned
            }
            draw_message(level->message, "create dir %s\n", level->destination);
            update_tree(level->source, depth + 1, root_length);
        } else if (choice == UPDATE_FILE) {
            copy_file(level);
        }
    }
    closedir(dir);
}

// Walks the update root with /system and /data writable; everything
// installed reaches storage before the screen says so, since a user who sees
// "done." may pull the battery.
void install(const char* root) {
    char message[TEXT_BUFFER_SIZE];
    remount_state mounts;
    remount_writable(&mounts);
    tally = walk_tally{0, 0};
    update_tree(root, 0, strlen(root));
    sync();
    remount_restore(&mounts);
    if (tally.failed > 0) {
        draw_message(message, "%d installed, %d not installed.\n", tally.installed, tally.failed);
    }
    draw_string(font_20px, "done.\n");
}

}  // namespace

void update_tree(const char* path, int depth, size_t root_length) {
    auto* level = static_cast<walk_level*>(calloc(1, sizeof(walk_level)));
    if (level == nullptr) {
        draw_message(out_of_memory_message, "skip %s. %s\n", path, strerror(ENOMEM));
        ++tally.failed;
        return;
    }
    walk(path, depth, root_length, level);
    free(level);
}

void update(const char* path, int depth) {
    update_tree(path, depth, strlen(MENU_ITEMS[selected_menu * 2 + 1]));
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
            install(root);
        } else if (mkdir(EXTERNAL_MOUNT, 0) != 0 && errno != EEXIST) {
            draw_message(message, "failed to create /sdcard/sd. errno=%d\n", errno);
        } else if (!mount_card(EXTERNAL_DEVICE, EXTERNAL_MOUNT)) {
            draw_message(message, "failed to mount /sdcard/sd. errno=%d\n", errno);
        } else {
            draw_message(message, "mounted /sdcard/sd. errno=%d\n", errno);
            install(root);
        }
    }
    umount(EXTERNAL_MOUNT);
    umount(INTERNAL_MOUNT);
    selected_menu = 0;

    draw_string(font_20px, "press HOME key to main menu...\n");
    input_event event;
    do {
        wait_key(&event);
    } while (event.code != KEY_CODE_HOME);
    ev_clear();
}
