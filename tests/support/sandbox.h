// A private root for the whole test process: its own mount namespace and a
// fresh tmpfs root holding the host's /usr, /etc, /proc and /sys, the source
// and build trees, and its own /dev, /tmp and empty top-level directories, so
// that the programs' compiled-in paths (/dev/input, /dev/graphics, /ZQ,
// /sdcard, /system, /data) are the tests' own. Needs root.
#pragma once

#include <cstddef>
#include <string>

// Enters the sandbox; aborts with a message when it cannot.
void sandbox_enter();

// mkdir -p; true when the directory exists afterwards.
bool make_dirs(const std::string& path, unsigned mode = 0755);
// rm -rf below and including path (does not cross mount points' contents).
void remove_tree(const std::string& path);
void write_text_file(const std::string& path, const std::string& text, unsigned mode = 0644);
std::string read_text_file(const std::string& path);
// How many descriptors this process has open.
int open_descriptor_count();
// How many open descriptors lead to a path starting with prefix and would be
// inherited by a program this process runs (no close-on-exec).
int descriptors_kept_across_exec(const std::string& prefix);
// Bytes of heap in use now (the allocator's count, or the sanitizer's).
size_t heap_in_use();
