// Failure injection at the system calls of the install road: linked with
// -Wl,--wrap for each call below, every call the code under test makes while
// the seam is armed is counted; the chosen one fails with the chosen errno,
// or the process ends just before it runs, as a cut would end it.
#pragma once

#include <stddef.h>

#include <string>

enum fault_call {
    FAULT_OPEN,
    FAULT_READ,
    FAULT_WRITE,
    FAULT_SENDFILE,
    FAULT_FSYNC,
    FAULT_FDATASYNC,
    FAULT_FCHOWN,
    FAULT_FCHMOD,
    FAULT_FSETXATTR,
    FAULT_RENAME,
    FAULT_UNLINK,
    FAULT_MKDIR,
    FAULT_READDIR,
    FAULT_CLOSE,
    FAULT_SYNC_FILE_RANGE,
    FAULT_SYNCFS,
    FAULT_SYNC,  // cannot fail: only counted, and a place to cut
    FAULT_CALLS,
};

extern const char* const FAULT_CALL_NAMES[FAULT_CALLS];

// Exit status of a process the seam ended at a cut.
constexpr int FAULT_CUT_STATUS = 86;

// Starts counting from zero. With nth > 0, the nth call of `call` fails with
// error, and the count - 1 after it; with cut_at > 0, the process ends
// (_exit) at the cut_at-th call of any kind.
void faults_arm(fault_call call, long nth, int error, long cut_at = 0, long count = 1);
void faults_disarm();
// Calls of `call` seen since faults_arm; all calls, for FAULT_CALLS.
long faults_seen(fault_call call);
// The most heap in use at any call seen since faults_arm.
size_t faults_peak_heap();
// The path the failed call named (its descriptor's path, for one on a
// descriptor); empty while none failed.
std::string faults_failed_path();

// The kernel release uname reports, as an older kernel would; empty: the host's.
extern std::string kernel_release;

// A name that readdir yields twice in a row, as a damaged FAT lists one
// name twice, armed or not; empty: none.
extern std::string listed_twice;

// A file whose data fails to reach storage (a path holding file), once it
// is written, as a kernel reports it: old kernels to the first wait on the
// file only, and the one flush (sync) clears it; newer ones to every wait,
// and from 5.8 on to syncfs as well. Empty file: none.
struct write_error_model {
    std::string file;
    bool reported_once;
    bool syncfs_reports;
};
extern write_error_model write_error;
void write_error_model_set(const write_error_model& model);

// Data moved in pieces, armed or not: the in-kernel copy is refused (EINVAL,
// as for a file that cannot be spliced) and each write takes at most a third
// of what it is asked, at least a byte.
extern bool short_writes;

// Reads of this directory fail with EIO, as a card pulled mid-walk makes them
// fail, armed or not; empty: none.
extern std::string failing_directory;

// A slow clock, armed or not: with a step above 0, CLOCK_MONOTONIC moves on
// by that many milliseconds at each reading, and the watch (if set) runs
// before each reading, seeing what the code has done up to it.
extern long long clock_step_ms;
extern void (*clock_watch)();
