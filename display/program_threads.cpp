#include "program_threads.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>

int run_threads(void* (*ui)(void*), void* (*worker)(void*), std::atomic<int>* exit_flag) {
    pthread_t ui_thread;
    pthread_t worker_thread;
    int result = pthread_create(&ui_thread, nullptr, ui, nullptr);
    if (result != 0) {
        errno = result;
        perror("create ui thread\n");
        return -1;
    }
    result = pthread_create(&worker_thread, nullptr, worker, nullptr);
    if (result != 0) {
        errno = result;
        perror("create ui thread\n");
        *exit_flag = 1;
        wake_ui_thread();
    } else {
        pthread_join(worker_thread, nullptr);
        *exit_flag = 1;  // no wake-up: the worker's last one ends the UI thread
    }
    pthread_join(ui_thread, nullptr);
    return result == 0 ? 0 : -1;
}
