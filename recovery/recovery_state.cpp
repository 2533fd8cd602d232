#include "recovery.h"

shared_int EXIT_RECOVERY{0};
shared_int STAGE{S_COUNTDOWN};
shared_int selected_menu{0};
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
pthread_mutex_t draw_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {
bool wake_up_pending = false;  // guarded by lock
}

void wake_ui_thread() {
    pthread_mutex_lock(&lock);
    wake_up_pending = true;
    pthread_cond_signal(&cond);
    pthread_mutex_unlock(&lock);
}

void wait_for_wake_up() {
    pthread_mutex_lock(&lock);
    while (!wake_up_pending) pthread_cond_wait(&cond, &lock);
    wake_up_pending = false;
    pthread_mutex_unlock(&lock);
}
