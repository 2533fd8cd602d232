// What the device programs hold that the harness and integrators read:
// the texts, the menu with each item's command, the countdown and the geometry.
#pragma once

// On standard output, with json one document: {"texts": {NAME: text},
// "numbers": {NAME: n}, "menu": [{"label", "argument", "command" (null for
// EXIT and the updates)}]}; else a line for each. An exit status.
int device_facts(bool json);
