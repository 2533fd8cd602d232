// What the device's update walk would make of an update tree, without copying.
#pragma once

#include <string>

// Lists every directory and file the walk would install (destination, size),
// everything it would skip and why, and the total per destination, for the
// tree as the update root of menu item `item` (1 to 6). 0, or 1 when anything
// would be skipped (2 when the tree cannot be read).
int update_check(const char* tree, int item);

// The longest progress line the walk would draw for the tree as the root of
// menu item `item`; empty when it would draw none.
std::string update_longest_line(const char* tree, int item);

// Writes the tree's manifest (its root's zq-manifest): every directory and
// file the device would install, with sizes and SHA-256. 0; 1 when an entry
// has a name a manifest or a FAT card cannot carry, or the device would
// skip it; 2 when the tree cannot be read or the manifest written.
int update_seal(const char* tree);
