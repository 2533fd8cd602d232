#include "device_facts.h"

#include <cstdio>

#include "animation_facts.h"
#include "commit_record.h"
#include "exit_status.h"
#include "file_install.h"
#include "json_writer.h"
#include "recovery_facts.h"

namespace {

struct named_text {
    const char* name;
    const char* text;
};
struct named_number {
    const char* name;
    long long value;
};

#define FACT(name) \
    { #name, name }

// Every text of the programs' screens and records, by the name the source gives it.
const named_text TEXTS[] = {
    {"ZQ_TITLE_LINES", ZQ_TITLE_LINES},
    FACT(COUNTDOWN_FORMAT),
    FACT(BANNER),
    FACT(UPDATE_HEADER_FORMAT),
    FACT(UPDATE_PROMPT),
    FACT(CREATE_DIR_FORMAT),
    FACT(COPIED_FORMAT),
    FACT(IN_PLACE_FORMAT),
    FACT(OPEN_FAILED_FORMAT),
    FACT(READ_FAILED_FORMAT),
    FACT(WRITE_FAILED_FORMAT),
    FACT(MKDIR_FAILED_FORMAT),
    FACT(LSTAT_FAILED_FORMAT),
    FACT(OPENDIR_FAILED_FORMAT),
    FACT(RENAME_FAILED_FORMAT),
    FACT(SKIP_FORMAT),
    FACT(PATH_TOO_LONG_FORMAT),
    FACT(RESERVED_FORMAT),
    FACT(LISTED_TWICE_FORMAT),
    FACT(NOT_A_TREE_FORMAT),
    FACT(DAMAGED_FORMAT),
    FACT(COPYING_FORMAT),
    FACT(CHECKING_FORMAT),
    FACT(WRITING_TO_STORAGE),
    FACT(NO_TREE_FORMAT),
    FACT(NEITHER_TREE),
    FACT(NO_ROOM_FOR_ALL),
    FACT(NO_RECORD),
    FACT(DATA_IN_MEMORY),
    FACT(NO_BARRIERS_FORMAT),
    FACT(NOTHING_INSTALLED_FORMAT),
    FACT(TALLY_FORMAT),
    FACT(UPDATE_DONE),
    FACT(UPDATE_PENDING),
    FACT(UPDATE_REFUSED),
    FACT(MANIFEST_NAME),
    FACT(MANIFEST_CHECKED_FORMAT),
    FACT(MANIFEST_NOT_LISTED_FORMAT),
    FACT(MANIFEST_MISSING_FORMAT),
    FACT(MANIFEST_SIZE_FORMAT),
    FACT(MANIFEST_TYPE_FORMAT),
    FACT(MANIFEST_CASE_FORMAT),
    FACT(MANIFEST_DAMAGED_FORMAT),
    FACT(MANIFEST_CUT_SHORT),
    FACT(MANIFEST_NOT_ONE),
    FACT(MANIFEST_BAD_LINE),
    FACT(MANIFEST_TWICE),
    FACT(MANIFEST_TOO_LARGE),
    FACT(MANIFEST_HASH_FORMAT),
    FACT(MANIFEST_MORE_FORMAT),
    FACT(MANIFEST_REFUSED),
    FACT(MOUNTED_FORMAT),
    FACT(MOUNT_FAILED_FORMAT),
    FACT(CREATE_FAILED_FORMAT),
    FACT(RESUME_FINISHED_FORMAT),
    FACT(RESUME_NOT_FINISHED),
    FACT(RESUME_CANNOT_FINISH),
    FACT(RESUME_REMOVED),
    FACT(RESUME_MIXED),
    FACT(RECORD_SET_ASIDE_FORMAT),
    FACT(RECORD_NOT_REMOVED_FORMAT),
    FACT(UPDATE_ABANDONED),
    FACT(REPORT_MORE_FORMAT),
    FACT(INSTALL_TEMP_NAME),
    FACT(COMMIT_RECORD_PATH),
    FACT(COMMIT_RECORD_NEW_PATH),
    FACT(COMMIT_RECORD_ASIDE_PATH),
};

// The countdown, the geometry of the screens and the limits.
const named_number NUMBERS[] = {
    FACT(TEXT_BUFFER_SIZE),
    FACT(COUNTDOWN_SECONDS),
    FACT(BANNER_LINES),
    FACT(UPDATE_HEADER_LINES),
    FACT(UPDATE_PROGRESS_GAP),
    FACT(PROGRESS_AFTER_MS),
    FACT(PROGRESS_EVERY_MS),
    FACT(WRITING_AFTER_BYTES),
    FACT(RESUME_REPORT_SIZE),
    FACT(MENU_ITEM_SIZE),
    FACT(ITEM_EXIT),
    FACT(ITEM_LAST_INTERNAL),
    FACT(ITEM_LAST_UPDATE),
    FACT(ITEM_RECOVERY),
    FACT(ITEM_DOWNLOAD),
    FACT(FRAME_Y),
    FACT(FPS),
};

#undef FACT

}  // namespace

void device_facts_characters(bool used[95]) {
    const auto mark = [&](const char* text) {
        for (const char* p = text; *p != '\0'; ++p) {
            if (*p >= 32 && *p <= 126) used[*p - 32] = true;
        }
    };
    for (const named_text& t : TEXTS) mark(t.text);
    for (const char* item : MENU_ITEMS) mark(item);
}

int device_facts(bool json) {
    if (!json) {
        for (const named_text& t : TEXTS) printf("%s: %s\n", t.name, json_string(t.text).c_str());
        for (const named_number& n : NUMBERS) printf("%s: %lld\n", n.name, n.value);
        for (int i = 0; i < MENU_ITEM_SIZE; ++i) {
            printf("menu %d: %s: %s (%s)\n", i, MENU_ITEMS[2 * i], MENU_ITEMS[2 * i + 1],
                   MENU_COMMANDS[i] != nullptr ? MENU_COMMANDS[i] : "no command");
        }
        return EXIT_CLEAN;
    }
    printf("{\n  \"texts\": {");
    const char* separator = "\n";
    for (const named_text& t : TEXTS) {
        printf("%s    \"%s\": %s", separator, t.name, json_string(t.text).c_str());
        separator = ",\n";
    }
    printf("\n  },\n  \"numbers\": {");
    separator = "\n";
    for (const named_number& n : NUMBERS) {
        printf("%s    \"%s\": %lld", separator, n.name, n.value);
        separator = ",\n";
    }
    printf("\n  },\n  \"menu\": [");
    separator = "\n";
    for (int i = 0; i < MENU_ITEM_SIZE; ++i) {
        const char* command = MENU_COMMANDS[i];
        printf("%s    {\"label\": %s, \"argument\": %s, \"command\": %s}", separator,
               json_string(MENU_ITEMS[2 * i]).c_str(), json_string(MENU_ITEMS[2 * i + 1]).c_str(),
               command != nullptr ? json_string(command).c_str() : "null");
        separator = ",\n";
    }
    printf("\n  ]\n}\n");
    return EXIT_CLEAN;
}
