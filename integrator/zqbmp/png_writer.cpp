#include "png_writer.h"

#include <cstdio>
#include <string>

namespace {

uint32_t crc_table_entry(uint32_t n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    return c;
}

uint32_t crc32(const uint8_t* data, size_t size) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t n = 0; n < 256; ++n) table[n] = crc_table_entry(n);
        ready = true;
    }
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void put32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}

void put16(std::string& out, uint16_t v) {
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v));
}

void chunk(std::string& out, const char* kind, const std::string& body) {
    put32(out, static_cast<uint32_t>(body.size()));
    std::string typed = std::string(kind, 4) + body;
    out += typed;
    put32(out, crc32(reinterpret_cast<const uint8_t*>(typed.data()), typed.size()));
}

// The zlib stream of the picture's filtered rows (filter 0), in stored blocks.
std::string zlib_stored(const rgb_picture& picture) {
    std::string raw;
    const size_t row = static_cast<size_t>(picture.width) * 3;
    for (int y = 0; y < picture.height; ++y) {
        raw.push_back('\0');
        raw.append(reinterpret_cast<const char*>(picture.rgb.data()) + y * row, row);
    }
    std::string out = "\x78\x01";
    size_t at = 0;
    do {
        const size_t n = raw.size() - at < 65535 ? raw.size() - at : 65535;
        out.push_back(at + n == raw.size() ? '\x01' : '\x00');
        out.push_back(static_cast<char>(n & 0xFF));
        out.push_back(static_cast<char>(n >> 8));
        out.push_back(static_cast<char>(~n & 0xFF));
        out.push_back(static_cast<char>((~n >> 8) & 0xFF));
        out.append(raw, at, n);
        at += n;
    } while (at < raw.size());
    uint32_t a = 1;
    uint32_t b = 0;
    for (const char c : raw) {
        a = (a + static_cast<uint8_t>(c)) % 65521;
        b = (b + a) % 65521;
    }
    put32(out, (b << 16) | a);
    return out;
}

std::string header(const rgb_picture& picture) {
    std::string out = "\x89PNG\r\n\x1a\n";
    std::string ihdr;
    put32(ihdr, static_cast<uint32_t>(picture.width));
    put32(ihdr, static_cast<uint32_t>(picture.height));
    ihdr +=
        std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter, no interlace
    chunk(out, "IHDR", ihdr);
    return out;
}

int save(const char* path, const std::string& bytes) {
    FILE* f = fopen(path, "wb");
    if (f == nullptr) return -1;
    const bool written = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && written ? 0 : -1;
}

}  // namespace

int png_write(const char* path, const rgb_picture& picture) {
    std::string out = header(picture);
    chunk(out, "IDAT", zlib_stored(picture));
    chunk(out, "IEND", "");
    return save(path, out);
}

int apng_write(const char* path, const std::vector<rgb_picture>& frames, int delay_ms) {
    if (frames.empty()) return -1;
    std::string out = header(frames[0]);
    std::string actl;
    put32(actl, static_cast<uint32_t>(frames.size()));
    put32(actl, 0);  // loop for ever
    chunk(out, "acTL", actl);
    uint32_t sequence = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        std::string fctl;
        put32(fctl, sequence++);
        put32(fctl, static_cast<uint32_t>(frames[i].width));
        put32(fctl, static_cast<uint32_t>(frames[i].height));
        put32(fctl, 0);
        put32(fctl, 0);
        put16(fctl, static_cast<uint16_t>(delay_ms));
        put16(fctl, 1000);
        fctl += std::string("\x00\x00", 2);  // dispose none, blend source
        chunk(out, "fcTL", fctl);
        if (i == 0) {
            chunk(out, "IDAT", zlib_stored(frames[i]));
        } else {
            std::string fdat;
            put32(fdat, sequence++);
            chunk(out, "fdAT", fdat + zlib_stored(frames[i]));
        }
    }
    chunk(out, "IEND", "");
    return save(path, out);
}
