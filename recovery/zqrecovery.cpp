#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "bmplib.h"
#include "console.h"
#include "events.h"
#include "framebuffer.h"
#include "recovery.h"
#include "shell.h"

namespace {

int load_font() {
    bmp_image* image = bmp_open(font_20px_file);
    if (image == nullptr) {
        perror("bmp_open");
        return -1;
    }
    prepare_font(image, font_20px);
    bmp_close(image);
    return 0;
}

void report_thread_failure(int result) {
    errno = result;
    perror("create ui thread\n");
}

void run_threads() {
    pthread_t ui;
    pthread_t worker;
    int result = pthread_create(&ui, nullptr, ui_thread_function, nullptr);
    if (result != 0) {
        report_thread_failure(result);
        return;
    }
    result = pthread_create(&worker, nullptr, worker_thread_function, nullptr);
    if (result != 0) {
        report_thread_failure(result);
        // The UI thread is still in its first wait: end it before the screen goes.
        EXIT_RECOVERY = 1;
        wake_ui_thread();
        pthread_join(ui, nullptr);
        return;
    }
    pthread_join(worker, nullptr);
    EXIT_RECOVERY = 1;
    pthread_join(ui, nullptr);
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&lock);
}

}  // namespace

int zqrecovery::main(int argc, char** /*argv*/) {
    (void)setvbuf(stdout, nullptr, _IOLBF, 0);
    puts("start ZQ recovery.");
    printf("%d\n", argc);
    if (shell_system(nullptr) == 0) {
        perror("sh");
    } else if (fb_init() == 0) {
        ev_init();
        if (fb_map() == 0 && load_font() == 0) run_threads();
    }
    fb_exit();
    ev_exit();
    for (prepared_bitmap& glyph : font_20px) free(glyph.pixels);
    return 0;
}
