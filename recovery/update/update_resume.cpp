// The next start: what an interrupted update left is finished, removed or
// set aside before anything else, and said where the user can read it.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "recovery_facts.h"
#include "remount.h"
#include "update.h"
#include "update_commit.h"
#include "update_run.h"

char resume_report[RESUME_REPORT_SIZE];

namespace {

void report_rename(const char* destination, int error, int /*files*/, void* sink) {
    sink_line(static_cast<update_sink*>(sink), "write %s failed. %s\n", destination,
              strerror(error));
}

bool set_aside(update_sink* sink, const char* path, const char* why) {
    if (record_set_aside(path) != 0) {
        sink_line(sink, "rename %s failed. %s\n", path, strerror(errno));
        return false;
    }
    sink_line(sink, RECORD_SET_ASIDE_FORMAT, path, COMMIT_RECORD_ASIDE_PATH, why);
    return true;
}

// A record that cannot be read: kept at the next start (the fault may pass),
// set aside by an update about to begin, which installs anew.
bool unreadable(update_sink* sink, bool at_start, const char* path, int error) {
    sink_line(sink, "read %s failed. %s\n", path, strerror(error));
    return !at_start && set_aside(sink, path, "it cannot be read");
}

// The sealed record: its presence is the commit, so it is finished, kept, or
// (not to be trusted) set aside, never taken as never committed.
bool finish_sealed(update_sink* sink, bool at_start, const record_summary* found) {
    const char* path = COMMIT_RECORD_PATH;
    const char* why = found->why;
    if (found->state == RECORD_ABSENT) return true;
    if (found->state == RECORD_TRUSTED && found->road == COMMIT_FILE_BY_FILE) {
        // An earlier version's note of a file being written in place.
        if (found->in_place[0] != '\0') sink_line(sink, DAMAGED_FORMAT, found->in_place);
        (void)commit_remove(path);
        return true;
    }
    if (found->state == RECORD_TRUSTED && found->sealed) {
        apply_result applied;
        commit_apply(report_rename, sink, &applied);
        if (applied.trusted && applied.failed == 0) {
            sink_line(sink, RESUME_FINISHED_FORMAT, applied.entries);
            // A record left in place would have a later update's staged names taken for its own.
            if (commit_remove(path) == 0 || commit_remove(path) == 0) return true;
            sink_line(sink, RECORD_NOT_REMOVED_FORMAT, path, strerror(errno));
            return false;
        }
        if (applied.trusted && !at_start && applied.failed == applied.unmendable) {
            // No later start can finish it: an update from the menu installs anew.
            if (!set_aside(sink, path, "it cannot be finished")) return false;
            commit_sweep(COMMIT_RECORD_ASIDE_PATH);
            sink_line(sink, UPDATE_ABANDONED);
            return true;
        }
        if (applied.trusted) {
            sink_line(sink, RESUME_NOT_FINISHED);
            return false;
        }
        why = "it changed as it was read";
    } else if (found->state == RECORD_TRUSTED) {
        why = "its check fails";
    }
    bool done = false;
    if (found->state == RECORD_UNREADABLE) {
        done = unreadable(sink, at_start, path, found->error);
    } else {
        done = set_aside(sink, path, why);
    }
    sink_line(sink, RESUME_CANNOT_FINISH);
    return done;
}

// The record of an update cut before its commit point: what it staged goes.
bool finish_unsealed(update_sink* sink, bool at_start, const record_summary* found) {
    const char* path = COMMIT_RECORD_NEW_PATH;
    if (found->state == RECORD_ABSENT) return true;
    if (found->state == RECORD_UNREADABLE) return unreadable(sink, at_start, path, found->error);
    if (found->state == RECORD_REJECTED) return set_aside(sink, path, found->why);
    commit_sweep(path);
    (void)commit_remove(path);
    sink_line(sink, found->road == COMMIT_ALL_OR_NOTHING ? RESUME_REMOVED : RESUME_MIXED);
    if (found->in_place[0] != '\0') sink_line(sink, DAMAGED_FORMAT, found->in_place);
    return true;
}

}  // namespace

bool update_finish_pending(update_sink* sink, bool at_start) {
    auto* found = static_cast<record_summary*>(malloc(2 * sizeof(record_summary)));
    if (found == nullptr) return false;
    record_read(COMMIT_RECORD_PATH, nullptr, nullptr, &found[0]);
    record_read(COMMIT_RECORD_NEW_PATH, nullptr, nullptr, &found[1]);
    bool done = true;
    if (found[0].state != RECORD_ABSENT || found[1].state != RECORD_ABSENT) {
        remount_state mounts;
        remount_writable(&mounts);
        done =
            finish_sealed(sink, at_start, &found[0]) && finish_unsealed(sink, at_start, &found[1]);
        remount_restore(&mounts);
    }
    free(found);
    return done;
}

void update_resume() {
    resume_report[0] = '\0';
    auto* sink = static_cast<update_sink*>(calloc(1, sizeof(update_sink)));
    if (sink == nullptr) return;
    *sink = update_sink{false, resume_report, sizeof resume_report, 0, {}};
    (void)update_finish_pending(sink, true);
    sink_finish(sink);
    free(sink);
}
