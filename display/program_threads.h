// The threads of a display program (zqrecovery, zqanimation): a UI thread
// that draws and a worker thread that main waits for.
#pragma once

#include <atomic>

// Wakes the program's UI thread where it waits. Each display program defines
// it: zqrecovery's UI thread waits for wake-ups, zqanimation's tests its flag
// every frame and needs none.
void wake_ui_thread();

// Creates the UI thread, then the worker thread (default attributes, a null
// argument), joins the worker, then raises exit_flag and joins the UI thread.
// A creation that fails is reported with perror("create ui thread\n"); where
// only the worker failed, the UI thread is ended first (exit_flag, a wake-up)
// and joined. 0 when both threads ran, -1 otherwise.
int run_threads(void* (*ui)(void*), void* (*worker)(void*), std::atomic<int>* exit_flag);
