// Numbers on the command line, whole and in range or refused.
#pragma once

// A decimal number of digits only, at most max: 0, or -1 (nothing stored).
int parse_count(const char* text, unsigned long long max, unsigned long long* out);
// Two such numbers joined by separator (e.g. "800x480", "0,480"); the text
// after the second, which must be empty or start with another separator, in *rest.
int parse_count_pair(const char* text, char separator, unsigned long long max,
                     unsigned long long* first, unsigned long long* second, const char** rest);
