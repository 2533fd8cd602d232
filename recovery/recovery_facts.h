// The recovery program's facts: its texts, its menu, the length of its
// countdown and the geometry of its screens. The program, the desk tool and
// the emulated device's harness take them from here; nothing here runs a
// thread or touches a mount.
#pragma once

#include <stddef.h>

constexpr int TEXT_BUFFER_SIZE = 1024;

#define ZQ_TITLE_LINES "<< ZQ RECOVERY v0.1 >>\nhttp://www.example.com\n"

// The countdown line, with the seconds left, from COUNTDOWN_SECONDS down.
constexpr const char* COUNTDOWN_FORMAT =
    "Press HOME key to enter ZQ recovery mode in %d seconds...";
constexpr int COUNTDOWN_SECONDS = 5;
// The menu's banner: title, web address, an empty line.
constexpr const char* BANNER = ZQ_TITLE_LINES "\n";
constexpr int BANNER_LINES = 3;
// The update screen's header, with the item's label.
constexpr const char* UPDATE_HEADER_FORMAT = ZQ_TITLE_LINES "\n%s\n----------------------\n";
constexpr int UPDATE_HEADER_LINES = 5;
// Rows between the update screen's header and the line where its progress
// continues once it has run off the bottom of the screen.
constexpr int UPDATE_PROGRESS_GAP = 10;
// The line under the update's progress that waits for HOME.
constexpr const char* UPDATE_PROMPT = "press HOME key to main menu...\n";

// The update's lines: one per entry of the walk, each counted in the tally.
constexpr const char* CREATE_DIR_FORMAT = "create dir %s\n";
constexpr const char* COPIED_FORMAT = "%s copied %lld bytes.\n";
constexpr const char* IN_PLACE_FORMAT = "%s written in place: not enough room for two.\n";
constexpr const char* OPEN_FAILED_FORMAT = "fopen %s failed. %s\n";
constexpr const char* READ_FAILED_FORMAT = "read %s failed. %s\n";
constexpr const char* WRITE_FAILED_FORMAT = "write %s failed. %s\n";
constexpr const char* MKDIR_FAILED_FORMAT = "mkdir %s failed. %s\n";
constexpr const char* LSTAT_FAILED_FORMAT = "lstat %s failed. %s\n";
constexpr const char* OPENDIR_FAILED_FORMAT = "opendir %s failed. %s\n";
constexpr const char* RENAME_FAILED_FORMAT = "rename %s failed. %s\n";
constexpr const char* SKIP_FORMAT = "skip %s. %s\n";
constexpr const char* PATH_TOO_LONG_FORMAT = "path too long, skipped %s/%s\n";
constexpr const char* RESERVED_FORMAT = "reserved name, skipped %s\n";
constexpr const char* LISTED_TWICE_FORMAT = "listed twice, skipped %s\n";
constexpr const char* NOT_A_TREE_FORMAT = "not a directory, skipped %s\n";
constexpr const char* DAMAGED_FORMAT = "%s may be damaged: it was being written in place.\n";
// A file whose work runs longer than PROGRESS_AFTER_MS shows how far it has
// gone on its own line, redrawn in place at most every PROGRESS_EVERY_MS;
// the line ends as COPIED_FORMAT, or its failure, which are never shorter.
constexpr const char* COPYING_FORMAT = "%s copying: %u%%";
constexpr const char* CHECKING_FORMAT = "%s checking: %u%%";
constexpr long PROGRESS_AFTER_MS = 1000;
constexpr long PROGRESS_EVERY_MS = 1000;
// Drawn before the one flush of an update that staged more than WRITING_AFTER_BYTES.
constexpr const char* WRITING_TO_STORAGE = "writing to storage...\n";
constexpr long long WRITING_AFTER_BYTES = 4LL << 20;
// What the update as a whole comes to.
constexpr const char* NO_TREE_FORMAT = "the card holds no update tree at %s.\n";
constexpr const char* NEITHER_TREE = "the update tree holds neither system nor data\n";
constexpr const char* NO_ROOM_FOR_ALL =
    "not enough room for an all-or-nothing update: installing file by file\n";
constexpr const char* NO_RECORD = "no commit record: installing file by file\n";
// Storage on which the promise does not hold, said before the first file.
constexpr const char* DATA_IN_MEMORY =
    "/data is in memory: an update cannot be made whole, and what is installed there is lost "
    "at the next boot\n";
constexpr const char* NO_BARRIERS_FORMAT =
    "%s is mounted without write barriers: a power cut can lose what is written\n";
