#include "picture_findings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bmplib.h"
#include "console.h"
#include "findings.h"
#include "framebuffer.h"

namespace {

constexpr size_t FILE_HEADER = 14;
constexpr size_t INFO_HEADER = 40;

uint32_t le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::vector<uint8_t> read_file(const char* path) {
    std::vector<uint8_t> bytes;
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return bytes;
    uint8_t chunk[65536];
    size_t n = 0;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    (void)fclose(f);
    return bytes;
}

}  // namespace

std::string picture_load_problem(const char* path, const char* reason) {
    struct stat st {};
    if (stat(path, &st) != 0) return reason;
    if (S_ISREG(st.st_mode) && st.st_size == 0) return "the file is empty (0 bytes)";
    const std::vector<uint8_t> bytes = read_file(path);
    const auto starts = [&](const char* magic, size_t n) {
        return bytes.size() >= n && memcmp(bytes.data(), magic, n) == 0;
    };
    const char* other = starts("\x89PNG", 4)        ? "a PNG picture"
                        : starts("\xFF\xD8\xFF", 3) ? "a JPEG picture"
                        : starts("GIF8", 4)         ? "a GIF picture"
                                                    : nullptr;
    if (other != nullptr) {
        return std::string(other) +
               ", not a BMP: save it as a BMP (24 bits, or 8 with a colour table)";
    }
    if (bytes.size() >= FILE_HEADER + INFO_HEADER && bytes[0] == 'B' && bytes[1] == 'M') {
        const unsigned bits = bytes[28] | (bytes[29] << 8);
        const uint32_t compression = le32(&bytes[30]);
        const char* kind = compression == 2                 ? "RLE4-compressed"
                           : compression == 4 && bits == 24 ? "RLE24-compressed (an OS/2 BMP)"
                           : compression == 4               ? "a JPEG inside a BMP"
                           : compression == 5               ? "a PNG inside a BMP"
                                                            : nullptr;
        if (kind != nullptr) {
            return std::string(kind) + " (compression " + std::to_string(compression) +
                   "): the device reads uncompressed, RLE8 and bit-field BMPs; save it "
                   "uncompressed";
        }
    }
    if (bytes.size() >= FILE_HEADER + INFO_HEADER && bytes[0] == 'B' && bytes[1] == 'M') {
        const uint32_t offset = le32(&bytes[10]);
        const uint32_t header = le32(&bytes[14]);
        const unsigned bits = bytes[28] | (bytes[29] << 8);
        const uint32_t compression = le32(&bytes[30]);
        if ((bits == 16 || bits == 32) && compression == 0 && header > INFO_HEADER &&
            offset == FILE_HEADER + header) {
            return "a " + std::to_string(bits) + "-bit uncompressed picture with a " +
                   std::to_string(header) +
                   "-byte information header and no colour table: the device reads only a "
                   "40-byte header and takes the rest for a colour table; save it with the "
                   "40-byte header (BITMAPINFOHEADER, e.g. \"BMP3:\" in ImageMagick) or as 24 bits";
        }
    }
    return reason;
}

int picture_check_truncation(const std::string& name, const char* path, const bmp_image* image) {
    bmp_info info;
    bmp_describe(image, &info);
    if (info.compression != 0 && info.compression != 3)
        return 0;  // a run-length stream ends itself
    struct stat st {};
    uint8_t header[FILE_HEADER];
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return 0;
    const bool read =
        fread(header, 1, sizeof header, f) == sizeof header && fstat(fileno(f), &st) == 0;
    (void)fclose(f);
    if (!read) return 0;
    const long long offset = le32(&header[10]);
    const long long rows = bmp_height(image);
    const long long stride = info.stride;
    const long long size = st.st_size;
    if (offset + rows * stride <= size) return 0;
    const long long whole = size > offset ? (size - offset) / stride : 0;
    // Rows are stored bottom row first unless the picture is top-down.
    const long long first = info.top_down ? whole : 0;
    const long long last = info.top_down ? rows - 1 : rows - whole - 1;
    say(FINDING_ERROR, "truncated",
        {{"bytes", size},
         {"missing_bytes", offset + rows * stride - size},
         {"first_row", first},
         {"last_row", last},
         {"rows", rows}},
        "%s: error: the file ends after %lld bytes, %lld short: rows %lld to %lld of its %lld are "
        "missing, and the device draws them black\n",
        name.c_str(), size, offset + rows * stride - size, first, last, rows);
    return 1;
}

