// Where the tests find the source tree, the build tree and its outputs.
#pragma once

#ifndef ZQ_SOURCE_DIR
#error "ZQ_SOURCE_DIR must be defined by the build"
#endif

// The emulator that runs the build's programs ("" for native builds).
#ifndef ZQ_PROGRAMS_STRERROR
#define ZQ_PROGRAMS_STRERROR ""
#endif
#ifndef ZQ_EMULATOR
#define ZQ_EMULATOR ""
#endif

// 1 in sanitizer builds, whose runtimes hold freed memory and shadow it.
#ifndef ZQ_SANITIZED
#define ZQ_SANITIZED 0
#endif
