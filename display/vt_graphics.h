// The kernel's console kept off the screen while a program draws: the
// foreground virtual terminal in graphics mode, so that neither its text nor
// its cursor nor its blanking reaches the framebuffer.
#pragma once

// Opens "/dev/tty0" (the foreground console, never as a controlling terminal)
// and puts it in graphics mode with its cursor hidden, keeping the mode it had.
// A console that cannot be opened or refuses prints one line on stdout and is
// left as it is.
void vt_graphics_begin();
// Puts back the mode vt_graphics_begin found, shows the cursor again and
// closes the console. Nothing when it set nothing; safe to call more than once.
void vt_graphics_end();
// Closes the console and leaves it in graphics mode, its cursor hidden.
void vt_graphics_keep();
