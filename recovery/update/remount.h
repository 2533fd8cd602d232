// /system and /data as the update needs them: Android mounts /system
// read-only, so the update remounts what is read-only for the walk and puts it
// back once everything is flushed.
#pragma once

constexpr int REMOUNT_PARTITIONS = 2;

struct remount_state {
    // Per partition: 0 untouched, else the mount flags it was made writable
    // with (MS_BIND among them when only this mount point was read-only).
    unsigned long changed[REMOUNT_PARTITIONS];
};

// Remounts /system and /data read-write where they are read-only, printing
// each on standard output. A partition that cannot be remounted stays as it
// is (its files then fail one by one).
void remount_writable(remount_state* state);
// Makes read-only again what remount_writable changed. Where the file system
// is busy (files it replaced still open or running), this mount point alone is
// made read-only.
void remount_restore(const remount_state* state);
