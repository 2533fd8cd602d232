#include "recovery_facts.h"

#include <stdio.h>

namespace {

// RECOVERY's argument is the command it runs; DOWNLOAD shows one and runs another.
constexpr const char* RECOVERY_COMMAND = "reboot recovery";
constexpr const char* DOWNLOAD_COMMAND = "reboot download";

}  // namespace

const char* const MENU_ITEMS[MENU_ITEM_SIZE * 2] = {
    "EXIT",
    "exit recovery",
    "INTERNAL SDCARD00",
    "/sdcard/zq/update00",
    "INTERNAL SDCARD01",
    "/sdcard/zq/update01",
    "INTERNAL SDCARD02",
    "/sdcard/zq/update02",
    "EXTERNAL SDCARD00",
    "/sdcard/sd/zq/update00",
    "EXTERNAL SDCARD01",
    "/sdcard/sd/zq/update01",
    "EXTERNAL SDCARD02",
    "/sdcard/sd/zq/update02",
    "RECOVERY",
    RECOVERY_COMMAND,
    "DOWNLOAD",
    "reboot download mode",
};

const char* const MENU_COMMANDS[MENU_ITEM_SIZE] = {
    nullptr, nullptr, nullptr,          nullptr,          nullptr,
    nullptr, nullptr, RECOVERY_COMMAND, DOWNLOAD_COMMAND,
};

int menu_line(char* out, size_t size, int item, bool selected) {
    return snprintf(out, size, "%s%s: %s\n", selected ? "--> " : "", MENU_ITEMS[item * 2],
                    MENU_ITEMS[item * 2 + 1]);
}
