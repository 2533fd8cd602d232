// The recovery program: countdown, menu, reboot actions and update installation.
#pragma once

#include <linux/input.h>
#include <pthread.h>
#include <stddef.h>

#include "recovery_facts.h"
#include "shared_int.h"

constexpr int S_COUNTDOWN = 0;
constexpr int S_MENU = 1;
constexpr int S_FINISHED = 3;

constexpr int KEY_CODE_HOME = 50;
constexpr int KEY_CODE_NEXT = 58;
constexpr int KEY_CODE_PREVIOUS = 42;

extern shared_int EXIT_RECOVERY;
extern shared_int STAGE;
extern shared_int selected_menu;
extern pthread_mutex_t lock;  // guards the wake-ups of cond
extern pthread_cond_t cond;
extern pthread_mutex_t draw_lock;  // held by whichever thread draws

// Wakes the UI thread. A wake-up sent while it draws stays pending, so that it
// draws again; wake-ups sent close together are drawn once.
void wake_ui_thread();
// Blocks until a wake-up is pending, and consumes it.
void wait_for_wake_up();

// Draws the banner and the nine items, the selected one marked, from the top.
void draw_menu();

void* worker_thread_function(void* unused);
void* ui_thread_function(void* unused);

// Blocks until a key is pressed; the event is then in *event. Always 0.
int wait_key(input_event* event);

// The update action of the selected menu item, up to HOME back to the menu.
void run_menu();
namespace zqrecovery {
int main(int argc, char** argv);
}
