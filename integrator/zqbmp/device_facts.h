// What the device programs hold that the harness and integrators read:
// the texts, the menu with each item's command, the countdown and the geometry.
#pragma once

// On standard output, with json one document: {"texts": {NAME: text},
// "numbers": {NAME: n}, "menu": [{"label", "argument", "command" (null for
// EXIT and the updates)}]}; else a line for each. An exit status.
int device_facts(bool json);

// Marks used[c - 32] for each printable character (32 to 126) that a text
// or the menu of the programs holds.
void device_facts_characters(bool used[95]);
