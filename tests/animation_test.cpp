// The boot animation: its threads on a mapped screen, and loading its pictures.
#include "animation.h"

#include <gtest/gtest.h>
#include <linux/kd.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "framebuffer.h"
#include "support/fake_framebuffer.h"
#include "support/mapped_screen.h"
#include "support/sandbox.h"
#include "support/shell_layout.h"
#include "support/test_paths.h"
#include "support/wait_until.h"

namespace {

const char* const MEDIA[] = {"zqtitle.bmp", "zqani00.bmp", "zqani01.bmp", "zqani02.bmp",
                             "zqani03.bmp"};
prepared_bitmap* const SLOTS[] = {&background, &animation0, &animation1, &animation2, &animation3};

void install_media() {
    make_dirs("/ZQ/media");
    for (const char* name : MEDIA) {
        write_text_file(std::string("/ZQ/media/") + name,
                        read_text_file(std::string(ZQ_MEDIA_DIR) + "/" + name));
    }
}

void free_pictures() {
    for (prepared_bitmap* slot : SLOTS) {
        free(slot->pixels);
        *slot = prepared_bitmap{};
    }
}

// True when the screen holds bitmap's visible part with its top-left at (0, y0).
bool shows(const mapped_screen& screen, const std::vector<uint8_t>& bytes,
           const prepared_bitmap& bitmap, int y0) {
    const screen_view v = screen.view_of(bytes);
    const int rows = std::min(bitmap.height, v.yres - y0);
    const size_t n = static_cast<size_t>(std::min(bitmap.width, v.xres)) * v.bytes_per_pixel;
    for (int r = 0; r < rows; ++r) {
        const uint8_t* on_screen =
            v.pixels + static_cast<size_t>(y0 + r) * v.xres * v.bytes_per_pixel;
        if (memcmp(on_screen, bitmap.pixels + static_cast<size_t>(r) * bitmap.stride, n) != 0) {
            return false;
        }
    }
    return true;
}

int frame_on(const mapped_screen& screen, const std::vector<uint8_t>& bytes) {
    const prepared_bitmap* frames[] = {&animation0, &animation1, &animation2, &animation3};
    for (int k = 0; k < 4; ++k) {
        if (shows(screen, bytes, *frames[k], 50)) return k;
    }
    return -1;
}

class AnimationThreads : public testing::TestWithParam<int> {};

// Runs the UI thread until `done` says so (or 20 s pass), sampling the screen
// every 20 ms; returns the frames seen, in order, and when each appeared.
template <typename Done>
std::vector<std::pair<int, double>> watch_frames(const mapped_screen& screen, Done done) {
    EXIT_RECOVERY = 0;
    testing::internal::CaptureStdout();
    pthread_t ui;
    EXPECT_EQ(pthread_create(&ui, nullptr, ui_thread_function, nullptr), 0);
    std::vector<std::pair<int, double>> seen;
    const double deadline = now_seconds() + 20;
    while (!done(seen) && now_seconds() < deadline) {
        usleep(20000);
        const int k = frame_on(screen, screen.snapshot());
        if (k >= 0 && (seen.empty() || seen.back().first != k)) seen.emplace_back(k, now_seconds());
    }
    EXIT_RECOVERY = 1;
    pthread_join(ui, nullptr);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("ui_thread_function() exit.\n"),
              std::string::npos);
    return seen;
}

TEST_P(AnimationThreads, LoopsTheFourFramesInOrderOverTheBackgroundTwiceASecond) {
    install_media();
    // Wider and taller than the background, so part of the screen stays black,
    // and holding what was drawn before: the UI thread clears it once.
    mapped_screen screen(832, 496, GetParam());
    screen.fill(0x5A);
    ASSERT_EQ(load_pictures(), 0);
    fake_framebuffer_pans = 0;
    const auto seen = watch_frames(screen, [](const auto& s) { return s.size() >= 7; });
    ASSERT_GE(seen.size(), 7u);
    EXPECT_GE(fake_framebuffer_pans, 7) << "the driver is told of every frame";
    for (size_t i = 1; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].first, (seen[i - 1].first + 1) % 4) << i;
    }
    // The frame period, 500 ms and the drawing, over six periods.
    const double period =
        (seen.back().second - seen[1].second) / static_cast<double>(seen.size() - 2);
    EXPECT_GT(period, 0.40);
    EXPECT_LT(period, 0.68);
    const std::vector<uint8_t> bytes = screen.snapshot();
    prepared_bitmap top = background;  // the background's rows above the frame
    top.height = 50;
    EXPECT_TRUE(shows(screen, bytes, top, 0));
    const screen_view v = screen.view_of(bytes);
    for (const auto& [x, y] : {std::pair{820, 490}, std::pair{810, 10}, std::pair{5, 485}}) {
        EXPECT_EQ(v.pixels[(static_cast<size_t>(y) * v.xres + x) * v.bytes_per_pixel], 0)
            << "the uncovered margin is black at " << x << "," << y;
    }
    free_pictures();
}

INSTANTIATE_TEST_SUITE_P(Depths, AnimationThreads, testing::Values(16, 32));

TEST(AnimationThreads, FramesLargerThanTheScreenAreCut) {
    install_media();
    mapped_screen screen(320, 120, 32);
    ASSERT_EQ(load_pictures(), 0);
    // Each frame's top-left 320 x 70 pixels from row 50, in the loop's order.
    const auto seen = watch_frames(screen, [](const auto& s) { return s.size() >= 5; });
    ASSERT_GE(seen.size(), 5u);
    for (size_t i = 1; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].first, (seen[i - 1].first + 1) % 4) << i;
    }
    free_pictures();
}

// The whole program with frame 2 missing: the pictures before it are loaded,
// then freed by the end sequence; the console stays in graphics mode.
TEST(AnimationPictures, MissingFrameStopsTheLoadAndThePicturesBeforeItAreFreed) {
    install_media();
    unlink("/ZQ/media/zqani02.bmp");
    fake_framebuffer_install(64, 64, 32);
    fake_console_install(KD_TEXT, 0);
    platform_command("start");  // the init command the end sequence runs
    putenv(const_cast<char*>(PLATFORM_PATH));
    const size_t heap = heap_in_use();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(zqanimation::main(1, nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bmp_open: No such file or directory\n");
    testing::internal::GetCapturedStdout();
    EXPECT_LT(heap_in_use(), heap + 64 * 1024) << "the pictures loaded are freed";
    EXPECT_NE(background.pixels, nullptr) << "the background was loaded";
    EXPECT_NE(animation1.pixels, nullptr) << "frame 1 was loaded";
    EXPECT_EQ(animation2.pixels, nullptr);
    EXPECT_EQ(animation3.pixels, nullptr);
    for (prepared_bitmap* slot : SLOTS) *slot = prepared_bitmap{};  // freed already
    // Graphics mode is left set, never put back.
    EXPECT_EQ(fake_console_modes_set, std::vector<int>{KD_GRAPHICS});
    EXPECT_EQ(fake_console_written(), "\033[?25l") << "the cursor is left hidden";
    fake_console_remove();
    fake_framebuffer_remove();
}

}  // namespace
