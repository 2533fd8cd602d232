// Texts shared by the menu and the update screens.
#pragma once

constexpr int TEXT_BUFFER_SIZE = 1024;

#define ZQ_TITLE_LINES "<< ZQ RECOVERY v0.1 >>\nhttp://www.example.com\n"

// The countdown line, with the seconds left.
constexpr const char* COUNTDOWN_FORMAT =
    "Press HOME key to enter ZQ recovery mode in %d seconds...";
// The menu's banner: title, web address, an empty line.
constexpr const char* BANNER = ZQ_TITLE_LINES "\n";
// The update screen's header, with the item's label.
constexpr const char* UPDATE_HEADER_FORMAT = ZQ_TITLE_LINES "\n%s\n----------------------\n";
