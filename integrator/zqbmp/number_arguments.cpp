#include "number_arguments.h"

#include <cstring>

namespace {

// The digits at text, as far as they go: their count, 0 when none or past max.
size_t read_digits(const char* text, unsigned long long max, unsigned long long* out) {
    unsigned long long value = 0;
    size_t n = 0;
    for (; text[n] >= '0' && text[n] <= '9'; ++n) {
        const auto digit = static_cast<unsigned long long>(text[n] - '0');
        if (digit > max || value > (max - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    *out = value;
    return n;
}

}  // namespace

int parse_count(const char* text, unsigned long long max, unsigned long long* out) {
    unsigned long long value = 0;
    const size_t n = read_digits(text, max, &value);
    if (n == 0 || text[n] != '\0') return -1;
    *out = value;
    return 0;
}

int parse_count_pair(const char* text, char separator, unsigned long long max,
                     unsigned long long* first, unsigned long long* second, const char** rest) {
    unsigned long long a = 0;
    unsigned long long b = 0;
    const size_t n = read_digits(text, max, &a);
    if (n == 0 || text[n] != separator) return -1;
    const char* tail = text + n + 1;
    const size_t m = read_digits(tail, max, &b);
    if (m == 0 || (tail[m] != '\0' && tail[m] != separator)) return -1;
    *first = a;
    *second = b;
    *rest = tail + m;
    return 0;
}
