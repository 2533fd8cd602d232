// The threads of a display program (zqrecovery, zqanimation): a UI thread
// that draws and a worker thread that main waits for.
#pragma once

#include <stddef.h>

#include "shared_int.h"

// The worker thread's stack, set rather than left to the C library (musl's
// default is 128 KiB, glibc's the stack limit): room for the update walk's
// deepest tree, a level per two bytes of its 1024-byte paths.
constexpr size_t WORKER_STACK_BYTES = 256 * 1024;

// Creates the UI thread (default attributes), then the worker thread (a
// stack of WORKER_STACK_BYTES), each with a null argument, joins the worker,
// then raises exit_flag and joins the UI thread. A creation that fails is
// reported with perror("create ui thread\n"); where only the worker failed,
// the UI thread is ended first (exit_flag, then wake_ui: the program's way to
// wake its UI thread where it waits, or null where it waits for nothing) and
// joined. 0 when both threads ran, -1 otherwise.
int run_threads(void* (*ui)(void*), void* (*worker)(void*), shared_int* exit_flag,
                void (*wake_ui)());
