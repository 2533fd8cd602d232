#include "json_writer.h"

#include <cstdint>
#include <cstdio>

namespace {

// The length of the valid UTF-8 sequence at p (at most end - p bytes), or 0.
size_t utf8_length(const unsigned char* p, const unsigned char* end) {
    const unsigned char b = p[0];
    size_t n = 0;
    uint32_t least = 0;  // the smallest code point of that length: no overlong forms
    uint32_t code = 0;
    if (b < 0x80) return 1;
    if ((b & 0xE0) == 0xC0) {
        n = 2, least = 0x80, code = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        n = 3, least = 0x800, code = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        n = 4, least = 0x10000, code = b & 0x07;
    } else {
        return 0;
    }
    if (static_cast<size_t>(end - p) < n) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        code = code << 6 | (p[i] & 0x3F);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < least || code > 0x10FFFF || surrogate ? 0 : n;
}

}  // namespace

std::string json_string(const char* bytes, size_t length) {
    std::string out = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    const unsigned char* end = p + length;
    char escape[8];
    while (p < end) {
        const size_t n = utf8_length(p, end);
        if (n == 0) {  // \xHH in the value: its backslash escaped in the text
            (void)snprintf(escape, sizeof escape, "\\\\x%02x", *p);
            out += escape;
            ++p;
        } else if (*p == '\\') {
            out += "\\\\\\\\";  // two backslashes in the value
            ++p;
        } else if (*p == '"') {
            out += "\\\"";
            ++p;
        } else if (*p < 0x20 || *p == 0x7F) {
            (void)snprintf(escape, sizeof escape, "\\u%04x", *p);
            out += escape;
            ++p;
        } else {
            out.append(reinterpret_cast<const char*>(p), n);
            p += n;
        }
    }
    return out + "\"";
}

std::string json_string(const std::string& bytes) {
    return json_string(bytes.data(), bytes.size());
}
