// zqbmp as an integrator runs it: check, preview and update-check on the
// media the build generates and on broken sets, reading what it prints.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef ZQBMP_COMPRESSED
#include <zlib.h>
#endif

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "animation_facts.h"
#include "recovery_facts.h"
#include "support/bmp_builder.h"
#include "support/run_program.h"
#include "support/sandbox.h"
#include "support/test_paths.h"

namespace {

const char* const MEDIA[] = {"inconsolata_20px_ffffff.bmp",
                             "zqtitle.bmp",
                             "zqani00.bmp",
                             "zqani01.bmp",
                             "zqani02.bmp",
                             "zqani03.bmp"};

std::string scratch_dir(const std::string& name) {
    std::string dir = "/tmp/zqbmp-test-" + std::to_string(getpid()) + "-" + name;
    remove_tree(dir);
    make_dirs(dir);
    return dir;
}

// A copy of the generated media, to break.
std::string media_copy(const std::string& name) {
    std::string dir = scratch_dir(name);
    for (const char* file : MEDIA) {
        write_text_file(dir + "/" + file, read_text_file(std::string(ZQ_MEDIA_DIR) + "/" + file));
    }
    return dir;
}

void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    write_text_file(path, std::string(bytes.begin(), bytes.end()));
}

// A 24-bit picture of noise (so no glyph cell is empty or like another).
std::vector<uint8_t> picture(int width, int height) {
    std::mt19937 rng(7);
    return bmp_build(bmp_random({24, 0}, width, height, rng));
}

program_result zqbmp(std::vector<std::string> args) {
    args.insert(args.begin(), built_program("zqbmp"));
    return run_program({.args = args});
}

bool has_line(const std::string& out, const std::string& line) {
    return out.find(line + "\n") != std::string::npos;
}

// A finding: how its line starts (what it is about and the verdict), then
// the figures that line holds, in any order.
using finding = std::vector<std::string>;

bool has_finding(const std::string& out, const finding& f) {
    for (size_t at = 0; at < out.size();) {
        const size_t end = std::min(out.find('\n', at), out.size());
        const std::string line = out.substr(at, end - at);
        at = end + 1;
        if (line.rfind(f[0], 0) != 0) continue;
        if (std::all_of(f.begin() + 1, f.end(),
                        [&](const std::string& x) { return line.find(x) != std::string::npos; }))
            return true;
    }
    return false;
}

struct check_case {
    const char* name;
    const char* file;            // replaced in the media; null: none
    std::vector<uint8_t> bytes;  // its new content; empty: removed (or emptied, below)
    int status;
    std::vector<finding> findings;       // each must be printed
    std::vector<std::string> options{};  // after the media; default: --screen 800x480x32
    std::vector<finding> absent{};       // findings that must not be printed
    bool emptied = false;                // the file left there with no bytes
};

// A 32-bit picture: a 124-byte information header and compression 0 (as
// image editors save one), or its pixels' fourth bytes given.
std::vector<uint8_t> picture32(const std::vector<uint8_t>& alpha, uint32_t header_size) {
    bmp_fields f;
    f.width = static_cast<int32_t>(alpha.size());
    f.bit_count = 32;
    f.header_size = header_size;
    for (uint8_t a : alpha) f.pixels.insert(f.pixels.end(), {0x10, 0x20, 0x30, a});
    return bmp_build(f);
}

// The generated font with its space left out: every glyph one cell early.
std::vector<uint8_t> font_without_space() {
    const std::string file =
        read_text_file(std::string(ZQ_MEDIA_DIR) + "/" + "inconsolata_20px_ffffff.bmp");
    std::vector<uint8_t> bytes(file.begin(), file.end());
    const uint32_t offset = bytes[10] | (bytes[11] << 8) | (bytes[12] << 16);
    const int width = bytes[18] | (bytes[19] << 8);   // 100, 8 bits a pixel: rows of 100 bytes
    const int height = bytes[22] | (bytes[23] << 8);  // 220, bottom-up
    const int cw = width / 10;
    const int ch = height / 10;
    const std::vector<uint8_t> old = bytes;
    auto at = [&](int cell, int x, int y) {  // byte of pixel (x, y) of a cell
        return offset + static_cast<size_t>(height - 1 - ((cell / 10) * ch + y)) * width +
               (cell % 10) * cw + x;
    };
    for (int cell = 0; cell < 100; ++cell) {
        for (int y = 0; y < ch; ++y) {
            for (int x = 0; x < cw; ++x)
                bytes[at(cell, x, y)] = old[at(cell < 99 ? cell + 1 : 0, x, y)];
        }
    }
    return bytes;
}

std::vector<uint8_t> truncated(std::vector<uint8_t> bytes, size_t size) {
    bytes.resize(size);
    return bytes;
}

// A ramp of one channel (red at 16, green at 8), 256 colours.
std::vector<uint8_t> ramp(int channel) {
    return bmp_rgb(256, 2, [=](int x, int) { return static_cast<uint32_t>(x) << channel; });
}

// Where the frames are drawn, as the splash's facts give it.
const std::string FROM_ROW = "from row " + std::to_string(FRAME_Y);

// Stands for an update tree of one over-long file name, made for each case.
const char* const CHECK_TREE = "TREE";

const char* const FONT = "inconsolata_20px_ffffff.bmp";

