// BMP picture reader. See bmplib.h for the interface and internal/bmp_image.h for the record.
#include "bmplib.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "bmp_image.h"

namespace {

constexpr int32_t FILE_HEADER_SIZE = 14;
constexpr int32_t INFO_HEADER_SIZE = 40;
constexpr int32_t PALETTE_AREA_START = FILE_HEADER_SIZE + INFO_HEADER_SIZE;
constexpr size_t HEADER_FIELDS_SIZE = 52;  // file offsets 2 to 53

constexpr uint32_t COMPRESSION_NONE = 0;
constexpr uint32_t COMPRESSION_RLE8 = 1;
constexpr uint32_t COMPRESSION_BITFIELDS = 3;

// Sets why to the reason a picture is refused; returns -1.
int refuse(const char** why, const char* reason) {
    *why = reason;
    return -1;
}

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t le32(const uint8_t* p) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
#else
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
#endif
}

const uint8_t* row_of(const bmp_image* image, int32_t y) {
    return image->first_row + static_cast<ptrdiff_t>(y) * image->row_step;
}

// The channel rules of one picture, held in locals so that the loops below
// do not reload them (out may alias the record as far as the compiler knows).
struct channel_rules {
    uint32_t mask[3];
    uint32_t rshift[3];
    uint32_t lshift[3];
};

channel_rules rules_of(const bmp_image* image) {
    return {{image->red_mask, image->green_mask, image->blue_mask},
            {image->red_rshift, image->green_rshift, image->blue_rshift},
            {image->red_lshift, image->green_lshift, image->blue_lshift}};
}

uint32_t apply_rules(const channel_rules& k, uint32_t v) {
    const uint32_t r = (((v & k.mask[0]) >> k.rshift[0]) << k.lshift[0]) & 0xFFu;
    const uint32_t g = (((v & k.mask[1]) >> k.rshift[1]) << k.lshift[1]) & 0xFFu;
    const uint32_t b = (((v & k.mask[2]) >> k.rshift[2]) << k.lshift[2]) & 0xFFu;
    return (r << 16) | (g << 8) | b;
}

// Per-depth readers: pixels x to x + count - 1 of one stored row, which must
// lie inside the picture. A single pixel is a span of one.

void getspan_1bpp(const bmp_image* image, const uint8_t* row, int32_t x, int32_t count,
                  uint32_t* out) {
    for (int32_t i = 0; i < count; ++i) {
        const int32_t px = x + i;
        out[i] = image->colors[(row[px >> 3] >> (7 - (px & 7))) & 1u];
    }
}

void getspan_4bpp(const bmp_image* image, const uint8_t* row, int32_t x, int32_t count,
                  uint32_t* out) {
    for (int32_t i = 0; i < count; ++i) {
        const int32_t px = x + i;
        const uint8_t byte = row[px >> 1];
        out[i] = image->colors[(px & 1) != 0 ? (byte & 0x0Fu) : (byte >> 4)];
    }
}

void getspan_8bpp(const bmp_image* image, const uint8_t* row, int32_t x, int32_t count,
                  uint32_t* __restrict out) {
    const uint8_t* src = row + x;
    for (int32_t i = 0; i < count; ++i) out[i] = image->colors[src[i]];
}

void getspan_16bpp(const bmp_image* image, const uint8_t* row, int32_t x, int32_t count,
                   uint32_t* __restrict out) {
    const channel_rules k = rules_of(image);
    const uint8_t* src = row + 2 * static_cast<ptrdiff_t>(x);
    for (int32_t i = 0; i < count; ++i) out[i] = apply_rules(k, le16(src + 2 * i));
}

void getspan_24bpp(const bmp_image* /*image*/, const uint8_t* row, int32_t x, int32_t count,
                   uint32_t* __restrict out) {
    const uint8_t* src = row + 3 * static_cast<ptrdiff_t>(x);
    for (int32_t i = 0; i < count; ++i, src += 3) {
        out[i] =
            (static_cast<uint32_t>(src[2]) << 16) | (static_cast<uint32_t>(src[1]) << 8) | src[0];
    }
}

