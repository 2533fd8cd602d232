#include "fat_names.h"

#include <algorithm>
#include <cstdint>
#include <cwctype>
#include <numeric>

namespace {

// The code point of the UTF-8 sequence at name[*at], moving *at past it;
// -1 (moving one byte) where the bytes are not UTF-8.
long next_code_point(const std::string& name, size_t* at) {
    const auto b = static_cast<unsigned char>(name[*at]);
    size_t n = b < 0x80             ? 1
               : (b & 0xE0) == 0xC0 ? 2
               : (b & 0xF0) == 0xE0 ? 3
               : (b & 0xF8) == 0xF0 ? 4
                                    : 0;
    if (n == 0 || *at + n > name.size()) {
        ++*at;
        return -1;
    }
    long code = n == 1 ? b : b & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        const auto c = static_cast<unsigned char>(name[*at + i]);
        if ((c & 0xC0) != 0x80) {
            ++*at;
            return -1;
        }
        code = code << 6 | (c & 0x3F);
    }
    *at += n;
    return code;
}

void append_utf8(std::string* out, long code) {
    if (code < 0x80) {
        *out += static_cast<char>(code);
    } else if (code < 0x800) {
        *out += static_cast<char>(0xC0 | code >> 6);
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out += static_cast<char>(0xE0 | code >> 12);
        *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | code >> 18);
        *out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string without_trailing(const std::string& name) {
    const size_t end = name.find_last_not_of(". ");
    return end == std::string::npos ? name : name.substr(0, end + 1);
}

// Whether the name is a plain 8.3 name: its short entry is all it takes.
bool is_short_name(const std::string& name) {
    const size_t dot = name.find('.');
    const size_t base = dot == std::string::npos ? name.size() : dot;
    const size_t extension = dot == std::string::npos ? 0 : name.size() - dot - 1;
    if (base == 0 || base > 8 || extension > 3) return false;
    if (dot != std::string::npos && name.find('.', dot + 1) != std::string::npos) return false;
    bool lower = false;
    bool upper = false;
    for (const char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80 || b == ' ' || (b < 0x20)) return false;
        lower = lower || (b >= 'a' && b <= 'z');
        upper = upper || (b >= 'A' && b <= 'Z');
    }
    // One case throughout fits the short entry's case flags; both need a long name.
    return !(lower && upper);
}

}  // namespace

std::string fat_folded(const std::string& name) {
    const std::string kept = without_trailing(name);
    std::string out;
    for (size_t at = 0; at < kept.size();) {
        const size_t start = at;
        const long code = next_code_point(kept, &at);
        if (code < 0) {
            out += kept[start];
            continue;
        }
        append_utf8(&out, code < 0x80 ? (code >= 'a' && code <= 'z' ? code - 32 : code)
                                      : static_cast<long>(towupper(static_cast<wint_t>(code))));
    }
    return out;
}

bool fat_same_but_trailing(const std::string& a, const std::string& b) {
    return a != b && without_trailing(a) == without_trailing(b);
}

size_t fat_slots(const std::string& name) {
    if (is_short_name(name)) return 1;
    size_t units = 0;
    for (size_t at = 0; at < name.size();) {
        const long code = next_code_point(name, &at);
        units += code >= 0x10000 ? 2 : 1;
    }
    return 1 + (units + 12) / 13;
}

std::vector<std::pair<size_t, size_t>> fat_collisions(const std::vector<std::string>& names) {
    std::vector<std::string> folded(names.size());
    for (size_t i = 0; i < names.size(); ++i) folded[i] = fat_folded(names[i]);
    std::vector<size_t> order(names.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return folded[a] < folded[b]; });
    std::vector<std::pair<size_t, size_t>> pairs;
    for (size_t k = 1, first = 0; k < order.size(); ++k) {
        if (folded[order[k]] != folded[order[first]]) {
            first = k;
            continue;
        }
        if (names[order[k]] != names[order[first]]) pairs.emplace_back(order[first], order[k]);
    }
    return pairs;
}
