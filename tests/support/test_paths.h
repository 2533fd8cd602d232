// Where the tests find the source tree, the build tree and its outputs.
#pragma once

#ifndef ZQ_SOURCE_DIR
#error "ZQ_SOURCE_DIR must be defined by the build"
#endif

// The emulator that runs the build's programs ("" for native builds).
#ifndef ZQ_EMULATOR
#define ZQ_EMULATOR ""
#endif