// clang-format off
const check_case CHECKS[] = {
    {"generated", nullptr, {}, 0,
     {{"inconsolata_20px_ffffff.bmp: loads", "100 x 220", "8 bits"}, {"font:", "10 x 10 cells", "10 x 22"},
      {"menu:", "264 of 480 rows"}, {"update:", "16 progress lines fit"},
      {"splash: zqtitle.bmp covers the screen"}, {"splash: zqani03.bmp", FROM_ROW + " fits"},
      {"result: both programs would start", "0 warnings"}, {"summary:", "6 files", "0 warnings", "0 errors"}}},
    {"missing_frame", "zqani02.bmp", {}, 1,
     {{"zqani02.bmp: does not load", "No such file"}, {"result: zqanimation would not start", "zqani02.bmp"}}},
    {"font_not_divisible", FONT, picture(105, 223), 1,
     {{"font:", "10 x 10 cells of 10 x 22"}, {"font: error", "105 x 223", "not a 10 x 10 grid"},
      {"result: both programs would start, but what they show is wrong"}}},
    {"font_blank", FONT, bmp_rgb(100, 220, [](int, int) { return 0u; }), 1,
     {{"font: error: 62 glyphs that the programs' texts use are blank", "'%' (37)", "..."}}, {},
     {{"font: warning"}}},
    {"truncated", "zqtitle.bmp", truncated(picture(800, 480), 54 + 2400 * 100), 1,
     {{"zqtitle.bmp: error: the file ends after 240054 bytes", "rows 0 to 379 of its 480"}}},
    {"png_renamed", "zqtitle.bmp", {0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 13}, 1,
     {{"zqtitle.bmp: does not load: a PNG picture, not a BMP"}}},
    {"extra_frame", "zqani04.bmp", picture(8, 8), 0,
     {{"zqani04.bmp: warning: not one of the six files the programs load"}}},
    {"wrong_case", "ZQTITLE.BMP", picture(8, 8), 0,
     {{"ZQTITLE.BMP: warning: the programs load zqtitle.bmp"}}},
    {"menu_too_tall", nullptr, {}, 1,
     {{"menu: error: the banner and the nine items need 264 rows, the screen has 200"}},
     {"--screen", "800x200x32"}},
    // The background is redrawn under every frame: frames of other sizes leave nothing behind.
    {"frame_too_tall", "zqani01.bmp", picture(800, 480 - FRAME_Y + 30), 0,
     {{"splash: warning: zqani01.bmp", FROM_ROW + ": 30 rows at the bottom", "cut off"},
      {"result: both programs would start", "1 warnings"}}, {},
     {{"splash: warning: zqani01.bmp is not the size"}}},
    {"screen_above_frames", nullptr, {}, 1,
     {{"splash: warning: zqani00.bmp", FROM_ROW.substr(5), "never seen"}},
     {"--screen", "800x" + std::to_string(FRAME_Y - 10) + "x32"}},
    {"empty_file", "zqani03.bmp", {}, 1, {{"zqani03.bmp: does not load", "empty (0 bytes)"}}, {}, {}, true},
    {"long_header_32", "zqtitle.bmp", picture32({255, 255}, 124), 1,
     {{"zqtitle.bmp: does not load", "124-byte information header", "save it with the 40-byte header"}}},
    {"alpha", "zqani00.bmp", picture32({255, 0, 128, 255}, 40), 0,
     {{"zqani00.bmp: warning", "2 of its 4 pixels", "transparent"}}},
    {"unused_fourth_byte", "zqani00.bmp", picture32({0, 0, 0, 0}, 40), 0, {}, {},
     {{"zqani00.bmp: warning"}}},
    {"font_without_space", FONT, font_without_space(), 1,
     {{"font: error: the glyphs do not look like the characters 32 to 126",
       "the space (the first cell) is not empty", "one cell off"}}},
    {"colour_loss", "zqtitle.bmp", ramp(16), 0,
     {{"zqtitle.bmp: warning: at 16 bits", "256 colours become 32", "columns 0 to 255, rows 0 to 1"}},
     {"--screen", "800x480x16"}},
    // Ink to ground in a few large steps, as an anti-aliased edge: no band.
    {"edge", "zqtitle.bmp",
     bmp_rgb(12, 2, [](int x, int) { return 0x010101u * std::array<uint32_t, 12>{255, 254, 192, 115, 38, 1, 0, 11, 139, 206, 225, 255}[x]; }),
     0, {}, {"--screen", "800x480x16"}, {{"zqtitle.bmp: warning"}}},
    // 5-6-5 keeps 64 greens, 5-5-5 keeps 32.
    {"green_at_565", "zqtitle.bmp", ramp(8), 0,
     {{"zqtitle.bmp: warning: at 16 bits", "256 colours become 64"}}, {"--screen", "800x480x16"}},
    {"green_at_555", "zqtitle.bmp", ramp(8), 0,
     {{"screen: red at bits 0-4, green at 5-9, blue at 10-14"}, {"screen:", "green keeps 5 bits"},
      {"zqtitle.bmp: warning: at 16 bits", "256 colours become 32"}},
     {"--screen", "800x480x16", "--order", "BGR555"}},
    {"countdown_wraps", nullptr, {}, 0,
     {{"countdown: warning", "56 characters", "560 columns", "the screen has 500", "wraps"}},
     {"--screen", "500x480x32"}},
    {"strict", nullptr, {}, 1,
     {{"summary:", "6 warnings", "(--strict: warnings fail)"}}, {"--screen", "500x480x32", "--strict"}},
    {"tree", nullptr, {}, 0,
     {{"update: warning: the longest progress line for TREE", "107 characters", "1070 columns", "wraps"}},
     {"--screen", "800x480x32", "--tree", CHECK_TREE}},
    {"os2_header", "zqtitle.bmp", bmp_build({.header_size = 12, .pixels = std::vector<uint8_t>(4)}), 1,
     {{"zqtitle.bmp: does not load", "OS/2"}, {"result: zqanimation would not start", "zqtitle.bmp"}}},
    {"missing_font", FONT, {}, 1,
     {{"result: zqrecovery would not start", "inconsolata_20px_ffffff.bmp does not load"}}},
};
// clang-format on

