// What a FAT card makes of names, as the desk that fills it and the device's
// vfat see them: trailing dots and spaces dropped, case folded (ASCII for
// 8.3 names, Unicode's simple case mapping for long names, as a desktop's
// FAT driver and vfat with iocharset=utf8 compare them), and the directory
// entries (32-byte slots) a name takes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// A directory holds at most this many slots.
constexpr size_t FAT_DIRECTORY_SLOTS = 65536;

// The name a FAT card compares: no trailing dots or spaces, upper case.
// Bytes that are not UTF-8 stay as they are.
std::string fat_folded(const std::string& name);
// Whether a and b differ only in their trailing dots and spaces.
bool fat_same_but_trailing(const std::string& a, const std::string& b);
// The slots a name takes in its directory: one for its short entry, and
// one for each 13 UTF-16 units of its long name where it needs one.
size_t fat_slots(const std::string& name);

// Names of one directory that a FAT card keeps as one: pairs of indices into
// names (each later one with the first it folds like), found by sorting.
std::vector<std::pair<size_t, size_t>> fat_collisions(const std::vector<std::string>& names);
