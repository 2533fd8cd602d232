#include "png_writer.h"

#include <cstdio>
#include <string>

#ifdef ZQBMP_ZLIB
#include <zlib.h>
#endif

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

// The picture's rows, each after its filter byte: Sub (1) where the stream
// is compressed (each byte less the one a pixel to its left: gradients and
// flat areas turn into runs), None (0) where it is stored.
std::string filtered_rows(const rgb_picture& picture, bool sub) {
    const size_t row = static_cast<size_t>(picture.width) * 3;
    std::string raw(static_cast<size_t>(picture.height) * (row + 1), '\0');
    for (size_t y = 0; y < static_cast<size_t>(picture.height); ++y) {
        const uint8_t* in = picture.rgb.data() + y * row;
        char* out = raw.data() + y * (row + 1);
        out[0] = sub ? '\x01' : '\x00';
        for (size_t i = 0; i < row; ++i) {
            out[1 + i] = static_cast<char>(sub && i >= 3 ? in[i] - in[i - 3] : in[i]);
        }
    }
    return raw;
}

#ifdef ZQBMP_ZLIB
// The zlib stream of the filtered rows, compressed for speed.
std::string zlib_stream(const rgb_picture& picture) {
    const std::string raw = filtered_rows(picture, true);
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                  Z_BEST_SPEED) != Z_OK) {
        return {};
    }
    out.resize(size);
    return out;
}
#else
// The zlib stream of the rows in stored blocks: no library needed.
std::string zlib_stream(const rgb_picture& picture) {
    const std::string raw = filtered_rows(picture, false);
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
#endif

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

// Written under a temporary name and renamed: never a cut-off picture.
int save(const char* path, const std::string& bytes) {
    const std::string temporary = std::string(path) + ".part";
    FILE* f = fopen(temporary.c_str(), "wb");
    if (f == nullptr) return -1;
    const bool written = !bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (fclose(f) != 0 || !written || rename(temporary.c_str(), path) != 0) {
        (void)remove(temporary.c_str());
        return -1;
    }
    return 0;
}

}  // namespace

std::string png_compress(const rgb_picture& picture) {
    return zlib_stream(picture);
}

int png_write(const char* path, const rgb_picture& picture, const std::string& compressed) {
    if (compressed.empty()) return -1;
    std::string out = header(picture);
    chunk(out, "IDAT", compressed);
    chunk(out, "IEND", "");
    return save(path, out);
}

int png_write(const char* path, const rgb_picture& picture) {
    return png_write(path, picture, png_compress(picture));
}

int apng_write(const char* path, const std::vector<rgb_picture>& frames,
               const std::vector<std::string>& compressed, int delay_ms) {
    if (frames.empty() || compressed.size() != frames.size()) return -1;
    for (const std::string& c : compressed) {
        if (c.empty()) return -1;
    }
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
            chunk(out, "IDAT", compressed[i]);
        } else {
            std::string fdat;
            put32(fdat, sequence++);
            chunk(out, "fdAT", fdat + compressed[i]);
        }
    }
    chunk(out, "IEND", "");
    return save(path, out);
}
