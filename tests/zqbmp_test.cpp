// zqbmp as an integrator runs it: check, preview and update-check on the
// media the build generates and on broken sets, reading what it prints.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

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

struct check_case {
    const char* name;
    const char* file;            // replaced in the media; null: none
    std::vector<uint8_t> bytes;  // its new content; empty: removed
    int status;
    std::vector<std::string> lines;  // each must be printed, as a whole line
};

const char* const FONT = "inconsolata_20px_ffffff.bmp";
const std::string NO_ANIMATION =
    "result: zqanimation would not start (it asks for \"start recovery\"): ";

// clang-format off
const check_case CHECKS[] = {
    {"generated", nullptr, {}, 0,
     {"inconsolata_20px_ffffff.bmp: loads: 100 x 220, 8 bits per pixel, compression 0",
      "font: 10 x 10 cells of 10 x 22 pixels", "menu: the banner and the nine items take 264 of 480 rows",
      "update: 16 progress lines fit below the header, 16 once progress has run off the bottom",
      "splash: zqtitle.bmp covers the screen", "splash: zqani03.bmp (800 x 215) from row 50 fits",
      "result: both programs would start; 0 warnings"}},
    {"missing_frame", "zqani02.bmp", {}, 1,
     {"zqani02.bmp: does not load: No such file or directory", NO_ANIMATION + "zqani02.bmp does not load"}},
    {"font_not_divisible", FONT, picture(105, 223), 0,
     {"font: 10 x 10 cells of 10 x 22 pixels",
      "font: warning: 105 x 223 is not a multiple of 10: 5 columns at the right and 3 rows at the bottom "
      "are never read",
      "result: both programs would start; 1 warnings"}},
    {"frame_too_tall", "zqani01.bmp", picture(800, 460), 0,
     {"splash: warning: zqani01.bmp (800 x 460) from row 50: 30 rows at the bottom and 0 columns at the "
      "right are cut off",
      "splash: warning: zqani01.bmp is not the size of zqani00.bmp: parts of the larger frames stay on "
      "screen under the smaller ones",
      "result: both programs would start; 2 warnings"}},
    {"os2_header", "zqtitle.bmp", bmp_build({.header_size = 12, .pixels = std::vector<uint8_t>(4)}), 1,
     {"zqtitle.bmp: does not load: information header shorter than 40 bytes (an old OS/2 header)",
      NO_ANIMATION + "zqtitle.bmp does not load"}},
    {"missing_font", FONT, {}, 1,
     {"result: zqrecovery would not start: inconsolata_20px_ffffff.bmp does not load"}},
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
    if (c.file != nullptr && !c.bytes.empty()) write_bytes(dir + "/" + c.file, c.bytes);
    const program_result r = zqbmp({"check", dir, "--screen", "800x480x32"});
    EXPECT_EQ(r.exit_status, c.status) << r.out;
    for (const std::string& line : c.lines)
        EXPECT_TRUE(has_line(r.out, line)) << line << "\n" << r.out;
    if (c.status == 0) {
        EXPECT_EQ(r.out.find("does not load"), std::string::npos) << r.out;
    }
    remove_tree(dir);
}

INSTANTIATE_TEST_SUITE_P(MediaSets, ZqbmpCheck, testing::ValuesIn(CHECKS),
                         [](const auto& c) { return std::string(c.param.name); });

// A PNG's width and height, or {0, 0} when it is not one.
std::pair<int, int> png_size(const std::string& bytes) {
    if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return {0, 0};
    auto be32 = [&](size_t at) {
        return (static_cast<uint8_t>(bytes[at]) << 24) |
               (static_cast<uint8_t>(bytes[at + 1]) << 16) |
               (static_cast<uint8_t>(bytes[at + 2]) << 8) | static_cast<uint8_t>(bytes[at + 3]);
    };
    return {be32(16), be32(20)};
}

