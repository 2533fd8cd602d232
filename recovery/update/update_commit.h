// What the commit record drives: the commit point, the renames after it, and
// the removal of what an update left staged.
#pragma once

#include <sys/types.h>

#include "commit_record.h"

// Called for an entry that failed: destination, the error, and how many
// files the entry holds (a staged directory holds all of its own).
using commit_report = void (*)(const char* destination, int error, int files, void* context);

// The file systems an update stages on, each watched for write errors from
// before the update first writes there: kernels from 5.8 on report any of
// its files' on syncfs.
constexpr int WATCHED_PARTITIONS = 8;
struct partition_watch {
    int count;
    bool overflow;  // more file systems than it watches
    int fd[WATCHED_PARTITIONS];
    dev_t device[WATCHED_PARTITIONS];
    char path[WATCHED_PARTITIONS][TEXT_BUFFER_SIZE];
};
// Watches the file system of directory, unless it is watched already.
void watch_partition(partition_watch* watch, const char* directory);
// Whether syncfs reports the write errors of a file system's files (Linux 5.8 on).
bool syncfs_reports_errors();
// Whether the one flush (sync) clears each file's write error, so that only
// a wait on the file before it is closed sees it: kernels before "make
// global sync not clear error status of individual inodes" (4.6; a vendor
// kernel with it backported only pays the wait).
bool sync_clears_write_errors();

enum seal_result {
    SEAL_FAILED,     // nothing takes effect; the failure went to report
    SEAL_DONE,       // committed: the renames may begin
    SEAL_UNFLUSHED,  // committed, but not known to be on storage: the renames wait
};
// The commit point: one flush of everything, a check that every staged file
// reached storage (a write error of one fails the update, naming it; where
// the watched file systems can say none had one, no file is looked at), then
// the record sealed, flushed and renamed to COMMIT_RECORD_PATH. The watch is
// released.
seal_result commit_seal(commit_log* log, partition_watch* watch, commit_report report,
                        void* context);

struct apply_result {
    bool trusted;         // the record is sealed and trusted; else nothing was done
    bool whole;           // and its renames were read to its end
    unsigned entries;     // the record's entries
    unsigned failed;      // entries that could not be put in place: they stay staged
    unsigned unmendable;  // of those, the ones another try cannot put there either
};
// Renames what the sealed record lists and flushes that. A staged name
// already gone was renamed before, where the directory it was staged in is
// there; a record read whole once stays trusted when a later read fails
// (its entries not reached count as one failed). An entry that cannot be
// renamed stays staged and goes to report; the record stays too, for a
// later start. Unmendable: a directory not empty, or a file where a
// directory goes or the other way round.
void commit_apply(commit_report report, void* context, apply_result* out);
// Removes the staged and temporary names in the directories the record at
// path lists (the record must be trusted), all on storage.
void commit_sweep(const char* path);
// Gives up an update before its commit point: the record is closed, the
// watch released, what was staged removed and the record with it.
void commit_abandon(commit_log* log, partition_watch* watch);
// Removes the record at path, on storage: 0, or -1 with errno set.
int commit_remove(const char* path);