void PrintTo(const check_case& c, std::ostream* out) {
    *out << c.name;
}

class ZqbmpCheck : public testing::TestWithParam<check_case> {};

TEST_P(ZqbmpCheck, TellsWhatTheDeviceWouldMakeOfTheMedia) {
    const check_case& c = GetParam();
    const std::string dir = media_copy(c.name);
    if (c.file != nullptr && c.bytes.empty()) unlink((dir + "/" + c.file).c_str());
    if (c.file != nullptr && (!c.bytes.empty() || c.emptied))
        write_bytes(dir + "/" + c.file, c.bytes);
    const std::string tree = scratch_dir(std::string(c.name) + "-tree");
    make_dirs(tree + "/system/app");
    write_text_file(tree + "/system/app/" + std::string(75, 'n') + ".apk", "x");
    auto with_tree = [&](std::string text) {
        const size_t at = text.find(CHECK_TREE);
        return at == std::string::npos ? text : text.replace(at, strlen(CHECK_TREE), tree);
    };
    std::vector<std::string> args = {"check", dir};
    if (c.options.empty()) args.insert(args.end(), {"--screen", "800x480x32"});
    for (const std::string& option : c.options) args.push_back(with_tree(option));
    const program_result r = zqbmp(args);
    EXPECT_EQ(r.exit_status, c.status) << r.out;
    for (finding f : c.findings) {
        f[0] = with_tree(f[0]);
        EXPECT_TRUE(has_finding(r.out, f)) << testing::PrintToString(f) << "\n" << r.out;
    }
    for (const finding& f : c.absent) EXPECT_FALSE(has_finding(r.out, f)) << f[0];
    if (c.status == 0) {
        EXPECT_EQ(r.out.find("does not load"), std::string::npos) << r.out;
    }
    remove_tree(dir);
    remove_tree(tree);
}

INSTANTIATE_TEST_SUITE_P(MediaSets, ZqbmpCheck, testing::ValuesIn(CHECKS),
                         [](const auto& c) { return std::string(c.param.name); });

uint32_t be32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && at + i < bytes.size(); ++i)
        v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
    return v;
}

// A PNG's width and height, or {0, 0} when it is not one.
std::pair<int, int> png_size(const std::string& bytes) {
    if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return {0, 0};
    return {be32(bytes, 16), be32(bytes, 20)};
}

// The RGB bytes of a still PNG zqbmp wrote (8-bit RGB, rows filtered None or
// Sub, compressed or, where zqbmp has no zlib, in stored blocks); empty when
// it cannot be read so.
std::vector<uint8_t> png_rgb(const std::string& png) {
    const auto [w, h] = png_size(png);
    std::string stream;
    for (size_t at = 8; at + 12 <= png.size(); at += 12 + be32(png, at)) {
        if (png.compare(at + 4, 4, "IDAT") == 0) stream.append(png, at + 8, be32(png, at));
    }
    const size_t row = static_cast<size_t>(w) * 3;
    std::vector<uint8_t> raw(static_cast<size_t>(h) * (row + 1));
#ifdef ZQBMP_COMPRESSED
    uLongf size = raw.size();
    if (uncompress(raw.data(), &size, reinterpret_cast<const Bytef*>(stream.data()),
                   stream.size()) != Z_OK)
        return {};
#else
    size_t size = 0;
    size_t at = 2;  // past the header: each block's final flag, length, its complement, bytes
    while (at + 5 <= stream.size() && size < raw.size()) {
        const size_t n = static_cast<uint8_t>(stream[at + 1]) | static_cast<uint8_t>(stream[at + 2])
                                                                    << 8;
        if (size + n > raw.size() || at + 5 + n > stream.size()) return {};
        memcpy(&raw[size], &stream[at + 5], n);
        size += n;
        at += 5 + n;
    }
#endif
    if (size != raw.size()) return {};
    std::vector<uint8_t> rgb(static_cast<size_t>(h) * row);
    for (size_t y = 0; y < static_cast<size_t>(h); ++y) {
        const uint8_t* in = &raw[y * (row + 1)];
        uint8_t* out = &rgb[y * row];
        for (size_t i = 0; i < row; ++i) {
            out[i] = static_cast<uint8_t>(in[1 + i] + (in[0] == 1 && i >= 3 ? out[i - 3] : 0));
        }
    }
    return rgb;
}