TEST(ZqbmpPreview, DrawsEveryScreenTheDeviceShows) {
    const std::string top = scratch_dir("preview");
    const std::string out = top + "/made/for/it";  // created with its parents
    const program_result r = zqbmp({"preview", ZQ_MEDIA_DIR, "--screen", "640x400x16", out});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    size_t bytes = 0;
    for (const char* name : {"splash-frame0.png", "splash-frame1.png", "splash-frame2.png",
                             "splash-frame3.png", "splash.png", "countdown.png", "menu.png"}) {
        EXPECT_TRUE(has_line(r.out, out + "/" + name)) << r.out;
        const std::string png = read_text_file(out + "/" + name);
        EXPECT_EQ(png_size(png), (std::pair<int, int>{640, 400})) << name;
        bytes += png.size();
    }
#ifdef ZQBMP_COMPRESSED
    EXPECT_LT(bytes, 640u * 400 * 3) << "seven pictures in less than one stored one";
#endif
    const std::string animated = read_text_file(out + "/splash.png");
    EXPECT_NE(animated.find("acTL"), std::string::npos) << "an animated PNG";
    EXPECT_NE(read_text_file(out + "/menu.png"), read_text_file(out + "/countdown.png"));

    // Without the font, what needs it is left out, the status says so, and
    // the pictures an earlier run left there are gone, not passed off as new.
    const std::string media = media_copy("preview-no-font");
    unlink((media + "/inconsolata_20px_ffffff.bmp").c_str());
    const program_result broken = zqbmp({"preview", media, "--screen", "640x400x32", out});
    EXPECT_EQ(broken.exit_status, 1);
    EXPECT_TRUE(has_line(broken.out,
                         "countdown and menu: not drawn: inconsolata_20px_ffffff.bmp "
                         "does not load"))
        << broken.out;
    EXPECT_EQ(access((out + "/menu.png").c_str(), F_OK), -1);
    EXPECT_EQ(access((out + "/countdown.png").c_str(), F_OK), -1);
    EXPECT_EQ(access((out + "/splash-frame0.png").c_str(), F_OK), 0);
    EXPECT_EQ(access((out + "/splash.png.part").c_str(), F_OK), -1);

    // A folder that cannot be made is named.
    write_text_file(top + "/file", "");
    const program_result blocked =
        zqbmp({"preview", ZQ_MEDIA_DIR, "--screen", "640x400x32", top + "/file/sub"});
    EXPECT_EQ(blocked.exit_status, 1);
    EXPECT_EQ(blocked.err, top + "/file/sub: Not a directory\n");
    remove_tree(top);
    remove_tree(media);
}

// Padded rows, a panned screen and other byte orders change where the
// programs write, not what the display shows: the pictures are the plain
// screen's, byte for byte, and check says so.
TEST(ZqbmpPreview, ScreenGeometryChangesNothingTheDisplayShows) {
    const std::string plain = scratch_dir("plain");
    ASSERT_EQ(zqbmp({"preview", ZQ_MEDIA_DIR, "--screen", "640x400x32", plain}).exit_status, 0);
    const std::vector<std::vector<std::string>> geometries = {
        {"--pitch", "2600"},
        {"--offset", "0,400"},
        {"--order", "RGBX"},
        {"--order", "XBGR", "--pitch", "2688", "--offset", "8,400"},
    };
    for (const auto& geometry : geometries) {
        const std::string out = scratch_dir("geometry");
        std::vector<std::string> args = {"preview", ZQ_MEDIA_DIR, "--screen", "640x400x32"};
        args.insert(args.end(), geometry.begin(), geometry.end());
        args.push_back(out);
        const program_result r = zqbmp(args);
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        for (const char* name : {"splash-frame3.png", "countdown.png", "menu.png"}) {
            EXPECT_TRUE(read_text_file(out + "/" + name) == read_text_file(plain + "/" + name))
                << name << " with " << testing::PrintToString(geometry);
        }
        args = {"check", ZQ_MEDIA_DIR, "--screen", "640x400x32"};
        args.insert(args.end(), geometry.begin(), geometry.end());
        const program_result check = zqbmp(args);
        EXPECT_EQ(check.exit_status, 0);
        EXPECT_TRUE(has_line(check.out,
                             "screen: the programs draw where the display shows, in its byte "
                             "order: what it shows is the same as on a plain screen"))
            << check.out;
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
        {{"--screen", "640x400x32", "--stride", "9"}, "zqbmp: --stride: not a screen option"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"check", ZQ_MEDIA_DIR};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const program_result r = zqbmp(args);
        EXPECT_EQ(r.exit_status, 2) << c.message;
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
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
         {"tree " + tree + " as /sdcard/zq/update00 (INTERNAL SDCARD00)",
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
    remove_tree(tree);
}

// What a FAT card or the device would make of a tree other than the tree
// itself: each is a warning, and the status is 1.
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
        program_result r =
            run_program({.args = {built_program("zqbmp"), "update-check", tree}, .user = c.user});
        EXPECT_EQ(r.exit_status, 1) << c.name << "\n" << r.out << r.err;
        EXPECT_TRUE(has_line(r.out, c.warning)) << c.name << "\n" << r.out;
        EXPECT_TRUE(has_line(r.out, "warnings: 1")) << c.name << "\n" << r.out;
        remove_tree(tree);
    }
}

}  // namespace