void getspan_32bpp(const bmp_image* image, const uint8_t* row, int32_t x, int32_t count,
                   uint32_t* __restrict out) {
    const channel_rules k = rules_of(image);
    const uint8_t* src = row + 4 * static_cast<ptrdiff_t>(x);
    for (int32_t i = 0; i < count; ++i) out[i] = apply_rules(k, le32(src + 4 * i));
}

// 32 bits with the masks 0xFF0000, 0xFF00, 0xFF: the colour is the low three bytes.
void getspan_32bpp_xrgb(const bmp_image* /*image*/, const uint8_t* row, int32_t x, int32_t count,
                        uint32_t* __restrict out) {
    const uint8_t* src = row + 4 * static_cast<ptrdiff_t>(x);
    for (int32_t i = 0; i < count; ++i) out[i] = le32(src + 4 * i) & 0xFFFFFFu;
}

int64_t file_length(FILE* file) {
    struct stat st {};
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

// Where the colour table of an indexed picture starts: after the whole
// information header, so that longer headers are not taken as palette entries.
int64_t palette_start(const bmp_image* image) {
    const bool indexed = image->bit_count == 1 || image->bit_count == 4 || image->bit_count == 8;
    if (indexed && image->header_size > static_cast<uint32_t>(INFO_HEADER_SIZE)) {
        return FILE_HEADER_SIZE + static_cast<int64_t>(image->header_size);
    }
    return PALETTE_AREA_START;
}

int bmp_readheader(FILE* file, bmp_image* image, int64_t length, const char** why) {
    uint8_t h[HEADER_FIELDS_SIZE];
    const int b = fgetc(file);
    const int m = fgetc(file);
    if (b != 0x42 || m != 0x4D) return refuse(why, "not a BMP file (no BM signature)");
    if (fread(h, 1, sizeof h, file) != sizeof h) return refuse(why, "header cut short");

    image->file_size = le32(h + 0);
    image->reserved1 = le16(h + 4);
    image->reserved2 = le16(h + 6);
    image->data_offset = static_cast<int32_t>(le32(h + 8));
    image->header_size = le32(h + 12);
    image->width = static_cast<int32_t>(le32(h + 16));
    image->height = static_cast<int32_t>(le32(h + 20));
    image->planes = le16(h + 24);
    image->bit_count = static_cast<int16_t>(le16(h + 26));
    image->compression = le32(h + 28);
    image->image_size = le32(h + 32);
    image->x_pixels_per_meter = static_cast<int32_t>(le32(h + 36));
    image->y_pixels_per_meter = static_cast<int32_t>(le32(h + 40));
    image->colors_used = le32(h + 44);
    image->colors_important = le32(h + 48);

    const int16_t bpp = image->bit_count;
    if (image->header_size < static_cast<uint32_t>(INFO_HEADER_SIZE)) {
        return refuse(why, "information header shorter than 40 bytes (an old OS/2 header)");
    }
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) {
        return refuse(why, "bit depth other than 1, 4, 8, 16, 24 and 32");
    }
    if (image->compression != COMPRESSION_NONE && image->compression != COMPRESSION_RLE8 &&
        image->compression != COMPRESSION_BITFIELDS) {
        return refuse(why, "compression other than 0 (none), 1 (RLE8) and 3 (bit fields)");
    }
    if (image->compression == COMPRESSION_RLE8 && bpp != 8) {
        return refuse(why, "RLE8 compression at a depth other than 8 bits");
    }
    if (image->width <= 0 || image->height == 0 || image->height == INT32_MIN) {
        return refuse(why, "width or height of 0, or a negative width");
    }
    if (image->data_offset < PALETTE_AREA_START || image->data_offset >= length) {
        return refuse(why, "pixel-data offset below 54 or past the end of the file");
    }

    if (image->height < 0) {
        if (image->compression == COMPRESSION_RLE8) return refuse(why, "top-down RLE8 picture");
        image->top_down = true;
        image->height = -image->height;
    }

    const int64_t stride = (static_cast<int64_t>(image->width) * bpp + 31) / 32 * 4;
    const int64_t pixel_count = static_cast<int64_t>(image->width) * image->height;
    if (pixel_count > BMP_MAX_PIXELS) return refuse(why, "more than 16,777,216 pixels");
    if (stride * image->height > BMP_MAX_BYTES)
        return refuse(why, "more than 64 MiB of stored rows");
    image->stride = static_cast<int32_t>(stride);
    image->pixels_size = static_cast<uint32_t>(stride * image->height);

    const int64_t start = palette_start(image);
    image->palette_count =
        image->data_offset > start ? static_cast<int32_t>((image->data_offset - start) / 4) : 0;
    return 0;
}

