// The installer's face to the program: the update of a tree from a card, the
// next start's finish of one a cut interrupted, and the update screen's lines.
#pragma once

#include "recovery_facts.h"

// Installs the update root's system and data onto the device, with /system
// and /data writable for it; ends with "done." and the walk's tally. An
// earlier update still pending is finished first, or this one does not start.
void update_install(const char* root);
// At start, before anything is drawn: finishes an update a cut interrupted,
// removes what one staged before its commit point, sets aside a record that
// cannot be trusted; prints what it did and keeps it in resume_report.
void update_resume();
// What the last update_resume did, for the countdown's screen; "" for nothing.
extern char resume_report[RESUME_REPORT_SIZE];

// Formats into message (TEXT_BUFFER_SIZE bytes) and draws it on the update
// screen; a message that does not fit is cut, keeping its line end.
__attribute__((format(printf, 2, 3))) void draw_message(char* message, const char* format, ...);
