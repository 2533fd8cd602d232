// What the device's update walk would make of an update tree, without copying.
#pragma once

// Lists every directory and file the walk would install (destination, size),
// everything it would skip and why, and the total per destination, for the
// tree as the update root of menu item `item` (1 to 6). 0, or 1 when anything
// would be skipped (2 when the tree cannot be read).
int update_check(const char* tree, int item);
