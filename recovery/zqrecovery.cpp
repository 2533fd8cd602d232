#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include "bmplib.h"
#include "console.h"
#include "events.h"
#include "framebuffer.h"
#include "program_threads.h"
#include "recovery.h"
#include "shell.h"
#include "update.h"
#include "vt_graphics.h"

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

}  // namespace

int zqrecovery::main(int argc, char** /*argv*/) {
    (void)setvbuf(stdout, nullptr, _IOLBF, 0);
    puts("start ZQ recovery.");
    printf("%d\n", argc);
    // Whatever an interrupted update left comes first, with or without a screen.
    update_resume();
    if (shell_system(nullptr) == 0) {
        perror("sh");
    } else if (fb_init() == 0) {
        // The screen is the program's until its end, whichever road it takes.
        vt_graphics_begin();
        ev_init();
        if (fb_map() == 0 && load_font() == 0) {
            if (run_threads(ui_thread_function, worker_thread_function, &EXIT_RECOVERY,
                            wake_ui_thread) == 0) {
                pthread_cond_destroy(&cond);
                pthread_mutex_destroy(&lock);
            }
        }
    }
    fb_exit();
    vt_graphics_end();
    ev_exit();
    for (prepared_bitmap& glyph : font_20px) free(glyph.pixels);
    return 0;
}
