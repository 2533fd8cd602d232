// One update as it runs, shared by the plan, the walk, the install roads and
// the next start; all of it on the worker thread (or before the threads).
#pragma once

#include <stddef.h>

#include "commit_record.h"
#include "update_commit.h"
#include "update.h"
#include "update_paths.h"

// What the walk installed, and the entries it reported as not installed.
struct walk_tally {
    int installed;
    int failed;
};

struct update_run {
    size_t root_length;   // the update root's, which destinations leave out
    bool all_or_nothing;  // staged and committed at once, else installed file by file
    bool recorded;        // the commit record was started
    bool record_failed;   // a directory could not be listed: nothing more is staged
    bool pending;         // committed, with the renames left to a later start
    bool leftover;        // a temporary file could not be removed
    unsigned staged;      // staged names handed out
    walk_tally tally;
    char* copy_buffer;
    size_t copy_size;
    commit_log log;
    partition_watch watch;  // where the all-or-nothing road stages
};

// Where the lines of a finish of an interrupted update go: standard output
// always, and the screen (draw) or report, a buffer of report_size bytes
// that keeps the lines for the countdown's screen.
struct update_sink {
    bool draw;
    char* report;
    size_t report_size;
};

// Formats a line for the sink: printed, and drawn or kept.
__attribute__((format(printf, 2, 3))) void sink_line(update_sink* sink, const char* format, ...);

// The update tree on the card, as the device reads it.
extern const update_tree CARD_TREE;

// Whether every file system the update root's tree goes to has room for all
// of it at once (the all-or-nothing road).
bool plan_update(const char* root);
// Walks the directory path of the update tree (depth 0: the update root),
// installing what update_decide takes, as run says.
void update(update_run* run, const char* path, int depth);
// Finishes an update a cut interrupted (or a rename failure left): completes
// a sealed one, removes what an unsealed one staged, sets aside a record
// that cannot be trusted. at_start: the next start, which keeps a record it
// cannot read; else an update about to begin, which sets it aside. True when
// nothing is left pending.
bool update_finish_pending(update_sink* sink, bool at_start);
