#include "events.h"
#include "recovery.h"

int wait_key(input_event* event) {
    while (ev_get(event, -1) < 0 || event->type != EV_KEY || event->value != 1) {
    }
    return 0;
}
