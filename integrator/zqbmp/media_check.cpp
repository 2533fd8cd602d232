#include "media_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "animation_facts.h"
#include "bmplib.h"
#include "console.h"
#include "device_facts.h"
#include "exit_status.h"
#include "findings.h"
#include "framebuffer.h"
#include "memory_screen.h"
#include "number_arguments.h"
#include "picture_findings.h"
#include "png_writer.h"
#include "prepared_bitmap.h"
#include "recovery_facts.h"
#include "screen_format.h"
#include "update_check.h"

namespace {

constexpr int MENU_LINES = BANNER_LINES + MENU_ITEM_SIZE;
constexpr int FRAME_MS = 1000 / FPS;

const char* const FONT = "inconsolata_20px_ffffff.bmp";
const char* const BACKGROUND = "zqtitle.bmp";
const char* const FRAMES[] = {"zqani00.bmp", "zqani01.bmp", "zqani02.bmp", "zqani03.bmp"};
const char* const PREVIEW_PICTURES[] = {
    "splash-frame0.png", "splash-frame1.png", "splash-frame2.png", "splash-frame3.png",
    "splash.png",        "countdown.png",     "menu.png",          "update.png"};

// A line of the device's screen from one of its texts.
__attribute__((format(printf, 1, 2))) std::string format_text(const char* format, ...) {
    char text[TEXT_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    (void)vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// mkdir -p: 0, or -1 with errno set.
int make_directories(const std::string& path) {
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        const std::string part = path.substr(0, at);
        if (!part.empty() && mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return -1;
        if (at == std::string::npos) break;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

// One media file as the device loads it.
struct media_file {
    std::string name;
    bmp_image* image = nullptr;
    std::string problem;  // why it does not load
};

media_file load(const char* dir, const char* name) {
    media_file file;
    file.name = name;
    const std::string path = std::string(dir) + "/" + name;
    const char* why = nullptr;
    file.image = bmp_open_explained(path.c_str(), &why);
    if (file.image == nullptr) {
        file.problem = picture_load_problem(path.c_str(), why != nullptr ? why : strerror(errno));
    }
    return file;
}

void release(media_file* file) {
    if (file->image != nullptr) bmp_close(file->image);
    file->image = nullptr;
}

// The screen as the device's driver describes it, in memory, cleared.
void use_screen(const screen_geometry& screen) {
    memory_screen_open(screen);
}

// A channel of a 16-bit pixel moved up to 8 bits, its low bits clear.
uint8_t channel16(unsigned pixel, const fb_bitfield& field) {
    const unsigned mask = (1u << field.length) - 1;
    return static_cast<uint8_t>(((pixel >> field.offset) & mask) << (8 - field.length));
}

// The visible screen as the display shows it: 8 bits per channel, a 16-bit
// screen's channels read from where its layout puts them.
rgb_picture screen_picture() {
    const screen_layout screen = fb_layout();
    screen_format format;
    screen_format_init(&format, &fbvar);
    rgb_picture picture{static_cast<int>(screen.width), static_cast<int>(screen.height), {}};
    picture.rgb.resize(static_cast<size_t>(screen.width * screen.height) * 3);
    const size_t bpp = static_cast<size_t>(screen.bytes_per_pixel);
    uint8_t* out = picture.rgb.data();
    for (int64_t y = 0; y < screen.height; ++y) {
        const uint8_t* p = screen.origin + y * screen.pitch;
        for (int64_t x = 0; x < screen.width; ++x, p += bpp, out += 3) {
            if (bpp == 2) {
                const unsigned v = p[0] | (p[1] << 8);
                out[0] = channel16(v, fbvar.red);
                out[1] = channel16(v, fbvar.green);
                out[2] = channel16(v, fbvar.blue);
            } else {
                out[0] = p[format.red_offset / 8];
                out[1] = p[format.green_offset / 8];
                out[2] = p[format.blue_offset / 8];
            }
        }
    }
    return picture;
}

// The bits of a 0xRRGGBB colour the screen keeps.
uint32_t screen_kept_bits() {
    auto top = [](uint32_t length) {
        return length >= 8 ? 0xFFu : (0xFFu << (8 - length)) & 0xFFu;
    };
    return top(fbvar.red.length) << 16 | top(fbvar.green.length) << 8 | top(fbvar.blue.length);
}

// What a padded, panned or reordered screen changes: where and in which byte
// order the programs write, never what the display shows.
void describe_geometry(const screen_geometry& screen) {
    const uint32_t row_bytes = static_cast<uint32_t>(screen.width) * (screen.bits / 8);
    if (screen.line_length != 0 && screen.line_length < row_bytes) {
        say(FINDING_WARNING, "pitch-short",
            "screen: warning: a pitch of %u bytes is shorter than a row (%u bytes): the programs "
            "take rows %u bytes apart\n",
            screen.line_length, row_bytes, row_bytes);
    }
    const bool padded = screen.line_length > row_bytes;
    const bool panned = screen.xoffset != 0 || screen.yoffset != 0;
    if (!padded && !panned && screen.red < 0) return;
    if (padded) {
        say(FINDING_NOTE, "screen-pitch", "screen: rows %u bytes apart, %u of them pixels\n",
            screen.line_length, row_bytes);
    }
    if (panned) {
        say(FINDING_NOTE, "screen-offset",
            "screen: visible from column %u, row %u of the virtual screen\n", screen.xoffset,
            screen.yoffset);
    }
    if (screen.red >= 0 && screen.bits == 16) {
        say(FINDING_NOTE, "screen-layout",
            "screen: red at bits %d-%d, green at %d-%d, blue at %d-%d\n", screen.red,
            screen.red + screen.red_bits - 1, screen.green, screen.green + screen.green_bits - 1,
            screen.blue, screen.blue + screen.blue_bits - 1);
    } else if (screen.red >= 0) {
        say(FINDING_NOTE, "screen-order", "screen: red at bit %d, green at %d, blue at %d\n",
            screen.red, screen.green, screen.blue);
    }
    if (screen.bits == 16 && screen.green_bits == 5) {
        say(FINDING_NOTE, "screen-green-5-bits",
            "screen: the programs draw where the display shows, in its layout: green keeps 5 bits, "
            "not 6, and colours that a 5-6-5 screen keeps apart become one\n");
        return;
    }
    say(FINDING_NOTE, "screen-same-as-plain",
        "screen: the programs draw where the display shows, in its byte order: what it shows is "
        "the same as on a plain screen\n");
}

std::string glyph_name(int i) {
    char text[32];
    (void)snprintf(text, sizeof text, "'%c' (%d)", 32 + i, 32 + i);
    return text;
}

bool glyph_is_empty(const prepared_bitmap& g) {
    const size_t bytes = static_cast<size_t>(g.stride) * static_cast<size_t>(g.height);
    const size_t bpp = fbvar.bits_per_pixel / 8;
    if (g.pixels == nullptr || bytes == 0) return true;
    for (size_t i = bpp; i < bytes; ++i) {
        if (g.pixels[i] != g.pixels[i % bpp]) return false;
    }
    return true;
}

bool glyphs_equal(const prepared_bitmap& a, const prepared_bitmap& b) {
    const size_t bytes = static_cast<size_t>(a.stride) * static_cast<size_t>(a.height);
    return a.pixels != nullptr && b.pixels != nullptr && memcmp(a.pixels, b.pixels, bytes) == 0;
}

// What a check found: warnings, and errors (the programs start, but what
// they show is wrong).
struct check_tally {
    int warnings = 0;
    int errors = 0;
};

// The font's findings; the glyph table is left prepared.
void check_font(const media_file& font, const screen_geometry& screen, check_tally* tally) {
    int& warnings = tally->warnings;
    const int w = bmp_width(font.image);
    const int h = bmp_height(font.image);
    const int cw = w / FONT_GRID;
    const int ch = h / FONT_GRID;
    say(FINDING_NOTE, "font-cells", {{"cell_width", cw}, {"cell_height", ch}},
        "font: 10 x 10 cells of %d x %d pixels\n", cw, ch);
    if (cw == 0 || ch == 0 || w % FONT_GRID != 0 || h % FONT_GRID != 0) {
        say(FINDING_ERROR, "font-grid",
            "font: error: %d x %d is not a 10 x 10 grid of equal cells: the device cuts it into "
            "cells of %d x %d and every glyph is off\n",
            w, h, cw, ch);
        ++tally->errors;
        if (cw == 0 || ch == 0) return;
    }
    prepare_font(font.image, font_20px);
    bool used[FONT_GLYPH_COUNT] = {};
    device_facts_characters(used);
    std::string blank;
    int blanks = 0;
    for (int i = 1; i < FONT_GLYPH_COUNT; ++i) {  // the space is meant to be empty
        if (glyph_is_empty(font_20px[i])) {
            if (used[i] && blanks++ < 8) blank += " " + glyph_name(i);
            continue;
        }
        for (int j = 1; j < i; ++j) {
            if (!glyph_is_empty(font_20px[j]) && glyphs_equal(font_20px[i], font_20px[j])) {
                say(FINDING_WARNING, "font-identical-glyphs",
                    "font: warning: glyphs %s and %s are identical\n", glyph_name(j).c_str(),
                    glyph_name(i).c_str());
                ++warnings;
                break;
            }
        }
    }
    if (blanks > 0) {
        say(FINDING_ERROR, "font-blank-glyphs",
            "font: error: %d glyphs that the programs' texts use are blank (one colour):%s%s\n",
            blanks, blank.c_str(), blanks > 8 ? " ..." : "");
        ++tally->errors;
    }
    // The menu: banner and items, one line each, at most this many characters.
    int longest = 0;
    char line[TEXT_BUFFER_SIZE];
    for (int i = 0; i < MENU_ITEM_SIZE; ++i) {
        const int length = menu_line(line, sizeof line, i, true) - 1;  // without its line end
        if (length > longest) longest = length;
    }
    if (MENU_LINES * ch > screen.height) {
        say(FINDING_ERROR, "menu-too-tall",
            "menu: error: the banner and the nine items need %d rows, the screen has %d: the "
            "last lines are drawn over the first\n",
            MENU_LINES * ch, screen.height);
        ++tally->errors;
    } else {
        say(FINDING_NOTE, "menu-rows", {{"rows", MENU_LINES * ch}, {"screen_rows", screen.height}},
            "menu: the banner and the nine items take %d of %d rows\n", MENU_LINES * ch,
            screen.height);
    }
    if (longest * cw > screen.width) {
        say(FINDING_WARNING, "menu-wraps",
            "menu: warning: the longest item line, %d characters, needs %d columns, the screen "
            "has %d: it wraps\n",
            longest, longest * cw, screen.width);
        ++warnings;
    }
    // The longest fixed text, and the update header's item line.
    char countdown[TEXT_BUFFER_SIZE];
    const int countdown_length =
        snprintf(countdown, sizeof countdown, COUNTDOWN_FORMAT, COUNTDOWN_SECONDS);
    if (countdown_length * cw > screen.width) {
        say(FINDING_WARNING, "countdown-wraps",
            "countdown: warning: \"%s\", %d characters, needs %d columns, the screen has %d: "
            "it wraps\n",
            countdown, countdown_length, countdown_length * cw, screen.width);
        ++warnings;
    }
    for (int i = 1; i <= ITEM_LAST_UPDATE; ++i) {
        const int length = static_cast<int>(strlen(MENU_ITEMS[2 * i]));
        if (length * cw > screen.width) {
            say(FINDING_WARNING, "update-header-wraps",
                "update: warning: the header line \"%s\" needs %d columns: it wraps\n",
                MENU_ITEMS[2 * i], length * cw);
            ++warnings;
        }
    }
    const int header_rows = UPDATE_HEADER_LINES * ch;
    if (header_rows + UPDATE_PROGRESS_GAP + ch > screen.height) {
        say(FINDING_WARNING, "update-no-progress-line",
            "update: warning: no progress line fits below the header (%d rows)\n", header_rows);
        ++warnings;
    } else {
        say(FINDING_NOTE, "update-progress-lines",
            "update: %d progress lines fit below the header, %d once progress has run off the "
            "bottom\n",
            (screen.height - header_rows) / ch,
            (screen.height - header_rows - UPDATE_PROGRESS_GAP) / ch);
    }
}

// The longest progress line the walk draws for the tree, against the width.
int check_progress(const char* tree, const media_file& font, const screen_geometry& screen) {
    const int cw = bmp_width(font.image) / FONT_GRID;
    const std::string line = update_longest_line(tree, ITEM_LAST_UPDATE);
    const int length = static_cast<int>(line.size());
    if (length * cw > screen.width) {
        say(FINDING_WARNING, "update-progress-wraps",
            "update: warning: the longest progress line for %s, %d characters, needs %d columns, "
            "the screen has %d: it wraps (\"%s\")\n",
            tree, length, length * cw, screen.width, line.c_str());
        return 1;
    }
    say(FINDING_NOTE, "update-progress-fits",
        "update: the longest progress line for %s, %d characters, fits\n", tree, length);
    return 0;
}

int check_splash(const media_file& background, const media_file* frames,
                 const screen_geometry& screen) {
    int warnings = 0;
    const int bw = bmp_width(background.image);
    const int bh = bmp_height(background.image);
    if (bw < screen.width || bh < screen.height) {
        say(FINDING_WARNING, "splash-background-small",
            "splash: warning: %s is %d x %d: %d columns at the right and %d rows at the bottom "
            "stay black\n",
            background.name.c_str(), bw, bh, bw < screen.width ? screen.width - bw : 0,
            bh < screen.height ? screen.height - bh : 0);
        ++warnings;
    }
    if (bw > screen.width || bh > screen.height) {
        say(FINDING_WARNING, "splash-background-cut",
            "splash: warning: %s is %d x %d: %d columns at the right and %d rows at the bottom "
            "are cut off\n",
            background.name.c_str(), bw, bh, bw > screen.width ? bw - screen.width : 0,
            bh > screen.height ? bh - screen.height : 0);
        ++warnings;
    }
    if (bw == screen.width && bh == screen.height) {
        say(FINDING_NOTE, "splash-background-covers", "splash: %s covers the screen\n",
            background.name.c_str());
    }
    for (int k = 0; k < 4; ++k) {
        const int fw = bmp_width(frames[k].image);
        const int fh = bmp_height(frames[k].image);
        const int rows = screen.height - FRAME_Y;
        if (rows <= 0) {
            say(FINDING_WARNING, "splash-frame-unseen",
                "splash: warning: %s starts at row %d, below the screen's %d rows: it is never "
                "seen\n",
                frames[k].name.c_str(), FRAME_Y, screen.height);
            ++warnings;
        } else if (fh > rows || fw > screen.width) {
            say(FINDING_WARNING, "splash-frame-cut",
                "splash: warning: %s (%d x %d) from row %d: %d rows at the bottom and %d "
                "columns at the right are cut off\n",
                frames[k].name.c_str(), fw, fh, FRAME_Y, fh > rows ? fh - rows : 0,
                fw > screen.width ? fw - screen.width : 0);
            ++warnings;
        } else {
            say(FINDING_NOTE, "splash-frame-fits", "splash: %s (%d x %d) from row %d fits\n",
                frames[k].name.c_str(), fw, fh, FRAME_Y);
        }
        // The background is drawn before every frame: only where a larger
        // frame reaches past it does a smaller one leave parts of it.
        const int w0 = bmp_width(frames[0].image);
        const int h0 = bmp_height(frames[0].image);
        const int shown_w = std::min(std::max(fw, w0), screen.width);
        const int shown_h = std::min(FRAME_Y + std::max(fh, h0), screen.height);
        if (k > 0 && (fw != w0 || fh != h0) &&
            (shown_w > std::min(bw, screen.width) || shown_h > std::min(bh, screen.height))) {
            say(FINDING_WARNING, "splash-frame-sizes",
                "splash: warning: %s is not the size of %s and the larger one reaches past %s: "
                "parts of it stay on screen under the smaller one\n",
                frames[k].name.c_str(), frames[0].name.c_str(), background.name.c_str());
            ++warnings;
        }
    }
    return warnings;
}

// Files in the media folder that the programs never load: unknown ones, and
// ones whose name differs from a file they load only in case. The count.
int check_folder(const char* media_dir) {
    DIR* dir = opendir(media_dir);
    if (dir == nullptr) return 0;
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
    (void)closedir(dir);
    std::sort(names.begin(), names.end());
    int warnings = 0;
    for (const std::string& name : names) {
        if (name[0] == '.') continue;
        const char* meant = nullptr;
        bool exact = false;
        for (const char* known : {FONT, BACKGROUND, FRAMES[0], FRAMES[1], FRAMES[2], FRAMES[3]}) {
            exact = exact || name == known;
            if (strcasecmp(name.c_str(), known) == 0) meant = known;
        }
        if (exact) continue;
        if (meant != nullptr) {
            say(FINDING_WARNING, "media-wrong-case",
                "%s: warning: the programs load %s: names on the device are case-sensitive\n",
                name.c_str(), meant);
        } else {
            say(FINDING_WARNING, "media-unknown-file",
                "%s: warning: not one of the six files the programs load: it is never shown\n",
                name.c_str());
        }
        ++warnings;
    }
    return warnings;
}

struct media_set {
    media_file font;
    media_file background;
    media_file frames[4];
};

media_set load_set(const char* dir) {
    media_set set;
    set.font = load(dir, FONT);
    set.background = load(dir, BACKGROUND);
    for (int k = 0; k < 4; ++k) set.frames[k] = load(dir, FRAMES[k]);
    return set;
}

void release_set(media_set* set) {
    release(&set->font);
    release(&set->background);
    for (media_file& f : set->frames) release(&f);
    for (prepared_bitmap& g : font_20px) {
        free(g.pixels);
        g = prepared_bitmap{};
    }
}

// The first splash file that does not load, or null.
const media_file* splash_problem(const media_set& set) {
    if (set.background.image == nullptr) return &set.background;
    for (const media_file& f : set.frames) {
        if (f.image == nullptr) return &f;
    }
    return nullptr;
}

// A 24- or 32-bit pixel's bytes in memory order, e.g. BGRX.
bool parse_byte_order(const char* value, screen_geometry* screen) {
    const size_t bytes = static_cast<size_t>(screen->bits / 8);
    int* channel[] = {&screen->red, &screen->green, &screen->blue};
    const char letters[] = "RGB";
    bool ok = (bytes == 3 || bytes == 4) && strlen(value) == bytes;
    for (size_t i = 0; ok && i < bytes; ++i) ok = strchr("RGBX", value[i]) != nullptr;
    for (int c = 0; ok && c < 3; ++c) {
        const char* at = strchr(value, letters[c]);
        ok = at != nullptr && strchr(at + 1, letters[c]) == nullptr;
        if (ok) *channel[c] = static_cast<int>(at - value) * 8;
    }
    return ok;
}

// The 16-bit layouts, named from the top bit down: offset and width of red,
// green and blue.
struct layout16 {
    const char* name;
    int red, red_bits, green, green_bits, blue, blue_bits;
};
constexpr layout16 LAYOUTS16[] = {
    {"RGB565", 11, 5, 5, 6, 0, 5},
    {"BGR565", 0, 5, 5, 6, 11, 5},
    {"RGB555", 10, 5, 5, 5, 0, 5},
    {"BGR555", 0, 5, 5, 5, 10, 5},
};

bool parse_layout16(const char* value, screen_geometry* screen) {
    for (const layout16& l : LAYOUTS16) {
        if (strcmp(value, l.name) != 0) continue;
        screen->red = l.red;
        screen->red_bits = l.red_bits;
        screen->green = l.green;
        screen->green_bits = l.green_bits;
        screen->blue = l.blue;
        screen->blue_bits = l.blue_bits;
        return true;
    }
    return false;
}

}  // namespace

int parse_screen_option(const char* name, const char* value, screen_geometry* screen) {
    unsigned long long a = 0;
    unsigned long long b = 0;
    const char* rest = nullptr;
    if (strcmp(name, "--pitch") == 0) {
        if (parse_count(value, 1u << 20, &a) == 0) {
            screen->line_length = static_cast<uint32_t>(a);
            return 0;
        }
        (void)fprintf(stderr, "zqbmp: --pitch %s: not a number of bytes up to 1048576\n", value);
        return -1;
    }
    if (strcmp(name, "--offset") == 0) {
        if (parse_count_pair(value, ',', 8192, &a, &b, &rest) == 0 && *rest == '\0') {
            screen->xoffset = static_cast<uint32_t>(a);
            screen->yoffset = static_cast<uint32_t>(b);
            return 0;
        }
        (void)fprintf(stderr, "zqbmp: --offset %s: not X,Y in pixels, each up to 8192\n", value);
        return -1;
    }
    if (strcmp(name, "--order") == 0) {
        if (screen->bits == 16 ? parse_layout16(value, screen) : parse_byte_order(value, screen))
            return 0;
        screen->red = screen->green = screen->blue = -1;
        (void)fprintf(stderr,
                      "zqbmp: --order %s: give the pixel's bytes in memory order, R, G and B once "
                      "each and X for the unused one: 4 letters at 32 bits, 3 at 24; at 16 bits "
                      "the layout from the top bit down: RGB565, BGR565, RGB555 or BGR555\n",
                      value);
        return -1;
    }
    (void)fprintf(stderr, "zqbmp: %s: not a screen option (--pitch, --offset, --order)\n", name);
    return -1;
}

int parse_screen(const char* text, screen_geometry* screen) {
    unsigned long long width = 0;
    unsigned long long height = 0;
    unsigned long long bits = 0;
    const char* rest = nullptr;
    if (parse_count_pair(text, 'x', 8192, &width, &height, &rest) != 0 || *rest != 'x' ||
        parse_count(rest + 1, 32, &bits) != 0 || width == 0 || height == 0) {
        return -1;
    }
    screen->width = static_cast<int>(width);
    screen->height = static_cast<int>(height);
    screen->bits = static_cast<int>(bits);
    return bits == 16 || bits == 24 || bits == 32 ? 0 : -1;
}

int media_check(const char* media_dir, const screen_geometry& screen,
                const check_options& options) {
    if (!is_directory(media_dir)) return EXIT_UNREADABLE;
    if (options.tree != nullptr && !is_directory(options.tree)) return EXIT_UNREADABLE;
    finding_report report;
    report.json = options.json;
    current_report = &report;
    use_screen(screen);
    say(FINDING_NOTE, "screen", "screen: %d x %d, %d bits per pixel\n", screen.width, screen.height,
        screen.bits);
    describe_geometry(screen);
    media_set set = load_set(media_dir);
    const media_file* all[] = {&set.font,      &set.background, &set.frames[0],
                               &set.frames[1], &set.frames[2],  &set.frames[3]};
    for (const media_file* f : all) {
        if (f->image == nullptr) {
            say(FINDING_ERROR, "does-not-load", "%s: does not load: %s\n", f->name.c_str(),
                f->problem.c_str());
            continue;
        }
        bmp_info info;
        bmp_describe(f->image, &info);
        say(FINDING_NOTE, "loads",
            {{"width", bmp_width(f->image)},
             {"height", bmp_height(f->image)},
             {"bits", info.bit_count},
             {"compression", info.compression}},
            "%s: loads: %d x %d, %d bits per pixel, compression %u%s\n", f->name.c_str(),
            bmp_width(f->image), bmp_height(f->image), info.bit_count, info.compression,
            info.top_down ? ", top-down" : "");
    }
    check_tally tally;
    int& warnings = tally.warnings;
    int& errors = tally.errors;
    warnings += check_folder(media_dir);
    for (const media_file* f : all) {
        if (f->image == nullptr) {
            ++errors;
            continue;
        }
        const std::string path = std::string(media_dir) + "/" + f->name;
        errors += picture_check_truncation(f->name, path.c_str(), f->image);
        warnings += picture_check_alpha(f->name, path.c_str());
        if (screen.bits == 16)
            warnings += picture_check_colour_loss(f->name, f->image, screen_kept_bits());
    }
    if (set.font.image != nullptr) {
        check_font(set.font, screen, &tally);
        errors += font_check_order(font_20px);
        if (options.tree != nullptr) warnings += check_progress(options.tree, set.font, screen);
    }
    const media_file* splash = splash_problem(set);
    if (splash == nullptr) warnings += check_splash(set.background, set.frames, screen);

    int status = 0;
    if (set.font.image == nullptr) {
        say(FINDING_ERROR, "zqrecovery-would-not-start",
            "result: zqrecovery would not start: %s does not load\n", set.font.name.c_str());
        status = 1;
    }
    if (splash != nullptr) {
        say(FINDING_ERROR, "zqanimation-would-not-start",
            "result: zqanimation would not start (it asks for \"start recovery\"): %s does not "
            "load\n",
            splash->name.c_str());
        status = 1;
    }
    if (status == 0 && errors > 0) {
        say(FINDING_ERROR, "shows-wrong",
            "result: both programs would start, but what they show is wrong: %d errors\n", errors);
        status = 1;
    } else if (status == 0) {
        say(FINDING_NOTE, "both-start", "result: both programs would start; %d warnings\n",
            warnings);
    }
    say(FINDING_NOTE, "summary", "summary: %d files, %d warnings, %d errors%s\n", 6, warnings,
        errors, options.strict && warnings > 0 ? " (--strict: warnings fail)" : "");
    release_set(&set);
    memory_screen_close();
    const int result = status != 0 || (options.strict && warnings > 0) ? EXIT_FINDINGS : EXIT_CLEAN;
    report_finish(report, "check", result,
                  {{"files", 6}, {"warnings", warnings}, {"errors", errors}});
    current_report = nullptr;
    return result;
}

int media_preview(const char* media_dir, const screen_geometry& screen, const char* out_dir) {
    if (!is_directory(media_dir)) return EXIT_UNREADABLE;
    const std::string dir = out_dir;
    if (make_directories(dir) != 0) {
        (void)fprintf(stderr, "zqbmp: %s: cannot be made: %s\n", out_dir, strerror(errno));
        return EXIT_UNREADABLE;
    }
    // Pictures of an earlier run that this one may not write again.
    for (const char* name : PREVIEW_PICTURES) (void)unlink((dir + "/" + name).c_str());
    use_screen(screen);
    media_set set = load_set(media_dir);
    int status = 0;
    auto save = [&](const std::string& name, const rgb_picture& picture,
                    const std::string& compressed) {
        const std::string path = dir + "/" + name;
        if (png_write(path.c_str(), picture, compressed) != 0) {
            (void)fprintf(stderr, "zqbmp: %s: cannot be written: %s\n", path.c_str(),
                          strerror(errno));
            status = exit_worst(status, EXIT_UNREADABLE);
        } else {
            printf("%s\n", path.c_str());
        }
    };

    if (const media_file* problem = splash_problem(set); problem != nullptr) {
        printf("splash: not drawn: %s does not load\n", problem->name.c_str());
        status = exit_worst(status, EXIT_FINDINGS);
    } else {
        prepared_bitmap pictures[5] = {};
        prepare_bitmap(set.background.image, &pictures[0]);
        for (int k = 0; k < 4; ++k) prepare_bitmap(set.frames[k].image, &pictures[k + 1]);
        std::vector<rgb_picture> frames;
        std::vector<std::string> compressed;
        fb_clear();  // once, as the animation's UI thread does
        for (int k = 0; k < 4; ++k) {
            draw_prepared_bitmap(&pictures[0], 0, 0);
            draw_prepared_bitmap(&pictures[k + 1], 0, FRAME_Y);
            frames.push_back(screen_picture());
            compressed.push_back(png_compress(frames.back()));
            save("splash-frame" + std::to_string(k) + ".png", frames.back(), compressed.back());
        }
        const std::string animated = dir + "/splash.png";
        if (apng_write(animated.c_str(), frames, compressed, FRAME_MS) != 0) {
            (void)fprintf(stderr, "zqbmp: %s: cannot be written: %s\n", animated.c_str(),
                          strerror(errno));
            status = exit_worst(status, EXIT_UNREADABLE);
        } else {
            printf("%s\n", animated.c_str());
        }
        for (prepared_bitmap& p : pictures) free(p.pixels);
    }

    if (set.font.image == nullptr) {
        printf("countdown, menu and update: not drawn: %s does not load\n", set.font.name.c_str());
        status = exit_worst(status, EXIT_FINDINGS);
    } else {
        prepare_font(set.font.image, font_20px);
        char text[TEXT_BUFFER_SIZE];
        fb_clear();
        posx = posy = console_offsetY = 0;
        (void)snprintf(text, sizeof text, COUNTDOWN_FORMAT, COUNTDOWN_SECONDS);
        draw_string(font_20px, text);
        const rgb_picture countdown = screen_picture();
        save("countdown.png", countdown, png_compress(countdown));
        fb_clear();
        posx = posy = console_offsetY = 0;
        // The menu as the program draws it, EXIT selected.
        draw_string(font_20px, BANNER);
        for (int i = 0; i < MENU_ITEM_SIZE; ++i) {
            (void)menu_line(text, sizeof text, i, i == ITEM_EXIT);
            draw_string(font_20px, text);
        }
        const rgb_picture menu = screen_picture();
        save("menu.png", menu, png_compress(menu));
        // An update from the internal card, one file copied and a long one
        // part-way, its progress on the line its result will take.
        fb_clear();
        posx = posy = console_offsetY = 0;
        const std::vector<std::string> lines = {
            format_text(UPDATE_HEADER_FORMAT, MENU_ITEMS[2]),
            format_text(MOUNTED_FORMAT, "/sdcard", 0),
            format_text(CREATE_DIR_FORMAT, "/system/app"),
            format_text(COPIED_FORMAT, "/system/app/Settings.apk", 1452310LL),
            format_text(COPYING_FORMAT, "/system/app/Maps.apk", 42U)};
        for (size_t i = 0; i < lines.size(); ++i) {
            draw_string(font_20px, lines[i].c_str());
            if (i == 0) console_offsetY = posy + UPDATE_PROGRESS_GAP;
        }
        const rgb_picture update = screen_picture();
        save("update.png", update, png_compress(update));
    }
    release_set(&set);
    memory_screen_close();
    return status;
}
