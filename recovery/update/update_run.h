// One update as it runs, shared by the plan, the walk, the install roads and
// the next start; all of it on the worker thread (or before the threads).
#pragma once

#include <stddef.h>
#include <sys/statvfs.h>

#include "commit_record.h"
#include "file_install.h"
#include "update.h"
#include "update_commit.h"
#include "update_manifest.h"
#include "update_paths.h"

// What the walk installed, and the entries it reported as not installed.
struct walk_tally {
    int installed;
    int failed;
};

// What an update took effect as.
enum update_outcome {
    UPDATE_TOOK_ALL,      // every entry is in place
    UPDATE_TOOK_NOTHING,  // nothing is: the device is unchanged
    UPDATE_LEFT_PENDING,  // committed, with renames left to the next start
    UPDATE_FILE_BY_FILE,  // each file is old or new, as its line says
};

// How far one file's work has gone, drawn on the line its result takes.
struct copy_progress {
    const char* destination;
    long long size;        // bytes each phase has to do
    long long started_ms;  // update_clock_ms at the file's start
    long long drawn_ms;    // when its line was last drawn
    bool drawn;
    int x, y;       // where its line starts
    char* message;  // TEXT_BUFFER_SIZE bytes
};

// Differences from a card's manifest drawn before the count of the rest.
constexpr int MANIFEST_SHOWN = 4;

struct update_run {
    size_t root_length;   // the update root's, which destinations leave out
    bool all_or_nothing;  // staged and committed at once, else installed file by file
    bool recorded;        // the commit record was started
    bool record_failed;   // a directory could not be listed: nothing more is staged
    bool leftover;        // a temporary file could not be removed
    bool quiet;           // lines are counted and the first failure kept, none drawn
    bool wait_written;    // each staged file waited for before it is closed (old kernels)
    unsigned staged;      // staged names handed out
    long long staged_bytes;
    unsigned top_entries;  // system and data entries met at the update root
    walk_tally tally;
    copy_progress progress;  // of the file being installed
    char* copy_buffer;
    size_t copy_size;
    commit_log log;
    partition_watch watch;                 // where the all-or-nothing road stages
    char first_failure[TEXT_BUFFER_SIZE];  // the first failure's line, without its line end
    update_manifest* manifest;             // the card's, where its tree is sealed
    unsigned differences;                  // from it, the first MANIFEST_SHOWN lines kept
    char difference_lines[MANIFEST_SHOWN][TEXT_BUFFER_SIZE];
};

// How a line of the update counts in its tally.
enum report_count {
    COUNT_NONE,
    COUNT_INSTALLED,
    COUNT_FAILED,
};
// Every line of the update about one entry: formatted into message
// (TEXT_BUFFER_SIZE bytes) from a text of recovery_facts, drawn unless the
// run is quiet, counted; the run keeps its first failure's.
__attribute__((format(printf, 4, 5))) void update_report(update_run* run, char* message,
                                                         report_count count, const char* format,
                                                         ...);

// CLOCK_MONOTONIC in milliseconds.
long long update_clock_ms();
// Starts the progress of the file about to be installed from the cursor
// (drawn into message); false where it is too small to report any.
bool progress_begin(copy_progress* progress, const char* destination, long long size,
                    char* message);
// The install's report of how far a phase has gone: the file's line redrawn
// in place once its work has run PROGRESS_AFTER_MS, then every PROGRESS_EVERY_MS.
void progress_note(install_phase phase, long long done, void* context);
// Back to the start of the file's line, where progress was drawn there.
void progress_end(const copy_progress* progress);

// Where the lines of a finish of an interrupted update go: standard output
// always, and the screen (draw) or report, a buffer of report_size bytes
// that keeps the lines for the countdown's screen.
struct update_sink {
    bool draw;
    char* report;
    size_t report_size;
    unsigned dropped;             // lines past the report's room
    char last[TEXT_BUFFER_SIZE];  // the latest line: the conclusion, which stays shown
};

// The lines of the entries the walk refuses whatever the road (reserved,
// unreadable, not a tree, listed twice), counted as failed: true for those.
bool update_report_choice(update_run* run, char* message, update_choice choice,
                          const update_entry* entry);
// The line of a level whose names could not all be read, counted as failed.
void update_report_level(update_run* run, const char* path, update_level_failure why, int error);

// Formats a line for the sink: printed, and drawn or kept.
__attribute__((format(printf, 2, 3))) void sink_line(update_sink* sink, const char* format, ...);
// Ends the report: where lines did not fit, the last one still shows, after
// a line that counts the others left out.
void sink_finish(update_sink* sink);

// The update tree on the card, as the device reads it.
extern const update_tree CARD_TREE;

// Walks the update root as the install will: whether every file system it
// goes to has room for all of it at once (the all-or-nothing road). Every
// failure the walk can see before staging goes to update_report (quiet or
// drawn, as the run says); the files it would install count as installed.
bool plan_update(update_run* run, const char* root);
// Whether a file system with the room statvfs describes holds bytes and
// inodes more, beyond what ext4 keeps back.
bool plan_room_fits(unsigned long long bytes, unsigned long long inodes,
                    const struct statvfs* room);
// The room the plan reckons for a file of size bytes, or a new directory (0).
unsigned long long plan_room_of(unsigned long long size);
// Walks the directory path of the update tree (depth 0: the update root),
// installing what update_decide takes, as run says.
void update(update_run* run, const char* path, int depth);
// Finishes an update a cut interrupted (or a rename failure left): completes
// a sealed one, removes what an unsealed one staged, sets aside a record
// that cannot be trusted. at_start: the next start, which keeps a record it
// cannot read; else an update about to begin, which sets it aside. True when
// nothing is left pending.
bool update_finish_pending(update_sink* sink, bool at_start);
