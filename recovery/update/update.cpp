// The update of a tree from a card: the plan decides the road, the walk
// installs, the commit makes it take effect; the update screen's lines.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "console.h"
#include "file_install.h"
#include "framebuffer.h"
#include "recovery_facts.h"
#include "remount.h"
#include "update_commit.h"
#include "update_run.h"

namespace {

// The update screen grows a line at a time: the driver is told at most this
// often, and always before a key is waited for.
constexpr long FLUSH_INTERVAL_MS = 100;

void flush_now_and_then() {
    static long long last_ms = 0;  // a rate, not state: the first line of any update flushes
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ms = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    if (ms - last_ms < FLUSH_INTERVAL_MS) return;
    last_ms = ms;
    fb_flush();
}

}  // namespace

void draw_message(char* message, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(message, TEXT_BUFFER_SIZE, format, args);
    va_end(args);
    if (length >= TEXT_BUFFER_SIZE) message[TEXT_BUFFER_SIZE - 2] = '\n';
    draw_string(font_20px, message);
    flush_now_and_then();
}

void sink_line(update_sink* sink, const char* format, ...) {
    char line[TEXT_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length >= TEXT_BUFFER_SIZE) line[TEXT_BUFFER_SIZE - 2] = '\n';
    (void)fputs(line, stdout);
    if (sink->draw) {
        draw_string(font_20px, line);
        flush_now_and_then();
        return;
    }
    const size_t kept = strlen(sink->report);
    if (kept + strlen(line) < sink->report_size)
        memcpy(sink->report + kept, line, strlen(line) + 1);
}

namespace {

// File data moves in chunks of this size, in few system calls.
constexpr size_t COPY_BUFFER_SIZE = 128 * 1024;

// One copy runs at a time (on the worker thread): a scratch buffer, no state.
char copy_buffer[COPY_BUFFER_SIZE];

// An update and the line its failures are drawn with.
struct install_context {
    update_run run;
    char message[TEXT_BUFFER_SIZE];
};

// An entry that failed at the commit: every file it holds is not installed.
void report_entry(const char* destination, int error, int files, void* context) {
    auto* c = static_cast<install_context*>(context);
    draw_message(c->message, "write %s failed. %s\n", destination, strerror(error));
    walk_tally& tally = c->run.tally;
    tally.installed -= files < tally.installed ? files : tally.installed;
    tally.failed += files > 0 ? files : 1;
}

// Commits an all-or-nothing update: sealed, then put in place; what cannot
// be is removed (nothing took effect) or left to a later start (committed).
void commit(install_context* context) {
    update_run* run = &context->run;
    const walk_tally walked = run->tally;
    const seal_result sealed = commit_seal(&run->log, &run->watch, report_entry, context);
    if (sealed == SEAL_FAILED) {
        commit_sweep(COMMIT_RECORD_NEW_PATH);
        commit_remove(COMMIT_RECORD_NEW_PATH);
        run->tally = walk_tally{0, walked.failed + walked.installed};
        return;
    }
    apply_result applied{false, 0, 0};
    if (sealed == SEAL_DONE) commit_apply(report_entry, context, &applied);
    run->pending = !applied.trusted || applied.failed > 0;
    // Renames not begun (or not read to their end): none is known to be in place.
    if (!applied.trusted) run->tally = walk_tally{0, walked.failed + walked.installed};
    if (run->pending) {
        draw_string(font_20px, UPDATE_PENDING);
        return;
    }
    if (run->tally.failed > 0 || run->leftover) commit_sweep(COMMIT_RECORD_PATH);
    commit_remove(COMMIT_RECORD_PATH);
}

// Walks the update root with /system and /data writable: all or nothing where
// the partitions have room for every new file at once, else file by file.
void install(install_context* context, const char* root) {
    update_run* run = &context->run;
    run->root_length = strlen(root);
    run->copy_buffer = copy_buffer;
    run->copy_size = sizeof copy_buffer;
    run->all_or_nothing = plan_update(root);
    if (!run->all_or_nothing) {
        draw_string(font_20px,
                    "not enough room for an all-or-nothing update: installing file by file\n");
    }
    run->recorded = commit_begin(&run->log, run->all_or_nothing ? COMMIT_ALL_OR_NOTHING
                                                                : COMMIT_FILE_BY_FILE) == 0;
    if (!run->recorded) {
        printf("commit record %s failed. %s\n", COMMIT_RECORD_NEW_PATH, strerror(errno));
        if (run->all_or_nothing) {
            run->all_or_nothing = false;
            draw_string(font_20px, "no commit record: installing file by file\n");
        }
    }
    update(run, root, 0);
    if (run->all_or_nothing) {
        commit(context);
    } else {
        sync();
        if (run->recorded) {
            (void)commit_flush(&run->log);
            if (run->tally.failed > 0 || run->leftover) commit_sweep(COMMIT_RECORD_NEW_PATH);
            commit_close(&run->log);
            commit_remove(COMMIT_RECORD_NEW_PATH);
        }
    }
}

}  // namespace

// Everything installed reaches storage before the screen says so, since a
// user who sees "done." may pull the battery.
void update_install(const char* root) {
    char message[TEXT_BUFFER_SIZE];
    update_sink sink{true, nullptr, 0};
    if (!update_finish_pending(&sink, false)) {
        draw_string(font_20px, UPDATE_REFUSED);
        return;
    }
    struct stat st {};
    auto* context = static_cast<install_context*>(calloc(1, sizeof(install_context)));
    if (stat(root, &st) != 0 || !S_ISDIR(st.st_mode)) {
        draw_message(message, NO_TREE_FORMAT, root);
    } else if (context == nullptr) {
        draw_message(message, "skip %s. %s\n", root, strerror(ENOMEM));
    } else {
        remount_state mounts;
        remount_writable(&mounts);
        install(context, root);
        remount_restore(&mounts);
        const walk_tally& tally = context->run.tally;
        if (tally.failed > 0 || context->run.pending) {
            draw_message(message, "%d installed, %d not installed.\n", tally.installed,
                         tally.failed);
        }
    }
    free(context);
    draw_string(font_20px, "done.\n");
}

