#include "program_threads.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>

int run_threads(void* (*ui)(void*), void* (*worker)(void*), shared_int* exit_flag,
                void (*wake_ui)()) {
    pthread_t ui_thread;
    pthread_t worker_thread;
    int result = pthread_create(&ui_thread, nullptr, ui, nullptr);
    if (result != 0) {
        errno = result;
        perror("create ui thread\n");
        return -1;
    }
    pthread_attr_t worker_attributes;
    pthread_attr_init(&worker_attributes);
    pthread_attr_setstacksize(&worker_attributes, WORKER_STACK_BYTES);
    result = pthread_create(&worker_thread, &worker_attributes, worker, nullptr);
    pthread_attr_destroy(&worker_attributes);
    if (result != 0) {
        errno = result;
        perror("create ui thread\n");
        *exit_flag = 1;
        if (wake_ui != nullptr) wake_ui();
    } else {
        pthread_join(worker_thread, nullptr);
        *exit_flag = 1;  // no wake-up: the worker's last one ends the UI thread
    }
    pthread_join(ui_thread, nullptr);
    return result == 0 ? 0 : -1;
}