int picture_check_alpha(const std::string& name, const char* path) {
    const std::vector<uint8_t> bytes = read_file(path);
    if (bytes.size() < FILE_HEADER + INFO_HEADER) return 0;
    const uint32_t offset = le32(&bytes[10]);
    const uint32_t header = le32(&bytes[14]);
    const auto width = static_cast<int32_t>(le32(&bytes[18]));
    const auto height = static_cast<int32_t>(le32(&bytes[22]));
    const unsigned bits = bytes[28] | (bytes[29] << 8);
    const uint32_t compression = le32(&bytes[30]);
    if (bits != 32 || width <= 0 || height == 0) return 0;
    uint32_t alpha_mask = 0xFF000000u;  // uncompressed: the fourth byte
    if (compression == 3) {
        // Bit fields: an alpha mask only in the longer headers (after red, green, blue).
        alpha_mask = header >= 56 && bytes.size() >= 70 ? le32(&bytes[66]) : 0;
    }
    if (alpha_mask == 0) return 0;
    const size_t pixels =
        static_cast<size_t>(width) * static_cast<size_t>(height < 0 ? -height : height);
    if (offset > bytes.size() || (bytes.size() - offset) / 4 < pixels) return 0;
    size_t opaque = 0;
    size_t clear = 0;
    for (size_t i = 0; i < pixels; ++i) {
        const uint32_t a = le32(&bytes[offset + 4 * i]) & alpha_mask;
        if (a == alpha_mask) ++opaque;
        if (a == 0) ++clear;
    }
    // All zero: an unused fourth byte, not transparency.
    if (clear == pixels || opaque == pixels) return 0;
    say(FINDING_WARNING, "alpha",
        {{"not_opaque", static_cast<long long>(pixels - opaque)},
         {"pixels", static_cast<long long>(pixels)}},
        "%s: warning: %lld of its %lld pixels are transparent or half-transparent: the device "
        "ignores "
        "the alpha channel and draws every pixel opaque, in its stored colour\n",
        name.c_str(), static_cast<long long>(pixels - opaque), static_cast<long long>(pixels));
    return 1;
}