TEST(ZqbmpPreview, DrawsEveryScreenTheDeviceShows) {
    const std::string top = scratch_dir("preview");
    const std::string out = top + "/made/for/it";  // created with its parents
    const program_result r = zqbmp({"preview", ZQ_MEDIA_DIR, "--screen", "640x400x16", out});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    size_t bytes = 0;
    for (const char* name :
         {"splash-frame0.png", "splash-frame1.png", "splash-frame2.png", "splash-frame3.png",
          "splash.png", "countdown.png", "menu.png", "update.png"}) {
        EXPECT_TRUE(has_line(r.out, out + "/" + name)) << r.out;
        const std::string png = read_text_file(out + "/" + name);
        EXPECT_EQ(png_size(png), (std::pair<int, int>{640, 400})) << name;
        bytes += png.size();
    }
#ifdef ZQBMP_COMPRESSED
    EXPECT_LT(bytes, 640u * 400 * 3) << "eight pictures in less than one stored one";
#endif
    const std::string animated = read_text_file(out + "/splash.png");
    EXPECT_NE(animated.find("acTL"), std::string::npos) << "an animated PNG";
    EXPECT_NE(read_text_file(out + "/menu.png"), read_text_file(out + "/countdown.png"));
    EXPECT_NE(read_text_file(out + "/update.png"), read_text_file(out + "/menu.png"));

    // Without the font, what needs it is left out, the status says so, and
    // the pictures an earlier run left there are gone, not passed off as new.
    const std::string media = media_copy("preview-no-font");
    unlink((media + "/inconsolata_20px_ffffff.bmp").c_str());
    const program_result broken = zqbmp({"preview", media, "--screen", "640x400x32", out});
    EXPECT_EQ(broken.exit_status, 1);
    EXPECT_TRUE(has_line(broken.out,
                         "countdown, menu and update: not drawn: inconsolata_20px_ffffff.bmp "
                         "does not load"))
        << broken.out;
    EXPECT_EQ(access((out + "/menu.png").c_str(), F_OK), -1);
    EXPECT_EQ(access((out + "/countdown.png").c_str(), F_OK), -1);
    EXPECT_EQ(access((out + "/update.png").c_str(), F_OK), -1);
    EXPECT_EQ(access((out + "/splash-frame0.png").c_str(), F_OK), 0);
    EXPECT_EQ(access((out + "/splash.png.part").c_str(), F_OK), -1);

    // A folder that cannot be made is named.
    write_text_file(top + "/file", "");
    const program_result blocked =
        zqbmp({"preview", ZQ_MEDIA_DIR, "--screen", "640x400x32", top + "/file/sub"});
    EXPECT_EQ(blocked.exit_status, 3);
    EXPECT_EQ(blocked.err, "zqbmp: " + top + "/file/sub: cannot be made: Not a directory\n");
    remove_tree(top);
    remove_tree(media);
}

// Padded rows, a panned screen and other byte orders change where the
// programs write, not what the display shows; on a 16-bit screen each channel
// is read from where its layout keeps it. Every preview is the plain 32-bit
// screen's, cut to the bits the screen keeps, and check says what changes.
TEST(ZqbmpPreview, EveryScreenShowsThePlainScreenCutToItsBits) {
    const std::string plain = scratch_dir("plain");
    ASSERT_EQ(zqbmp({"preview", ZQ_MEDIA_DIR, "--screen", "320x270x32", plain}).exit_status, 0);
    const struct {
        std::vector<std::string> geometry;  // after --screen
        uint8_t kept[3];
    } screens[] = {
        {{"320x270x32", "--pitch", "1300"}, {0xFF, 0xFF, 0xFF}},
        {{"320x270x32", "--offset", "0,270"}, {0xFF, 0xFF, 0xFF}},
        {{"320x270x32", "--order", "RGBX"}, {0xFF, 0xFF, 0xFF}},
        {{"320x270x32", "--order", "XBGR", "--pitch", "1344", "--offset", "8,270"},
         {0xFF, 0xFF, 0xFF}},
        {{"320x270x16"}, {0xF8, 0xFC, 0xF8}},
        {{"320x270x16", "--order", "BGR565", "--pitch", "700"}, {0xF8, 0xFC, 0xF8}},
        {{"320x270x16", "--order", "RGB555"}, {0xF8, 0xF8, 0xF8}},
        {{"320x270x16", "--order", "BGR555"}, {0xF8, 0xF8, 0xF8}},
    };
    for (const auto& screen : screens) {
        const std::string out = scratch_dir("geometry");
        std::vector<std::string> args = {"preview", ZQ_MEDIA_DIR, "--screen"};
        args.insert(args.end(), screen.geometry.begin(), screen.geometry.end());
        args.push_back(out);
        ASSERT_EQ(zqbmp(args).exit_status, 0);
        for (const char* name : {"splash-frame1.png", "menu.png"}) {
            std::vector<uint8_t> want = png_rgb(read_text_file(plain + "/" + name));
            for (size_t i = 0; i < want.size(); ++i) want[i] &= screen.kept[i % 3];
            const std::vector<uint8_t> seen = png_rgb(read_text_file(out + "/" + name));
            EXPECT_FALSE(seen.empty()) << name;
            EXPECT_TRUE(seen == want) << name << " " << testing::PrintToString(screen.geometry);
        }
        args = {"check", ZQ_MEDIA_DIR, "--screen"};
        args.insert(args.end(), screen.geometry.begin(), screen.geometry.end());
        const program_result check = zqbmp(args);
        EXPECT_EQ(check.exit_status, 0);
        const bool lossless = screen.kept[1] != 0xF8;
        if (screen.geometry.size() > 1) {
            EXPECT_TRUE(has_finding(
                check.out, {"screen: the programs draw where the display shows",
                            lossless ? "the same as on a plain screen" : "green keeps 5 bits"}))
                << check.out;
        }
        remove_tree(out);
    }
    remove_tree(plain);
}

// A mistake in the screen's description is named, with status 2.
TEST(ZqbmpPreview, ScreenMistakesSayWhatIsWrong) {
    const struct {
        std::vector<std::string> options;
        const char* message;
    } cases[] = {
        {{"--screen", "1024x600"}, "zqbmp: --screen 1024x600: give WIDTHxHEIGHTxBPP"},
        {{"--screen", "640x400x32", "--pitch", "wide"}, "zqbmp: --pitch wide: not a number"},
        {{"--screen", "640x400x32", "--offset", "5"}, "zqbmp: --offset 5: not X,Y in pixels"},
        {{"--screen", "640x400x32", "--order", "RGB"}, "zqbmp: --order RGB: give the pixel's"},
        {{"--screen", "640x400x24", "--order", "RGR"}, "zqbmp: --order RGR: give the pixel's"},
        {{"--screen", "640x400x16", "--order", "RGBX"}, "zqbmp: --order RGBX: give the pixel's"},
        {{"--screen", "640x400x32", "--stride", "9"}, "zqbmp: --stride: not an option of this"},
        {{"--screen", "640x400x32", "--pitch", "4294970624"}, "zqbmp: --pitch 4294970624: not a"},
        {{"--screen", "99999999999x400x32"}, "zqbmp: --screen 99999999999x400x32: give"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"check", ZQ_MEDIA_DIR};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const program_result r = zqbmp(args);
        EXPECT_EQ(r.exit_status, 2) << c.message;
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
    }
}