int bmp_readpalette(FILE* file, bmp_image* image, const char** why) {
    const size_t count = static_cast<size_t>(image->palette_count);
    if (fseek(file, static_cast<long>(palette_start(image)), SEEK_SET) != 0) {
        return refuse(why, "colour table cannot be read");
    }
    image->palette = static_cast<uint8_t*>(calloc(count, 4));
    if (image->palette == nullptr) return refuse(why, "out of memory");
    return fread(image->palette, 4, count, file) == count ? 0
                                                          : refuse(why, "colour table cut short");
}

// Decodes rle_data into pixels; pixels is zeroed and holds stride * height
// bytes. The cursor is row (stored row y) and x, which never passes width.
void rle8_decoding(bmp_image* image) {
    const uint8_t* data = image->rle_data;
    const uint8_t* const end = data + image->rle_size;
    const auto width = static_cast<uint32_t>(image->width);
    const int32_t height = image->height;
    const ptrdiff_t stride = image->stride;
    uint8_t* const pixels = image->pixels;
    uint8_t* row = pixels;
    uint32_t x = 0;
    int32_t y = 0;
    while (end - data >= 2 && y < height) {
        const uint32_t n = data[0];
        const uint32_t v = data[1];
        data += 2;
        if (n > 0) {  // encoded run: the common case, kept short
            const uint32_t fit = n < width - x ? n : width - x;
            memset(row + x, static_cast<int>(v), fit);
            x += fit;
        } else if (v == 0) {  // end of line
            x = 0;
            ++y;
            row += stride;
        } else if (v == 1) {  // end of bitmap
            break;
        } else if (v == 2) {  // delta
            if (end - data < 2) break;
            const uint32_t dx = data[0];
            const int32_t dy = data[1];
            data += 2;
            x += dx < width - x ? dx : width - x;
            y += dy;
            if (y < height) row = pixels + y * stride;
        } else {  // absolute run of v bytes, then a padding byte when v is odd
            const auto available = static_cast<uint32_t>(end - data);
            const uint32_t take = v < available ? v : available;
            const uint32_t fit = take < width - x ? take : width - x;
            memcpy(row + x, data, fit);
            x += v < width - x ? v : width - x;
            if (v > available) break;
            data += v + (v & 1u) < available ? v + (v & 1u) : available;
        }
    }
}

int bmp_readdata(FILE* file, bmp_image* image, int64_t length, const char** why) {
    if (fseek(file, image->data_offset, SEEK_SET) != 0) {
        return refuse(why, "pixel data cannot be read");
    }
    const int64_t available = length - image->data_offset;

    if (image->compression == COMPRESSION_RLE8) {
        image->pixels = static_cast<uint8_t*>(calloc(image->pixels_size, 1));
        if (image->pixels == nullptr) return refuse(why, "out of memory");
        int64_t size = image->image_size == 0 ? available : image->image_size;
        if (size > available) size = available;
        image->rle_size = static_cast<uint32_t>(size);
        image->rle_data = static_cast<uint8_t*>(malloc(image->rle_size));
        if (image->rle_data == nullptr) return refuse(why, "out of memory");
        image->rle_size = static_cast<uint32_t>(fread(image->rle_data, 1, image->rle_size, file));
        rle8_decoding(image);
        return 0;
    }

    // Uncompressed or bit fields: image_size 0 means the whole rows; what a
    // short read leaves is zero, and only that is cleared.
    image->pixels = static_cast<uint8_t*>(malloc(image->pixels_size));
    if (image->pixels == nullptr) return refuse(why, "out of memory");
    int64_t want = image->image_size == 0 ? image->pixels_size : image->image_size;
    if (want > image->pixels_size) want = image->pixels_size;
    if (want > available) want = available;
    const size_t got = fread(image->pixels, 1, static_cast<size_t>(want), file);
    memset(image->pixels + got, 0, image->pixels_size - got);
    return 0;
}

