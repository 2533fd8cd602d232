// What the storage under /system and /data cannot keep of the update's
// promise, as the kernel shows it.
#pragma once

// Whether the file system at path lives in memory (tmpfs, ramfs): what is
// written there is gone at the next boot, and so is a commit record.
bool storage_in_memory(const char* path);
// Whether the last mount on mount_point in the table of mounts (at table)
// was made without write barriers (barrier=0, nobarrier): a power cut can
// lose what a flush said was written. Only options the kernel shows count.
bool storage_without_barriers(const char* table, const char* mount_point);
