#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include "console.h"
#include "events.h"
#include "framebuffer.h"
#include "recovery.h"
#include "update.h"
#include "recovery_facts.h"
#include "shell.h"

namespace {

constexpr int COUNTDOWN_POLL_MS = 1000;

unsigned long thread_id() {
    return static_cast<unsigned long>(pthread_self());
}

// Counts down; true when HOME was pressed.
bool countdown() {
    char text[TEXT_BUFFER_SIZE];
    for (int n = COUNTDOWN_SECONDS; n > 0;) {
        pthread_mutex_lock(&draw_lock);
        posx = 0;
        posy = 0;
        (void)snprintf(text, sizeof text, COUNTDOWN_FORMAT, n);
        --n;
        draw_string(font_20px, text);
        fb_flush();
        pthread_mutex_unlock(&draw_lock);

        input_event event;
        if (ev_get(&event, COUNTDOWN_POLL_MS) < 0) continue;
        if (event.type == EV_KEY) {
            printf("KEY: %u, VALUE: %u\n", static_cast<unsigned>(event.code),
                   static_cast<unsigned>(event.value));
            if (event.code == KEY_CODE_HOME && event.value == 1) return true;
        }
    }
    return false;
}

void menu_loop() {
    for (;;) {
        input_event event;
        wait_key(&event);
        if (event.code == KEY_CODE_HOME) {
            const int item = selected_menu;
            if (MENU_COMMANDS[item] != nullptr) {
                shell_system(MENU_COMMANDS[item]);
                return;
            }
            if (item == ITEM_EXIT) return;
            // The keys are drained before the screen is given back: a redraw
            // already pending cannot show the menu while a drain could still
            // swallow the HOME pressed on it.
            pthread_mutex_lock(&draw_lock);
            run_menu();
            ev_clear();
            pthread_mutex_unlock(&draw_lock);
            wake_ui_thread();
        } else if (event.code == KEY_CODE_NEXT) {
            selected_menu = selected_menu + 1 == MENU_ITEM_SIZE ? 0 : selected_menu + 1;
            wake_ui_thread();
        } else if (event.code == KEY_CODE_PREVIOUS) {
            selected_menu = selected_menu == 0 ? MENU_ITEM_SIZE - 1 : selected_menu - 1;
            wake_ui_thread();
        }
    }
}

}  // namespace

void draw_menu() {
    char line[TEXT_BUFFER_SIZE];
    const int selected = selected_menu;
    printf("draw menu. selected item=%d\n", selected);
    console_offsetY = 0;
    posy = 0;
    posx = 0;
    draw_string(font_20px, BANNER);
    for (int i = 0; i < MENU_ITEM_SIZE; ++i) {
        (void)menu_line(line, sizeof line, i, i == selected);
        draw_string(font_20px, line);
    }
}

void* worker_thread_function(void* /*unused*/) {
    printf("worker_thread_function() %lu started.\n", thread_id());
    pthread_mutex_lock(&draw_lock);
    fb_clear();
    // What the start did with an interrupted update stays below the
    // countdown's line for the whole countdown.
    if (resume_report[0] != '\0') {
        posx = 0;
        posy = font_20px[0].height;
        draw_string(font_20px, resume_report);
    }
    pthread_mutex_unlock(&draw_lock);
    if (countdown()) {
        ev_clear();
        STAGE = S_MENU;
        wake_ui_thread();
        puts("worker_thread_function() S_MENU mode.");
        menu_loop();
    }
    STAGE = S_FINISHED;
    wake_ui_thread();
    puts("worker_thread_function() exit.");
    return nullptr;
}

void* ui_thread_function(void* /*unused*/) {
    printf("ui_thread_function() %lu started.\n", thread_id());
    wait_for_wake_up();
    if (EXIT_RECOVERY == 0) {
        pthread_mutex_lock(&draw_lock);
        fb_clear();
        fb_flush();
        pthread_mutex_unlock(&draw_lock);
        while (EXIT_RECOVERY == 0 && STAGE == S_MENU) {
            pthread_mutex_lock(&draw_lock);
            draw_menu();
            fb_flush();
            pthread_mutex_unlock(&draw_lock);
            wait_for_wake_up();
        }
    }
    puts("ui_thread_function() exit.");
    return nullptr;
}
