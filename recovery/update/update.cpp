// The update of a tree from a card: the plan decides the road, the walk
// installs, the commit makes it take effect; the update screen's lines.
#include <assert.h>
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
#include "storage_limits.h"
#include "update_commit.h"
#include "update_run.h"

namespace {

// The update screen grows a line at a time: the driver is told at most this
// often, and always before a key is waited for.
constexpr long FLUSH_INTERVAL_MS = 100;

// When the driver was last told; 0 at each update's start, whose first line flushes.
long long last_ms = 0;

void flush_now_and_then() {
    const long long ms = update_clock_ms();
    if (ms - last_ms < FLUSH_INTERVAL_MS) return;
    last_ms = ms;
    fb_flush();
}

// Formats the line into message: cut to TEXT_BUFFER_SIZE, keeping its line end.
void format_line(char* message, const char* format, va_list args) {
    const int length = vsnprintf(message, TEXT_BUFFER_SIZE, format, args);
    if (length >= TEXT_BUFFER_SIZE) message[TEXT_BUFFER_SIZE - 2] = '\n';
}

}  // namespace

long long update_clock_ms() {
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool progress_begin(copy_progress* progress, const char* destination, long long size,
                    char* message) {
    *progress = copy_progress{destination, size, 0, 0, false, posx, posy, message};
    if (size < INSTALL_PROGRESS_CHUNK) return false;
    progress->started_ms = update_clock_ms();
    return true;
}

void progress_note(install_phase phase, long long done, void* context) {
    auto* progress = static_cast<copy_progress*>(context);
    const long long now = update_clock_ms();
    if (now - progress->started_ms < PROGRESS_AFTER_MS) return;
    if (progress->drawn && now - progress->drawn_ms < PROGRESS_EVERY_MS) return;
    progress->drawn = true;
    progress->drawn_ms = now;
    const long long percent = done < progress->size ? done * 100 / progress->size : 99;
    (void)snprintf(progress->message, TEXT_BUFFER_SIZE,
                   phase == INSTALL_COPYING ? COPYING_FORMAT : CHECKING_FORMAT,
                   progress->destination, static_cast<unsigned>(percent));
    posx = progress->x;
    posy = progress->y;
    draw_string(font_20px, progress->message);
    flush_now_and_then();
}

void progress_end(const copy_progress* progress) {
    if (!progress->drawn) return;
    posx = progress->x;
    posy = progress->y;
}

void draw_message(char* message, const char* format, ...) {
    va_list args;
    va_start(args, format);
    format_line(message, format, args);
    va_end(args);
    draw_string(font_20px, message);
    flush_now_and_then();
}

void update_report(update_run* run, char* message, report_count count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    format_line(message, format, args);
    va_end(args);
    if (count == COUNT_INSTALLED) ++run->tally.installed;
    if (count == COUNT_FAILED && run->tally.failed++ == 0) {
        (void)snprintf(run->first_failure, sizeof run->first_failure, "%.*s",
                       static_cast<int>(strcspn(message, "\n")), message);
    }
    if (run->quiet) return;
    draw_string(font_20px, message);
    flush_now_and_then();
}

bool update_report_choice(update_run* run, char* message, update_choice choice,
                          const update_entry* entry) {
    const char* source = entry->source;
    switch (choice) {
        case UPDATE_RESERVED:
            update_report(run, message, COUNT_FAILED, RESERVED_FORMAT, source);
            return true;
        case UPDATE_UNREADABLE:
            update_report(run, message, COUNT_FAILED, LSTAT_FAILED_FORMAT, source,
                          strerror(entry->error));
            return true;
        case UPDATE_NOT_A_TREE:
            update_report(run, message, COUNT_FAILED, NOT_A_TREE_FORMAT, source);
            return true;
        case UPDATE_LISTED_TWICE:
            update_report(run, message, COUNT_FAILED, LISTED_TWICE_FORMAT, source);
            return true;
        default:
            return false;
    }
}

void update_report_level(update_run* run, const char* path, update_level_failure why, int error) {
    static char message[TEXT_BUFFER_SIZE];  // the level's own may be what is missing
    // A directory whose names stop part-way reads as a file that cannot be read.
    const char* format = why == UPDATE_LEVEL_NOT_OPENED    ? OPENDIR_FAILED_FORMAT
                         : why == UPDATE_LEVEL_READ_FAILED ? OPEN_FAILED_FORMAT
                                                           : SKIP_FORMAT;
    update_report(run, message, COUNT_FAILED, format, path, strerror(error));
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
    (void)snprintf(sink->last, sizeof sink->last, "%s", line);
    const size_t kept = strlen(sink->report);
    if (sink->dropped == 0 && kept + strlen(line) < sink->report_size) {
        memcpy(sink->report + kept, line, strlen(line) + 1);
    } else {
        ++sink->dropped;
    }
}

void sink_finish(update_sink* sink) {
    if (sink->draw || sink->dropped == 0) return;
    unsigned more = sink->dropped - 1;
    char count[64];
    for (;;) {
        count[0] = '\0';
        if (more > 0) (void)snprintf(count, sizeof count, REPORT_MORE_FORMAT, more);
        size_t kept = strlen(sink->report);
        if (kept + strlen(count) + strlen(sink->last) < sink->report_size || kept == 0) break;
        // The last kept line makes room.
        while (kept > 0 && sink->report[kept - 1] == '\n') --kept;
        while (kept > 0 && sink->report[kept - 1] != '\n') --kept;
        sink->report[kept] = '\0';
        ++more;
    }
    const size_t kept = strlen(sink->report);
    (void)snprintf(sink->report + kept, sink->report_size - kept, "%s%s", count, sink->last);
}

namespace {

// File data moves in chunks of this size, in few system calls.
constexpr size_t COPY_BUFFER_SIZE = 128 * 1024;

constexpr const char* PARTITION_POINTS[] = {"/system", "/data"};

// One copy runs at a time (on the worker thread): a scratch buffer, no state.
char copy_buffer[COPY_BUFFER_SIZE];

// An update and the line its failures are drawn with.
struct install_context {
    update_run run;
    char message[TEXT_BUFFER_SIZE];
    bool refused;  // the card does not hold the tree its manifest lists
};

// An entry that failed at the commit: every file it holds is not installed.
void report_entry(const char* destination, int error, int files, void* context) {
    auto* c = static_cast<install_context*>(context);
    walk_tally& tally = c->run.tally;
    tally.installed -= files < tally.installed ? files : tally.installed;
    tally.failed += files > 1 ? files - 1 : 0;  // the report counts one
    update_report(&c->run, c->message, COUNT_FAILED, WRITE_FAILED_FORMAT, destination,
                  strerror(error));
}

// Nothing of the walk takes effect: every file and failed entry it met is not installed.
update_outcome took_nothing(update_run* run) {
    run->tally = walk_tally{0, run->tally.failed + run->tally.installed};
    return UPDATE_TOOK_NOTHING;
}

// Commits an all-or-nothing update: sealed, then put in place; what cannot
// be is removed (nothing took effect) or left to a later start (committed).
// A walk that failed an entry commits nothing.
update_outcome commit(install_context* context) {
    update_run* run = &context->run;
    assert(run->all_or_nothing && run->recorded);
    if (run->tally.failed > 0) {
        commit_abandon(&run->log, &run->watch);
        return took_nothing(run);
    }
    const walk_tally walked = run->tally;
    if (run->staged_bytes > WRITING_AFTER_BYTES) {
        // Shown before the flush, which holds this thread until it ends.
        draw_string(font_20px, WRITING_TO_STORAGE);
        last_ms = update_clock_ms();
        fb_flush();
    }
    const seal_result sealed = commit_seal(&run->log, &run->watch, report_entry, context);
    if (sealed == SEAL_FAILED) {
        commit_abandon(&run->log, &run->watch);
        run->tally = walked;
        return took_nothing(run);
    }
    apply_result applied{false, false, 0, 0, 0};
    if (sealed == SEAL_DONE) commit_apply(report_entry, context, &applied);
    // Renames not begun (or not read to their end): none is known to be in place.
    if (!applied.whole) run->tally = walk_tally{0, walked.failed + walked.installed};
    if (!applied.trusted || applied.failed > 0) return UPDATE_LEFT_PENDING;
    if (run->leftover) commit_sweep(COMMIT_RECORD_PATH);
    (void)commit_remove(COMMIT_RECORD_PATH);
    return UPDATE_TOOK_ALL;
}

// The run of an update of root, on the road given, with nothing counted yet.
void new_run(update_run* run, const char* root, bool all_or_nothing) {
    update_manifest* manifest = run->manifest;
    memset(run, 0, sizeof *run);
    run->manifest = manifest;
    run->root_length = strlen(root);
    run->all_or_nothing = all_or_nothing;
    run->copy_buffer = copy_buffer;
    run->copy_size = sizeof copy_buffer;
    run->log.fd = -1;
    run->wait_written = all_or_nothing && sync_clears_write_errors();
}

// Whether the walk met the card other than its manifest lists it: the first
// differences are drawn, how many more, and the refusal.
bool manifest_refuses(install_context* context) {
    update_run* run = &context->run;
    const update_manifest* manifest = run->manifest;
    unsigned differences = run->differences;
    for (size_t i = 0; i < manifest->count; ++i) {
        if (manifest->entries[i].seen) continue;
        if (differences < MANIFEST_SHOWN) {
            (void)snprintf(run->difference_lines[differences], TEXT_BUFFER_SIZE,
                           MANIFEST_MISSING_FORMAT, manifest->entries[i].name);
        }
        ++differences;
    }
    if (differences == 0) return false;
    for (unsigned i = 0; i < differences && i < MANIFEST_SHOWN; ++i) {
        draw_string(font_20px, run->difference_lines[i]);
    }
    if (differences > MANIFEST_SHOWN) {
        draw_message(context->message, MANIFEST_MORE_FORMAT, differences - MANIFEST_SHOWN);
    }
    context->refused = true;
    return true;
}

// Walks the update root with /system and /data writable: all or nothing where
// the partitions have room for every new file at once, else file by file. A
// failure the plan finds stages nothing; so does a card that differs from its
// manifest.
update_outcome install_tree(install_context* context, const char* root) {
    update_run* run = &context->run;
    new_run(run, root, false);
    // Where the record cannot outlive a cut, nothing can be made whole.
    const bool in_memory = storage_in_memory("/data");
    if (in_memory) draw_string(font_20px, DATA_IN_MEMORY);
    for (const char* point : PARTITION_POINTS) {
        if (storage_without_barriers("/proc/mounts", point)) {
            draw_message(context->message, NO_BARRIERS_FORMAT, point);
        }
    }
    run->quiet = true;
    // A sealed tree is planned wherever it goes: the plan holds it to its manifest.
    bool fits = (!in_memory || run->manifest != nullptr) && plan_update(run, root) && !in_memory;
    if (run->manifest != nullptr) {
        if (manifest_refuses(context)) return UPDATE_TOOK_NOTHING;
        draw_message(context->message, MANIFEST_CHECKED_FORMAT,
                     static_cast<unsigned>(run->manifest->count));
    }
    if (fits && run->tally.failed > 0) {
        // Again, drawn: every failure the plan finds; then nothing is staged.
        // (A card that reads otherwise this time is planned anew.)
        new_run(run, root, true);
        fits = plan_update(run, root);
        if (fits && run->tally.failed > 0) return took_nothing(run);
    }
    new_run(run, root, fits);
    if (!run->all_or_nothing && !in_memory) draw_string(font_20px, NO_ROOM_FOR_ALL);
    run->recorded = commit_begin(&run->log, run->all_or_nothing ? COMMIT_ALL_OR_NOTHING
                                                                : COMMIT_FILE_BY_FILE) == 0;
    if (!run->recorded) {
        printf("commit record %s failed. %s\n", COMMIT_RECORD_NEW_PATH, strerror(errno));
        if (run->all_or_nothing) {
            run->all_or_nothing = false;
            draw_string(font_20px, NO_RECORD);
        }
    }
    update(run, root, 0);
    assert(run->all_or_nothing || (!run->record_failed && run->staged == 0));
    if (run->all_or_nothing) return commit(context);
    sync();
    if (run->recorded) {
        (void)commit_flush(&run->log);
        if (run->tally.failed > 0 || run->leftover) commit_sweep(COMMIT_RECORD_NEW_PATH);
        commit_close(&run->log);
        (void)commit_remove(COMMIT_RECORD_NEW_PATH);
    }
    return UPDATE_FILE_BY_FILE;
}

// The update of root, held to the manifest at its root where it has one.
update_outcome install(install_context* context, const char* root) {
    update_manifest manifest{};
    const char* why = nullptr;
    char path[TEXT_BUFFER_SIZE];
    const int sealed = manifest_load(root, path, &manifest, &why);
    update_outcome outcome = UPDATE_TOOK_NOTHING;
    if (sealed < 0) {
        if (why != nullptr) {
            draw_message(context->message, MANIFEST_DAMAGED_FORMAT, why);
        } else {
            draw_message(context->message, READ_FAILED_FORMAT, path, strerror(errno));
        }
        context->refused = true;
    } else {
        context->run.manifest = sealed == 0 ? &manifest : nullptr;
        outcome = install_tree(context, root);
        context->run.manifest = nullptr;
    }
    manifest_free(&manifest);
    return outcome;
}

// The update's last lines: why nothing took effect, the tally where not
// everything did, a tree with nothing to install.
void conclude(install_context* context, update_outcome outcome) {
    const update_run& run = context->run;
    if (context->refused) {
        draw_string(font_20px, MANIFEST_REFUSED);
        return;
    }
    const walk_tally& tally = run.tally;
    if (run.top_entries == 0 && tally.failed == 0) draw_string(font_20px, NEITHER_TREE);
    if (outcome == UPDATE_LEFT_PENDING) draw_string(font_20px, UPDATE_PENDING);
    if (outcome == UPDATE_TOOK_NOTHING && run.first_failure[0] != '\0') {
        draw_message(context->message, NOTHING_INSTALLED_FORMAT, run.first_failure);
    }
    if (tally.failed > 0 || outcome == UPDATE_LEFT_PENDING) {
        draw_message(context->message, TALLY_FORMAT, tally.installed, tally.failed);
    }
}

}  // namespace

// Everything installed reaches storage before the screen says so, since a
// user who sees "done." may pull the battery.
void update_install(const char* root) {
    char message[TEXT_BUFFER_SIZE];
    last_ms = 0;
    update_sink sink{true, nullptr, 0, 0, {}};
    if (!update_finish_pending(&sink, false)) {
        draw_string(font_20px, UPDATE_REFUSED);
        return;
    }
    struct stat st {};
    auto* context = static_cast<install_context*>(calloc(1, sizeof(install_context)));
    if (stat(root, &st) != 0 || !S_ISDIR(st.st_mode)) {
        draw_message(message, NO_TREE_FORMAT, root);
    } else if (context == nullptr) {
        draw_message(message, SKIP_FORMAT, root, strerror(ENOMEM));
    } else {
        remount_state mounts;
        remount_writable(&mounts);
        const update_outcome outcome = install(context, root);
        remount_restore(&mounts);
        conclude(context, outcome);
    }
    free(context);
    draw_string(font_20px, UPDATE_DONE);
}