void set_channel(uint32_t mask, int32_t* shift, int32_t* length, uint32_t* use_mask,
                 uint32_t* rshift, uint32_t* lshift) {
    int32_t low = 0;
    int32_t high = -1;
    if (mask != 0) {
        low = __builtin_ctz(mask);
        high = 31 - __builtin_clz(mask);
    }
    *shift = mask != 0 ? low : 32;
    *length = high - low + 1;
    if (*length <= 0) *length = 0;
    if (*length == 0 || *length > 8) {
        *use_mask = 0;
        *rshift = 0;
        *lshift = 0;
    } else {
        *use_mask = mask;
        *rshift = static_cast<uint32_t>(*shift);
        *lshift = static_cast<uint32_t>(8 - *length);
    }
}

void calculate_boffset(bmp_image* image) {
    const uint8_t* p = image->palette;
    set_channel(le32(p + 0), &image->red_shift, &image->red_length, &image->red_mask,
                &image->red_rshift, &image->red_lshift);
    set_channel(le32(p + 4), &image->green_shift, &image->green_length, &image->green_mask,
                &image->green_rshift, &image->green_lshift);
    set_channel(le32(p + 8), &image->blue_shift, &image->blue_length, &image->blue_mask,
                &image->blue_rshift, &image->blue_lshift);
}

int use_builtin_masks(bmp_image* image) {
    static const uint32_t masks16[3] = {0x7C00, 0x03E0, 0x001F};
    static const uint32_t masks32[3] = {0xFF0000, 0x00FF00, 0x0000FF};
    const uint32_t* masks = image->bit_count == 16 ? masks16 : masks32;
    image->palette = static_cast<uint8_t*>(malloc(12));
    if (image->palette == nullptr) return -1;
    for (int i = 0; i < 3; ++i) {
        for (int b = 0; b < 4; ++b) {
            image->palette[i * 4 + b] = static_cast<uint8_t>(masks[i] >> (8 * b));
        }
    }
    calculate_boffset(image);
    return 0;
}

void fill_colors(bmp_image* image) {
    const int32_t count = image->palette_count < 256 ? image->palette_count : 256;
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t* e = image->palette + 4 * i;
        image->colors[i] =
            (static_cast<uint32_t>(e[2]) << 16) | (static_cast<uint32_t>(e[1]) << 8) | e[0];
    }
}

int choose_reader(bmp_image* image, const char** why) {
    switch (image->bit_count) {
        case 1:
            fill_colors(image);
            image->read_span = getspan_1bpp;
            return 0;
        case 4:
            fill_colors(image);
            image->read_span = getspan_4bpp;
            return 0;
        case 8:
            fill_colors(image);
            image->read_span = getspan_8bpp;
            return 0;
        case 24:
            image->read_span = getspan_24bpp;
            return 0;
        case 16:
        case 32:
            if (image->compression == COMPRESSION_NONE) {
                if (image->palette != nullptr) {
                    return refuse(why, "16- or 32-bit uncompressed picture with a colour table");
                }
                if (use_builtin_masks(image) != 0) return refuse(why, "out of memory");
            } else {
                if (image->palette_count < 3) {
                    return refuse(why, "bit-field picture with fewer than three masks");
                }
                calculate_boffset(image);
            }
            image->read_span = image->bit_count == 16 ? getspan_16bpp : getspan_32bpp;
            if (image->bit_count == 32 && image->red_mask == 0xFF0000u &&
                image->green_mask == 0xFF00u && image->blue_mask == 0xFFu) {
                image->read_span = getspan_32bpp_xrgb;
            }
            return 0;
        default:
            return refuse(why, "bit depth other than 1, 4, 8, 16, 24 and 32");
    }
}

}  // namespace

