#include "animation.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "bmplib.h"
#include "framebuffer.h"
#include "program_threads.h"
#include "shell.h"
#include "vt_graphics.h"

const char* const backgroundfile = "/ZQ/media/zqtitle.bmp";
const char* const animation0file = "/ZQ/media/zqani00.bmp";
const char* const animation1file = "/ZQ/media/zqani01.bmp";
const char* const animation2file = "/ZQ/media/zqani02.bmp";
const char* const animation3file = "/ZQ/media/zqani03.bmp";

prepared_bitmap background;
prepared_bitmap animation0;
prepared_bitmap animation1;
prepared_bitmap animation2;
prepared_bitmap animation3;

shared_int EXIT_RECOVERY{0};

namespace {

constexpr int FRAME_COUNT = 4;
constexpr useconds_t WORKER_NAP_US = 30000000;

struct picture_slot {
    const char* path;
    prepared_bitmap* bitmap;
};

const picture_slot PICTURES[] = {
    {backgroundfile, &background}, {animation0file, &animation0}, {animation1file, &animation1},
    {animation2file, &animation2}, {animation3file, &animation3},
};

}  // namespace

int load_pictures() {
    for (const picture_slot& slot : PICTURES) {
        bmp_image* image = bmp_open(slot.path);
        if (image == nullptr) {
            perror("bmp_open");
            return -1;
        }
        prepare_bitmap(image, slot.bitmap);
        bmp_close(image);
    }
    return 0;
}

// The UI thread tests EXIT_RECOVERY every frame: it needs no wake-up.
void* ui_thread_function(void* /*unused*/) {
    printf("ui_thread_function() %lu started.\n", static_cast<unsigned long>(pthread_self()));
    const prepared_bitmap* frames[FRAME_COUNT] = {&animation0, &animation1, &animation2,
                                                  &animation3};
    int k = 0;
    fb_clear();
    while (EXIT_RECOVERY == 0) {
        draw_prepared_bitmap(&background, 0, 0);
        draw_prepared_bitmap(frames[k], 0, FRAME_Y);
        fb_flush();
        usleep(1000000 / FPS);
        k = (k + 1) % FRAME_COUNT;
    }
    puts("ui_thread_function() exit.");
    return nullptr;
}

void* worker_thread_function(void* /*unused*/) {
    printf("worker_thread_function() %lu started.\n", static_cast<unsigned long>(pthread_self()));
    for (;;) usleep(WORKER_NAP_US);
    return nullptr;
}

int zqanimation::main(int /*argc*/, char** /*argv*/) {
    (void)setvbuf(stdout, nullptr, _IOLBF, 0);
    puts("start ZQ animation.");
    if (shell_system(nullptr) == 0) {
        perror("sh");
    } else if (fb_init() == 0) {
        // Graphics mode is left set: the splash ends by a signal, and text mode
        // would repaint the console over the platform's first frames.
        vt_graphics_begin();
        if (fb_map() == 0 && load_pictures() == 0)
            run_threads(ui_thread_function, worker_thread_function, &EXIT_RECOVERY, nullptr);
    }
    fb_exit();
    vt_graphics_keep();
    for (const picture_slot& slot : PICTURES) free(slot.bitmap->pixels);
    (void)fflush(stdout);
    shell_system("start recovery");
    return 0;
}
