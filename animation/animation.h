// The boot splash: a background with a four-frame loop over it.
#pragma once

#include "animation_facts.h"
#include "prepared_bitmap.h"
#include "shared_int.h"

extern const char* const backgroundfile;
extern const char* const animation0file;
extern const char* const animation1file;
extern const char* const animation2file;
extern const char* const animation3file;

extern prepared_bitmap background;
extern prepared_bitmap animation0;
extern prepared_bitmap animation1;
extern prepared_bitmap animation2;
extern prepared_bitmap animation3;

extern shared_int EXIT_RECOVERY;

// Loads and converts the five pictures in order; -1 after a perror at the
// first that cannot be loaded (the ones before it stay converted).
int load_pictures();

void* ui_thread_function(void* unused);
void* worker_thread_function(void* unused);

namespace zqanimation {
int main(int argc, char** argv);
}