bmp_image* bmp_open(const char* path) {
    const char* why = nullptr;
    return bmp_open_explained(path, &why);
}

bmp_image* bmp_open_explained(const char* path, const char** why) {
    *why = nullptr;
    FILE* file = fopen(path, "rb");
    if (file == nullptr) return nullptr;
    auto* image = static_cast<bmp_image*>(calloc(1, sizeof(bmp_image)));
    const int64_t length = file_length(file);
    int result = 0;
    if (image == nullptr) result = refuse(why, "out of memory");
    if (result == 0 && length < 0) result = refuse(why, "not a regular file");
    if (result == 0) result = bmp_readheader(file, image, length, why);
    if (result == 0 && image->palette_count != 0) result = bmp_readpalette(file, image, why);
    if (result == 0) result = bmp_readdata(file, image, length, why);
    if (result == 0) result = choose_reader(image, why);
    (void)fclose(file);  // opened for reading: nothing to lose
    if (result != 0) {
        if (image != nullptr) bmp_close(image);
        return nullptr;
    }
    const ptrdiff_t last = static_cast<ptrdiff_t>(image->height - 1) * image->stride;
    image->first_row = image->top_down ? image->pixels : image->pixels + last;
    image->row_step = image->top_down ? image->stride : -image->stride;
    return image;
}

int32_t bmp_width(const bmp_image* image) {
    return image->width;
}

int32_t bmp_height(const bmp_image* image) {
    return image->height;
}

uint32_t bmp_getpixel(const bmp_image* image, int32_t x, int32_t y) {
    if (x < 0 || y < 0 || x >= image->width || y >= image->height) return 0;
    uint32_t colour = 0;
    image->read_span(image, row_of(image, y), x, 1, &colour);
    return colour & 0xFFFFFFu;
}

void bmp_getspan(const bmp_image* image, int32_t x, int32_t y, int32_t count, uint32_t* out) {
    if (count <= 0) return;
    // The part of the span inside the picture, in 64 bits: x + count may pass INT32_MAX.
    const int64_t first = x < 0 ? 0 : x;
    int64_t end = int64_t{x} + count;
    if (end > image->width) end = image->width;
    if (y < 0 || y >= image->height || first >= end) {
        memset(out, 0, static_cast<size_t>(count) * sizeof *out);
        return;
    }
    const auto before = static_cast<size_t>(first - x);
    const auto inside = static_cast<int32_t>(end - first);
    const size_t after = static_cast<size_t>(count) - before - static_cast<size_t>(inside);
    memset(out, 0, before * sizeof *out);
    image->read_span(image, row_of(image, y), static_cast<int32_t>(first), inside, out + before);
    memset(out + before + inside, 0, after * sizeof *out);
}

const uint8_t* bmp_stored_row(const bmp_image* image, int32_t y) {
    if (y < 0 || y >= image->height) return nullptr;
    return row_of(image, y);
}

const uint32_t* bmp_colour_table(const bmp_image* image) {
    return image->colors;
}

void bmp_close(bmp_image* image) {
    free(image->palette);
    free(image->rle_data);
    free(image->pixels);
    free(image);
}

void bmp_describe(const bmp_image* image, bmp_info* info) {
    *info =
        bmp_info{image->bit_count,     image->compression,  image->top_down,    image->stride,
                 image->palette_count, image->red_shift,    image->green_shift, image->blue_shift,
                 image->red_length,    image->green_length, image->blue_length};
}
