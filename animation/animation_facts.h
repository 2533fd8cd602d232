// The boot splash's facts, which the program, the desk tool and the emulated
// device's harness take from here.
#pragma once

// The row at which every animation frame's top-left corner is drawn (column 0).
constexpr int FRAME_Y = 50;
// Frames a second of the four-frame loop.
constexpr int FPS = 2;
