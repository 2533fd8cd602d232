// The update action of a menu item: the update screen's header, the cards
// mounted for the installer and unmounted after it, and HOME back to the menu.
#include <errno.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include "console.h"
#include "events.h"
#include "framebuffer.h"
#include "recovery.h"
#include "recovery_facts.h"
#include "update.h"

namespace {

constexpr const char* INTERNAL_DEVICE = "/dev/block/mmcblk0p1";
constexpr const char* INTERNAL_MOUNT = "/sdcard";
constexpr const char* EXTERNAL_DEVICE = "/dev/block/mmcblk1p1";
constexpr const char* EXTERNAL_MOUNT = "/sdcard/sd";
constexpr const char* CARD_FS = "vfat";
constexpr unsigned long CARD_FLAGS = MS_NOSUID | MS_NODEV;

// A card counts as mounted when mount succeeds or it was mounted already.
bool mount_card(const char* device, const char* target) {
    errno = 0;
    return mount(device, target, CARD_FS, CARD_FLAGS, nullptr) == 0 || errno == EBUSY;
}
}  // namespace

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
        draw_message(message, MOUNT_FAILED_FORMAT, INTERNAL_MOUNT, errno);
    } else {
        draw_message(message, MOUNTED_FORMAT, INTERNAL_MOUNT, errno);
        if (item <= ITEM_LAST_INTERNAL) {
            update_install(root);
        } else if (mkdir(EXTERNAL_MOUNT, 0) != 0 && errno != EEXIST) {
            draw_message(message, CREATE_FAILED_FORMAT, EXTERNAL_MOUNT, errno);
        } else if (!mount_card(EXTERNAL_DEVICE, EXTERNAL_MOUNT)) {
            draw_message(message, MOUNT_FAILED_FORMAT, EXTERNAL_MOUNT, errno);
        } else {
            draw_message(message, MOUNTED_FORMAT, EXTERNAL_MOUNT, errno);
            update_install(root);
        }
    }
    umount(EXTERNAL_MOUNT);
    umount(INTERNAL_MOUNT);
    selected_menu = 0;

    draw_string(font_20px, UPDATE_PROMPT);
    fb_flush();
    input_event event;
    do {
        wait_key(&event);
    } while (event.code != KEY_CODE_HOME);
    ev_clear();
}
