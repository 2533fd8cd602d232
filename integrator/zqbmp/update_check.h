// What the device's update walk would make of an update tree, without copying.
#pragma once

#include <string>

// Lists every directory and file the walk would install (destination, size),
// everything it would skip and why, and the total per destination, for the
// tree as the update root of the item (1 to 6). On a terminal, a long run
// shows how many entries it has checked. An exit status:
// findings when anything would be skipped, a sealed tree differs from its
// manifest, or (strict) there is any warning; unreadable when the tree is.
struct update_check_options {
    int item = 4;
    bool strict = false;  // warnings are findings
    bool quiet = false;   // no progress on standard error, even a terminal
    bool json = false;    // one JSON document of the findings instead of lines
};
int update_check(const char* tree, const update_check_options& options);

// Whether path is a directory; else false after a line on standard error
// that says what it is.
bool is_directory(const char* path);

// The longest progress line the walk would draw for the tree as the root of
// menu item `item`; empty when it would draw none.
std::string update_longest_line(const char* tree, int item);

// Writes the tree's manifest (its root's zq-manifest): every directory and
// file the device would install, with sizes and SHA-256. An exit status:
// findings when an entry has a name a manifest or a FAT card cannot carry,
// or the device would skip it; unreadable when the tree cannot be read or
// the manifest written.
int update_seal(const char* tree);