// Every command keeps the tool's conventions: its help on standard output
// with status 0, usage errors (2) and unreadable inputs (3) on standard
// error, options anywhere and as --opt=value, a full disk reported.
TEST(ZqbmpCommandLine, EveryCommandKeepsTheConventions) {
    const std::string bmp = std::string(ZQ_MEDIA_DIR) + "/zqtitle.bmp";
    const std::string tree = scratch_dir("cli-tree");
    make_dirs(tree + "/system");
    write_text_file(tree + "/system/a", "a");
    const std::string out = scratch_dir("cli-out");
    const struct {
        std::vector<std::string> works;     // a run that succeeds
        std::vector<std::string> too_many;  // one operand too many
        std::vector<std::string> missing;   // an input that is not there
        std::vector<std::string> full;      // an output to a full disk (default: works')
    } commands[] = {
        {{"info", bmp}, {}, {"info", "/nonexistent.bmp"}},
        {{"ppm", bmp, out + "/a.ppm"},
         {"ppm", bmp, out + "/a.ppm", "x"},
         {"ppm", "/none", "x"},
         {"ppm", bmp, "/dev/full"}},
        {{"check", "--screen=800x480x32", ZQ_MEDIA_DIR},
         {"check", ZQ_MEDIA_DIR, "x", "--screen", "800x480x32"},
         {"check", "/nonexistent", "--screen", "800x480x32"}},
        {{"preview", ZQ_MEDIA_DIR, out + "/pv", "--screen", "320x240x16"},
         {"preview", ZQ_MEDIA_DIR, out, "x", "--screen", "320x240x16"},
         {"preview", "/nonexistent", out, "--screen", "320x240x16"}},
        {{"update-check", "--item=1", tree},
         {"update-check", tree, tree},
         {"update-check", "/nonexistent"}},
        {{"update-seal", tree}, {"update-seal", tree, tree}, {"update-seal", "/nonexistent"}},
    };
    for (const auto& c : commands) {
        const std::string& name = c.works[0];
        SCOPED_TRACE(name);
        const program_result help = zqbmp({name, "--help"});
        EXPECT_EQ(help.exit_status, 0);
        EXPECT_EQ(help.out.rfind("usage: zqbmp " + name + " ", 0), 0u) << help.out;
        EXPECT_NE(help.out.find("  3  an input could not be read"), std::string::npos);
        EXPECT_EQ(help.err, "");
        const program_result works = zqbmp(c.works);
        EXPECT_EQ(works.exit_status, 0) << works.out << works.err;
        EXPECT_EQ(works.err, "");
        for (const auto& wrong : {c.too_many, std::vector<std::string>{name, "--bogus"}}) {
            if (wrong.empty()) continue;
            const program_result r = zqbmp(wrong);
            EXPECT_EQ(r.exit_status, 2) << r.err;
            EXPECT_NE(r.err.find("usage: zqbmp " + name + " "), std::string::npos) << r.err;
            EXPECT_EQ(r.out, "");
        }
        const program_result missing = zqbmp(c.missing);
        EXPECT_EQ(missing.exit_status, 3) << missing.out << missing.err;
        EXPECT_EQ(missing.err.rfind("zqbmp: /none", 0), 0u) << missing.err;
        // An output that cannot be written fails the run.
        std::vector<std::string> args = c.full.empty() ? c.works : c.full;
        args.insert(args.begin(), built_program("zqbmp"));
        const program_result full =
            run_program({.args = args, .stdout_path = c.full.empty() ? "/dev/full" : nullptr});
        EXPECT_EQ(full.exit_status, 3) << full.err;
        EXPECT_NE(full.err.find(c.full.empty() ? "zqbmp: standard output: " : "/dev/full: "),
                  std::string::npos)
            << full.err;
    }
    for (const auto& tool : {std::vector<std::string>{"--help"}, {"--version"}}) {
        const program_result r = zqbmp(tool);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_NE(r.out, "");
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(zqbmp({}).exit_status, 2);
    EXPECT_EQ(zqbmp({"bogus"}).exit_status, 2);
    // The README holds the same exit table.
    const std::string readme =
        read_text_file(std::string(ZQ_SOURCE_DIR) + "/integrator/zqbmp/README.md");
    const std::string usage = zqbmp({"--help"}).out;
    for (const char* status : {"| 0 | clean |", "| 1 | findings |", "| 2 | usage error |"}) {
        EXPECT_NE(readme.find(status), std::string::npos) << status;
    }
    EXPECT_NE(usage.find("  2  usage error\n"), std::string::npos);
    remove_tree(tree);
    remove_tree(out);
}

// The shipped media pass --strict on every depth and layout of the screen
// they are made for: an anti-aliased edge's greys, merged at 16 bits, are no band.
TEST(ZqbmpCheck, TheShippedMediaPassStrictOnEveryLayoutOfTheirScreen) {
    for (const char* layout :
         {"16 --order RGB565", "16 --order BGR565", "16 --order RGB555", "16 --order BGR555",
          "24 --order BGR", "24 --order RGB", "32 --order BGRX", "32 --order XBGR"}) {
        const std::string depth(layout, 2);
        const program_result r = zqbmp({"check", ZQ_MEDIA_DIR, "--screen", "800x480x" + depth,
                                        "--order", std::string(layout + 11), "--strict"});
        EXPECT_EQ(r.exit_status, 0) << layout << "\n" << r.out;
    }
}

TEST(ZqbmpUpdateCheck, ListsWhatWouldBeInstalledAndWhatSkipped) {
    const std::string tree = scratch_dir("tree");
    make_dirs(tree + "/system/app");
    write_text_file(tree + "/system/app/x.apk", "12345");
    make_dirs(tree + "/data");
    write_text_file(tree + "/data/notes.txt", "abc");
    const program_result clean = zqbmp({"update-check", tree, "--item", "1"});
    EXPECT_EQ(clean.exit_status, 0) << clean.out;
    for (const std::string& line :
         {"tree " + tree + " as " + MENU_ITEMS[3] + " (" + MENU_ITEMS[2] + ")",
          std::string("dir  /system/app"), std::string("file /system/app/x.apk 5 bytes"),
          std::string("file /data/notes.txt 3 bytes"),
          std::string("total /system: 1 files, 5 bytes"),
          std::string("total /data: 1 files, 3 bytes"), std::string("skipped: 0")}) {
        EXPECT_TRUE(has_line(clean.out, line)) << line << "\n" << clean.out;
    }

    ASSERT_EQ(symlink("app/x.apk", (tree + "/system/link").c_str()), 0);
    ASSERT_EQ(mkfifo((tree + "/system/fifo").c_str(), 0644), 0);
    make_dirs(tree + "/boot");
    std::string deep = tree + "/system";
    for (int i = 0; i < 4; ++i) deep += "/" + std::string(250, 'a' + i);
    make_dirs(deep);
    write_text_file(deep + "/x", "x");
    const program_result r = zqbmp({"update-check", tree});  // as the longest root, item 4
    EXPECT_EQ(r.exit_status, 1) << r.out;
    const std::string root = "/sdcard/sd/zq/update00";
    for (const std::string& line : std::vector<std::string>{
             "skip " + root + "/boot: only system and data are taken at the top of the tree",
             "skip " + root + "/system/link: a symbolic link",
             "skip " + root + "/system/fifo: a FIFO", "skipped: 4"}) {
        EXPECT_TRUE(has_line(r.out, line)) << line << "\n" << r.out;
    }
    EXPECT_NE(r.out.find(": the path on the device is over 1023 bytes\n"), std::string::npos)
        << r.out;
    const std::string empty = scratch_dir("empty-tree");
    const program_result nothing = zqbmp({"update-check", empty});
    EXPECT_EQ(nothing.exit_status, 1);
    EXPECT_TRUE(
        has_line(nothing.out, "nothing to install: the update tree holds neither system nor data"))
        << nothing.out;
    remove_tree(empty);
    const program_result typo = zqbmp({"update-check", tree, "--item", "1x"});
    EXPECT_EQ(typo.exit_status, 2);
    EXPECT_EQ(typo.err.rfind("zqbmp: --item 1x: not a menu item from 1 to 6\n", 0), 0u);
    remove_tree(tree);
}

// What a FAT card or the device would make of a tree other than the tree
// itself: each is a warning, which fails the run with --strict.
TEST(ZqbmpUpdateCheck, WarnsOfWhatTheCardOrTheDeviceWouldChange) {
    const struct {
        const char* name;
        std::function<void(const std::string&)> make;
        std::string warning;
        int user = 0;
    } cases[] = {
        {"system_file", [](const std::string& t) { write_text_file(t + "/system", "not a dir"); },
         "warning: /system is a file in the tree: the device cannot put it in place of its "
         "/system directory"},
        {"case",
         [](const std::string& t) {
             write_text_file(t + "/system/app/A.apk", "1");
             write_text_file(t + "/system/app/a.apk", "2");
         },
         "warning: /system/app: A.apk and a.apk differ only in case: a FAT card keeps one of them"},
        {"trailing dot",
         [](const std::string& t) {
             write_text_file(t + "/system/app/trail", "1");
             write_text_file(t + "/system/app/trail.", "2");
         },
         "warning: /system/app: trail and trail. are one name on a FAT card, which drops "
         "trailing dots and spaces: it keeps one of them"},
        {"case beyond ASCII",
         [](const std::string& t) {
             write_text_file(t + "/system/app/\xc3\x9cn\xc3\xaf", "1");  // Ünï
             write_text_file(t + "/system/app/\xc3\xbcn\xc3\xaf", "2");  // ünï
         },
         "warning: /system/app: \xc3\x9cn\xc3\xaf and \xc3\xbcn\xc3\xaf differ only in case: a FAT "
         "card keeps one of them"},
        {"character", [](const std::string& t) { write_text_file(t + "/system/a?b", "x"); },
         "warning: /system/a?b: a FAT card cannot hold the character '?' in a name"},
        {"clutter", [](const std::string& t) { write_text_file(t + "/data/._x.apk", "x"); },
         "warning: /data/._x.apk: a desktop system's clutter: it would be installed too"},
        {"clutter_mac", [](const std::string& t) { write_text_file(t + "/system/.DS_Store", ""); },
         "warning: /system/.DS_Store: a desktop system's clutter: it would be installed too"},
        {"four_gib",
         [](const std::string& t) {
             write_text_file(t + "/system/big.img", "");
             ASSERT_EQ(truncate((t + "/system/big.img").c_str(), 4LL << 30), 0);
         },
         "warning: /system/big.img: 4294967296 bytes: a FAT32 card holds files below 4 GiB"},
        {"link",
         [](const std::string& t) {
             ASSERT_EQ(symlink("/etc/passwd", (t + "/system/l").c_str()), 0);
         },
         "warning: /system/l: a FAT card holds no symbolic links: a copy of the tree puts the file "
         "it leads to there, or nothing"},
        {"unreadable",
         [](const std::string& t) {
             write_text_file(t + "/system/secret", "x");
             chmod((t + "/system/secret").c_str(), 0);
         },
         "warning: /system/secret cannot be read: Permission denied: the device's copy would fail",
         1000},
    };
    for (const auto& c : cases) {
        const std::string tree = scratch_dir(std::string("warn-") + c.name);
        if (strcmp(c.name, "system_file") != 0) make_dirs(tree + "/system/app");
        make_dirs(tree + "/data");
        write_text_file(tree + "/data/ok.txt", "ok");
        chmod(tree.c_str(), 0755);
        c.make(tree);
        const std::vector<std::string> args = {built_program("zqbmp"), "update-check", tree};
        const bool skipped = strcmp(c.name, "link") == 0;  // a skip is a finding anyway
        EXPECT_EQ(run_program({.args = args, .user = c.user}).exit_status, skipped ? 1 : 0)
            << c.name;
        std::vector<std::string> strict = args;
        strict.emplace_back("--strict");
        program_result r = run_program({.args = strict, .user = c.user});
        EXPECT_EQ(r.exit_status, 1) << c.name << "\n" << r.out << r.err;
        EXPECT_TRUE(has_line(r.out, c.warning)) << c.name << "\n" << r.out;
        EXPECT_TRUE(has_line(r.out, "warnings: 1")) << c.name << "\n" << r.out;
        remove_tree(tree);
    }
}

// The lines of a finding report, as the desk's Python reads them from the
// JSON document in json_file: each finding's text, a line each, with the
// lines' escapes (a control character as \xHH, a backslash doubled).
std::string texts_of_json(const std::string& json_file) {
    const std::string script = json_file + ".py";
    write_text_file(script,
                    "import json, sys\n"
                    "for f in json.load(open(sys.argv[1]))['findings']:\n"
                    "    t = ''.join('\\\\x%02x' % ord(c) if ord(c) < 32 or ord(c) == 127 else\n"
                    "                '\\\\\\\\' if c == '\\\\' else c for c in f['text'])\n"
                    "    print(t)\n");
    FILE* parse =
        popen(("/usr/bin/python3 '" + script + "' '" + json_file + "' 2>&1").c_str(), "r");
    std::string out;
    for (int ch; parse != nullptr && (ch = fgetc(parse)) != EOF;) out += static_cast<char>(ch);
    if (parse != nullptr) (void)pclose(parse);
    unlink(script.c_str());
    return out;
}

// --format json and the lines come from the same findings: for info and
// check the lines are exactly the findings' texts, and the status is the same.
TEST(ZqbmpCommandLine, TheJsonDocumentAndTheLinesNeverDisagree) {
    const std::string media = media_copy("json-check");
    write_bytes(media + "/zqani01.bmp", picture32({255, 0, 128, 255}, 40));  // a warning
    unlink((media + "/zqani03.bmp").c_str());                                // an error
    const std::string json_file = scratch_dir("json-lines") + "/out.json";
    for (const auto& args : {std::vector<std::string>{"check", media, "--screen", "800x480x16"},
                             {"info", media + "/zqtitle.bmp", media + "/zqani03.bmp"}}) {
        SCOPED_TRACE(args[0]);
        const program_result lines = zqbmp(args);
        std::vector<std::string> json_args = args;
        json_args.emplace_back("--format=json");
        const program_result json = zqbmp(json_args);
        EXPECT_EQ(json.exit_status, lines.exit_status);
        EXPECT_EQ(lines.exit_status, args[0] == "check" ? 1 : 3);
        write_text_file(json_file, json.out);
        EXPECT_EQ(texts_of_json(json_file), lines.out);
        EXPECT_NE(json.out.find("\"status\": " + std::to_string(lines.exit_status)),
                  std::string::npos);
    }
    remove_tree(media);
}

// update-check --format json is one document a JSON parser reads, with
// stable keys; each name comes back byte for byte by the documented rule,
// and in the lines each finding stays one line.
TEST(ZqbmpUpdateCheck, TheJsonDocumentCarriesEveryNameByteForByte) {
    const std::string tree = scratch_dir("json");
    make_dirs(tree + "/system");
    // A backslash before "x41" comes back as itself, not as the byte 0x41.
    const std::vector<std::string> names = {"new\nline", "ctl\x01", "bad\xff", "back\\x41slash",
                                            "\xc3\x9cn\xc3\xaf"};
    for (const std::string& name : names) write_text_file(tree + "/system/" + name, "x");
    const program_result r = zqbmp({"update-check", tree, "--format=json"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    write_text_file(tree + ".json", r.out);
    // The desk's own Python (never through the build's emulator) parses it
    // and decodes each file's device_path: \\ to a backslash, \xHH to a byte.
    const std::string script =
        "import json, re, sys\n"
        "d = json.load(open(sys.argv[1]))\n"
        "assert set(d) == {'command', 'status', 'summary', 'findings'}, d.keys()\n"
        "for f in d['findings']:\n"
        "    assert {'subject', 'severity', 'code', 'figures', 'text'} <= set(f), f\n"
        "    assert len({'card_path', 'device_path'} & set(f)) == 1, f\n"
        "    if f['code'] != 'file': continue\n"
        "    raw = b''\n"
        "    for m in re.finditer(r'\\\\\\\\|\\\\x([0-9a-f]{2})|.', f['device_path'], re.S):\n"
        "        raw += (b'\\\\' if m.group(0) == '\\\\\\\\' else bytes([int(m.group(1), 16)])\n"
        "                if m.group(1) else m.group(0).encode())\n"
        "    print(raw.hex())\n";
    write_text_file(tree + ".py", script);
    FILE* parse =
        popen(("/usr/bin/python3 '" + tree + ".py' '" + tree + ".json' 2>&1").c_str(), "r");
    ASSERT_NE(parse, nullptr);
    std::string decoded;
    for (int ch; (ch = fgetc(parse)) != EOF;) decoded += static_cast<char>(ch);
    EXPECT_EQ(pclose(parse), 0) << decoded;
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    std::string expected;
    for (const std::string& name : sorted) {
        for (const unsigned char c : "/system/" + name) {
            char hex[3];
            (void)snprintf(hex, sizeof hex, "%02x", c);
            expected += hex;
        }
        expected += "\n";
    }
    EXPECT_EQ(decoded, expected);
    const program_result lines = zqbmp({"update-check", tree});
    EXPECT_TRUE(has_line(lines.out, "file /system/new\\x0aline 1 bytes")) << lines.out;
    EXPECT_TRUE(has_line(lines.out, "file /system/back\\\\x41slash 1 bytes")) << lines.out;
    remove_tree(tree);
    unlink((tree + ".json").c_str());
    unlink((tree + ".py").c_str());
}

// One directory of 60,000 names is checked in linear time (a quadratic
// check took 100 s natively); 22,000 long names overflow a FAT directory.
TEST(ZqbmpUpdateCheck, ALargeDirectoryIsCheckedAtOnceAndOneTooLargeForFatIsSaid) {
    const struct {
        int files;
        const char* format;  // of each name
        bool overflows;
    } cases[] = {{60000, "F%07d.TXT", false}, {22000, "a long name %05d", true}};
    for (const auto& c : cases) {
        const std::string tree = scratch_dir("large");
        make_dirs(tree + "/system/d");
        char name[64];
        for (int i = 0; i < c.files; ++i) {
            (void)snprintf(name, sizeof name, c.format, i);
            close(open((tree + "/system/d/" + name).c_str(), O_CREAT | O_WRONLY, 0644));
        }
        const auto start = std::chrono::steady_clock::now();
        const program_result r = zqbmp({"update-check", tree, "--strict"});
        const auto seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
        EXPECT_LT(seconds.count(), 60.0);
        EXPECT_EQ(r.exit_status, c.overflows ? 1 : 0) << r.err;
        EXPECT_TRUE(
            has_line(r.out, "total /system: " + std::to_string(c.files) + " files, 0 bytes"));
        EXPECT_EQ(has_line(r.out,
                           "warning: /system/d: its 22000 names take 66002 directory "
                           "entries: a FAT directory holds 65536"),
                  c.overflows)
            << r.out.substr(r.out.size() - 300);
        remove_tree(tree);
    }
}

// A sealed tree passes update-check and sha256sum -c; each way it can go
// wrong after the seal is a difference, and the card's verdict.
TEST(ZqbmpUpdateSeal, ASealedTreeChecksAndEachChangeAfterTheSealFails) {
    const std::string refused =
        "the card does not hold the tree its manifest lists: nothing "
        "installed, the device is unchanged.";
    const struct {
        const char* name;
        std::function<void(const std::string&)> change;
        std::string line;
    } cases[] = {
        {"untouched", [](const std::string&) {}, "checked against the card's manifest: 5 entries"},
        {"flipped", [](const std::string& t) { write_text_file(t + "/system/lib/a.so", "hellp"); },
         "error: /system/lib/a.so: its bytes are not the manifest's"},
        {"removed", [](const std::string& t) { unlink((t + "/data/b.txt").c_str()); },
         "error: /data/b.txt: in the manifest, not on the card"},
        {"desktop", [](const std::string& t) { write_text_file(t + "/system/._a.so", "x"); },
         "error: /system/._a.so: on the card, not in the manifest"},
        {"cut",
         [](const std::string& t) {
             const std::string m = read_text_file(t + "/zq-manifest");
             write_text_file(t + "/zq-manifest", m.substr(0, m.size() / 2));
         },
         "error: the card's manifest is damaged: cut short or changed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tree = scratch_dir(std::string("seal-") + c.name);
        make_dirs(tree + "/system/lib");
        make_dirs(tree + "/data");
        write_text_file(tree + "/system/lib/a.so", "hello");
        write_text_file(tree + "/data/b.txt", "");
        const program_result seal = zqbmp({"update-seal", tree});
        ASSERT_EQ(seal.exit_status, 0) << seal.out << seal.err;
        EXPECT_EQ(seal.out, "sealed " + tree + "/zq-manifest: 5 entries\n");
        // The desk's own sha256sum (never through the build's emulator).
        FILE* check = popen(
            ("cd '" + tree + "' && grep -E '^[0-9a-f]{64}  ' zq-manifest | sha256sum -c - 2>&1")
                .c_str(),
            "r");
        ASSERT_NE(check, nullptr);
        std::string sums;
        for (int ch; (ch = fgetc(check)) != EOF;) sums += static_cast<char>(ch);
        EXPECT_EQ(pclose(check), 0) << sums;
        EXPECT_EQ(sums, "data/b.txt: OK\nsystem/lib/a.so: OK\n");
        c.change(tree);
        const program_result r = zqbmp({"update-check", tree});
        EXPECT_EQ(r.exit_status, c.line[0] == 'e' ? 1 : 0) << r.out;
        EXPECT_TRUE(has_line(r.out, c.line)) << r.out;
        EXPECT_EQ(has_line(r.out, refused), c.line[0] == 'e') << r.out;
        remove_tree(tree);
    }
    // A name a FAT card cannot carry is refused, and no manifest is written.
    const std::string tree = scratch_dir("seal-refused");
    make_dirs(tree + "/system/app.");
    const program_result r = zqbmp({"update-seal", tree});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("/system/app.: a name a manifest or a FAT card cannot carry"),
              std::string::npos)
        << r.err;
    EXPECT_NE(access((tree + "/zq-manifest").c_str(), F_OK), 0);
    EXPECT_NE(access((tree + "/zq-manifest.new").c_str(), F_OK), 0);
    remove_tree(tree);
}

}  // namespace