// The first failure's line, without its line end, follows.
constexpr const char* NOTHING_INSTALLED_FORMAT = "nothing installed, the device is unchanged: %s\n";
constexpr const char* TALLY_FORMAT = "%d installed, %d not installed.\n";
constexpr const char* UPDATE_DONE = "done.\n";
constexpr const char* UPDATE_PENDING = "the next start finishes this update.\n";
constexpr const char* UPDATE_REFUSED =
    "an earlier update is not finished: this one does not start.\n";
// A tree sealed with a manifest at its root (MANIFEST_NAME), checked before
// anything is written; a difference or a damaged manifest installs nothing.
constexpr const char* MANIFEST_NAME = "zq-manifest";
constexpr const char* MANIFEST_CHECKED_FORMAT = "checked against the card's manifest: %u entries\n";
constexpr const char* MANIFEST_NOT_LISTED_FORMAT = "%s: on the card, not in the manifest\n";
constexpr const char* MANIFEST_MISSING_FORMAT = "/%s: in the manifest, not on the card\n";
constexpr const char* MANIFEST_SIZE_FORMAT = "%s: %llu bytes on the card, %llu in the manifest\n";
constexpr const char* MANIFEST_TYPE_FORMAT = "%s: a %s on the card, a %s in the manifest\n";
constexpr const char* MANIFEST_CASE_FORMAT =
    "%s: in the manifest as /%s: the names differ only in case\n";
constexpr const char* MANIFEST_DAMAGED_FORMAT = "the card's manifest is damaged: %s\n";
// How it is damaged.
constexpr const char* MANIFEST_CUT_SHORT = "cut short or changed";
constexpr const char* MANIFEST_NOT_ONE = "not a manifest of this kind";
constexpr const char* MANIFEST_BAD_LINE = "a line that cannot be read";
constexpr const char* MANIFEST_TWICE = "a name listed twice";
constexpr const char* MANIFEST_TOO_LARGE = "not a file of at most 16 MiB";
constexpr const char* MANIFEST_HASH_FORMAT = "%s: its bytes are not the manifest's\n";
constexpr const char* MANIFEST_MORE_FORMAT = "and %u more differences\n";
constexpr const char* MANIFEST_REFUSED =
    "the card does not hold the tree its manifest lists: nothing installed, the device is "
    "unchanged.\n";
// The cards, as run_menu mounts them.
constexpr const char* MOUNTED_FORMAT = "mounted %s. errno=%d\n";
constexpr const char* MOUNT_FAILED_FORMAT = "failed to mount %s. errno=%d\n";
constexpr const char* CREATE_FAILED_FORMAT = "failed to create %s. errno=%d\n";
// What a start says of an update a cut interrupted, drawn below the countdown.
constexpr const char* RESUME_FINISHED_FORMAT =
    "finished an interrupted update: %u entries put in place.\n";
constexpr const char* RESUME_NOT_FINISHED =
    "an interrupted update is not finished: the next start finishes it.\n";
constexpr const char* RESUME_CANNOT_FINISH =
    "an interrupted update cannot be finished: install it again.\n";
constexpr const char* RESUME_REMOVED = "removed an interrupted update: no file had changed.\n";
constexpr const char* RESUME_MIXED =
    "an interrupted update left files old and new: install it again.\n";
constexpr const char* RECORD_SET_ASIDE_FORMAT = "%s set aside as %s: %s.\n";
constexpr const char* RECORD_NOT_REMOVED_FORMAT = "%s cannot be removed: %s.\n";
// An update from the menu that meets a pending one it cannot put in place.
constexpr const char* UPDATE_ABANDONED =
    "an earlier update could not be finished: the device is part old, part new; installing "
    "this one.\n";
// The countdown's report: lines past its room are counted, the last one kept.
constexpr const char* REPORT_MORE_FORMAT = "and %u more lines\n";
// Bytes of those lines kept for the countdown's screen.
constexpr int RESUME_REPORT_SIZE = 2048;

constexpr int MENU_ITEM_SIZE = 9;
// Items of MENU_ITEMS with a role of their own; 1 to 3 are the internal card's
// update trees, 4 to 6 the external card's.
constexpr int ITEM_EXIT = 0;
constexpr int ITEM_LAST_INTERNAL = 3;
constexpr int ITEM_LAST_UPDATE = 6;
constexpr int ITEM_RECOVERY = 7;
constexpr int ITEM_DOWNLOAD = 8;
extern const char* const MENU_ITEMS[MENU_ITEM_SIZE * 2];  // {label, argument} per item
// The shell command HOME runs on each item; nullptr for EXIT and the updates.
extern const char* const MENU_COMMANDS[MENU_ITEM_SIZE];

// The menu's line for item, "--> " first when it is selected; snprintf's result.
int menu_line(char* out, size_t size, int item, bool selected);
