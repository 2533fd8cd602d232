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

// The update's own lines, beyond the walk's.
constexpr const char* RESERVED_FORMAT = "reserved name, skipped %s\n";
constexpr const char* NO_TREE_FORMAT = "the card holds no update tree at %s.\n";
constexpr const char* DAMAGED_FORMAT = "%s may be damaged: it was being written in place.\n";
constexpr const char* UPDATE_PENDING = "the next start finishes this update.\n";
constexpr const char* UPDATE_REFUSED =
    "an earlier update is not finished: this one does not start.\n";
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