int picture_check_colour_loss(const std::string& name, const bmp_image* image, uint32_t kept) {
    const int32_t w = bmp_width(image);
    const int32_t h = bmp_height(image);
    std::vector<uint32_t> colours;
    colours.reserve(static_cast<size_t>(w) * static_cast<size_t>(h));
    // Where neighbours that differ become one colour: the bands of a gradient.
    int32_t x0 = w;
    int32_t y0 = h;
    int32_t x1 = -1;
    int32_t y1 = -1;
    // A band is a merge inside a ramp: at least BAND_RAMP pixels in a row whose
    // brightness rises (or falls) at every step, and by little (at most
    // BAND_STEP, in units of 8 times an 8-bit grey level), as across a
    // gradient. An anti-aliased edge crosses from ink to ground in a few
    // large steps, where merged greys cannot show as bands.
    constexpr int32_t BAND_RAMP = 6;
    constexpr int BAND_STEP = 8 * 8;
    const auto brightness = [](uint32_t c) {
        return static_cast<int>((c >> 16 & 0xFF) * 2 + (c >> 8 & 0xFF) * 5 + (c & 0xFF));
    };
    std::vector<uint32_t> row(static_cast<size_t>(w));
    for (int32_t y = 0; y < h; ++y) {
        bmp_getspan(image, 0, y, w, row.data());
        int direction = 0;  // of the ramp so far: 1 rising, -1 falling
        for (int32_t x = 0, start = 0; x <= w; ++x) {
            if (x < w) colours.push_back(row[x]);
            if (x > 0 && x < w) {
                const int step = brightness(row[x]) - brightness(row[x - 1]);
                const int sign = (step > 0) - (step < 0);
                if (sign != 0 && (direction == 0 || sign == direction) &&
                    step * sign <= BAND_STEP) {
                    direction = sign;
                    continue;
                }
            }
            // The ramp [start, x) ends here.
            if (x - start >= BAND_RAMP) {
                for (int32_t i = start + 1; i < x; ++i) {
                    if ((row[i] & kept) != (row[i - 1] & kept)) continue;
                    x0 = std::min(x0, i - 1);
                    x1 = std::max(x1, i);
                    y0 = std::min(y0, y);
                    y1 = std::max(y1, y);
                }
            }
            // The next ramp starts at the turning pixel, where one more small step follows.
            const int step = x > 0 && x < w ? brightness(row[x]) - brightness(row[x - 1]) : 0;
            const bool small = step != 0 && (step > 0 ? step : -step) <= BAND_STEP;
            start = small ? x - 1 : x;
            direction = small ? (step > 0) - (step < 0) : 0;
        }
    }
    std::sort(colours.begin(), colours.end());
    const auto before = std::unique(colours.begin(), colours.end()) - colours.begin();
    colours.resize(static_cast<size_t>(before));
    for (uint32_t& c : colours) c &= kept;
    std::sort(colours.begin(), colours.end());
    const auto after = std::unique(colours.begin(), colours.end()) - colours.begin();
    if (x1 < 0) return 0;
    say(FINDING_WARNING, "colour-loss",
        {{"colours", static_cast<long long>(before)}, {"kept", static_cast<long long>(after)}},
        "%s: warning: at 16 bits its %lld colours become %lld; neighbours merge into bands (a "
        "gradient's steps) in columns %d to %d, rows %d to %d\n",
        name.c_str(), static_cast<long long>(before), static_cast<long long>(after), x0, x1, y0,
        y1);
    return 1;
}

int font_check_order(const prepared_bitmap* table) {
    // Ink: pixels that differ from the cell's top-left pixel (its background).
    struct ink {
        int count = 0;
        int width = 0;
        int height = 0;
    };
    const size_t bpp = fbvar.bits_per_pixel / 8;
    auto measure = [&](const prepared_bitmap& g) {
        ink k;
        if (g.pixels == nullptr || bpp == 0) return k;
        int left = g.width;
        int right = -1;
        int top = g.height;
        int bottom = -1;
        for (int y = 0; y < g.height; ++y) {
            for (int x = 0; x < g.width; ++x) {
                const uint8_t* p = g.pixels + static_cast<size_t>(y) * g.stride + x * bpp;
                if (std::equal(p, p + bpp, g.pixels)) continue;
                ++k.count;
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
        if (k.count > 0) {
            k.width = right - left + 1;
            k.height = bottom - top + 1;
        }
        return k;
    };
    std::vector<ink> inks;
    inks.reserve(FONT_GLYPH_COUNT);
    for (int i = 0; i < FONT_GLYPH_COUNT; ++i) inks.push_back(measure(table[i]));
    const ink& space = inks[0];
    const ink& dot = inks['.' - ' '];
    const ink& bar = inks['|' - ' '];
    int smaller_than_dot = 0;
    for (int i = 1; i < FONT_GLYPH_COUNT; ++i) {
        if (inks[i].count > 0 && inks[i].count < dot.count) ++smaller_than_dot;
    }
    const int cell_height = table[0].height;
    const int cell_width = table[0].width;
    std::string wrong;
    if (space.count != 0) wrong += " the space (the first cell) is not empty;";
    if (dot.count == 0 || smaller_than_dot > 3) wrong += " '.' is not among the smallest glyphs;";
    if (bar.count == 0 || bar.height * 2 < cell_height || bar.width * 3 > cell_width) {
        wrong += " '|' is not tall and narrow;";
    }
    if (wrong.empty()) return 0;
    wrong.pop_back();
    say(FINDING_ERROR, "font-order",
        "font: error: the glyphs do not look like the characters 32 to 126 in order:%s (is the "
        "grid one cell off, e.g. the space left out?)\n",
        wrong.c_str());
    return 1;
}
