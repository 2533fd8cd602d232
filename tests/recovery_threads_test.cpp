// The recovery program's threads against a mapped screen and FIFO input devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/kd.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "console.h"
#include "events.h"
#include "framebuffer.h"
#include "recovery.h"
#include "recovery_facts.h"
#include "support/fake_framebuffer.h"
#include "support/fake_input.h"
#include "support/mapped_screen.h"
#include "support/sandbox.h"
#include "support/shell_layout.h"
#include "support/test_paths.h"
#include "support/wait_until.h"
#include "update.h"
#include "update_commit.h"

namespace {

const std::string COUNTDOWN_5 = "Press HOME key to enter ZQ recovery mode in 5 seconds...";
const std::string REBOOT_LOG = "/tmp/reboot.log";  // what platform_command("reboot") records

// The banner above the menu and the update screen.
const std::vector<std::string> BANNER_TEXT = {"<< ZQ RECOVERY v0.1 >>", "http://www.example.com",
                                              ""};

// The menu as the screen must read, with the arrow on item `selected`.
std::vector<std::string> menu_lines(int selected) {
    std::vector<std::string> lines = BANNER_TEXT;
    for (int i = 0; i < MENU_ITEM_SIZE; ++i) {
        lines.push_back(std::string(i == selected ? "--> " : "") + MENU_ITEMS[2 * i] + ": " +
                        MENU_ITEMS[2 * i + 1]);
    }
    return lines;
}

class RecoveryThreads : public testing::Test {
protected:
    void SetUp() override {
        descriptors_ = open_descriptor_count();
        screen_ = std::make_unique<mapped_screen>(800, 480, 32);
        ASSERT_TRUE(load_test_font(font_20px));
        ASSERT_TRUE(fake_inputs_make(&inputs_, {0, 1, 2, 3}));
        ASSERT_EQ(ev_init(), 0);
        platform_command("reboot");
        putenv(const_cast<char*>(PLATFORM_PATH));
        STAGE = S_COUNTDOWN;
        selected_menu = 0;
        EXIT_RECOVERY = 0;
        posx = posy = console_offsetY = 0;
        resume_report[0] = '\0';  // the start found no interrupted update
    }

    void TearDown() override {
        ev_exit();
        fake_inputs_close(&inputs_);
        free_font(font_20px);
        screen_.reset();
        EXPECT_EQ(open_descriptor_count(), descriptors_) << "every device and file closed";
    }

    void start() {
        testing::internal::CaptureStdout();
        ASSERT_EQ(pthread_create(&ui_, nullptr, ui_thread_function, nullptr), 0);
        ASSERT_EQ(pthread_create(&worker_, nullptr, worker_thread_function, nullptr), 0);
    }

    // Joins the threads as main does; returns what they printed. The UI
    // thread must end on the worker's last wake-up alone, before
    // EXIT_RECOVERY is raised.
    std::string finish(bool worker_joined = false) {
        if (!worker_joined) pthread_join(worker_, nullptr);
        const bool ended = wait_until([this] { return pthread_tryjoin_np(ui_, nullptr) == 0; });
        EXPECT_TRUE(ended) << "the UI thread ended on the last wake-up";
        EXIT_RECOVERY = 1;
        if (!ended) pthread_join(ui_, nullptr);
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }

    // A key event and its sync report, on one device.
    void key(uint16_t code, int32_t value = 1, int device = 0) {
        ASSERT_TRUE(
            fake_input_send(inputs_, device, {{EV_KEY, code, value}, {EV_SYN, SYN_REPORT, 0}}));
    }

    // A press and its release, as a keyboard sends them.
    void tap(uint16_t code) {
        key(code, 1);
        key(code, 0);
    }

    int pending_bytes() {
        int total = 0;
        for (int fd : inputs_.writers) {
            int n = 0;
            ioctl(fd, FIONREAD, &n);
            total += n;
        }
        return total;
    }

    bool screen_shows(const std::vector<std::string>& want, int timeout_ms = 10000) {
        return screen_->wait_for_lines(font_20px, want, timeout_ms);
    }

    void enter_menu() {
        ASSERT_TRUE(screen_shows({COUNTDOWN_5}));
        tap(KEY_CODE_HOME);
        ASSERT_TRUE(screen_shows(menu_lines(0)))
            << testing::PrintToString(screen_->lines(font_20px));
    }

    std::unique_ptr<mapped_screen> screen_;
    fake_inputs inputs_;
    pthread_t ui_{};
    pthread_t worker_{};
    int descriptors_ = 0;
};

// Five passes of a second each, counting down 5 to 1; then the UI thread
// clears the screen and both end without the menu.
TEST_F(RecoveryThreads, CountdownRunsOutWithoutTheMenu) {
    screen_->fill(0x77);  // what the screen held before
    const double started = now_seconds();
    start();
    std::vector<std::string> shown;
    while (pthread_tryjoin_np(worker_, nullptr) != 0 && now_seconds() - started < 20) {
        // Each whole line as it appears (a read may catch one mid-draw).
        const std::vector<std::string> lines = screen_->lines(font_20px);
        const bool whole = lines.size() == 1 && lines[0].ends_with(" seconds...");
        if (whole && (shown.empty() || shown.back() != lines[0])) shown.push_back(lines[0]);
        usleep(20000);
    }
    const double elapsed = now_seconds() - started;
    const std::string out = finish(true);
    std::vector<std::string> want;
    for (int n = 5; n > 0; --n) {
        want.push_back("Press HOME key to enter ZQ recovery mode in " + std::to_string(n) +
                       " seconds...");
    }
    EXPECT_EQ(shown, want);
    EXPECT_GT(elapsed, 4.6);
    EXPECT_LT(elapsed, 6.6);
    EXPECT_EQ(STAGE, S_FINISHED);
    EXPECT_TRUE(screen_->is_black()) << "the UI thread clears the screen at the end";
    EXPECT_EQ(out.find("draw menu."), std::string::npos);
    EXPECT_NE(out.find("worker_thread_function() exit.\n"), std::string::npos);
    EXPECT_NE(out.find("ui_thread_function() exit.\n"), std::string::npos);
}

// Every event uses up a pass; only key events are printed, and only a press
// of HOME enters the menu.
TEST_F(RecoveryThreads, OtherEventsUseUpTheCountdownAndHomeCountsOnlyOnPress) {
    start();
    ASSERT_TRUE(screen_shows({COUNTDOWN_5}));
    key(KEY_CODE_HOME, 0);  // a release of HOME and its sync: two passes
    ASSERT_TRUE(screen_shows({"Press HOME key to enter ZQ recovery mode in 3 seconds..."}, 900));
    // Not a key event, though its code and value are HOME's.
    ASSERT_TRUE(fake_input_send(inputs_, 0, {{EV_MSC, KEY_CODE_HOME, 1}}));
    key(KEY_CODE_HOME, 2);  // an auto-repeat and its sync
    const std::string out = finish();
    EXPECT_NE(out.find("KEY: 50, VALUE: 0\n"), std::string::npos);
    EXPECT_NE(out.find("KEY: 50, VALUE: 2\n"), std::string::npos);
    EXPECT_EQ(out.find("KEY: 50, VALUE: 1\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("KEY: 0, VALUE: 0\n"), std::string::npos) << "syncs are not printed";
    EXPECT_EQ(out.find("S_MENU"), std::string::npos);
}

// HOME on the countdown's last second enters the menu, and keys queued
// behind it are drained, not taken by the menu; its moves wrap both ways, and
// EXIT ends without a reboot.
TEST_F(RecoveryThreads, HomeOnTheLastSecondThenTheMenuWrapsAndExitEnds) {
    start();
    ASSERT_TRUE(screen_shows({"Press HOME key to enter ZQ recovery mode in 1 seconds..."}));
    ASSERT_TRUE(fake_input_send(
        inputs_, 0,
        {{EV_KEY, KEY_CODE_HOME, 1}, {EV_KEY, KEY_CODE_NEXT, 1}, {EV_KEY, KEY_CODE_NEXT, 1}}));
    ASSERT_TRUE(screen_shows(menu_lines(0)));
    usleep(300000);
    ASSERT_EQ(screen_->lines(font_20px), menu_lines(0));
    tap(KEY_CODE_PREVIOUS);
    ASSERT_TRUE(screen_shows(menu_lines(8)));
    tap(KEY_CODE_NEXT);
    ASSERT_TRUE(screen_shows(menu_lines(0)));
    tap(KEY_CODE_NEXT);
    tap(KEY_CODE_NEXT);
    ASSERT_TRUE(screen_shows(menu_lines(2)));
    tap(30);  // a key with no role
    tap(KEY_CODE_PREVIOUS);
    tap(KEY_CODE_PREVIOUS);
    ASSERT_TRUE(screen_shows(menu_lines(0)));
    tap(KEY_CODE_HOME);  // EXIT
    const std::string out = finish();
    EXPECT_NE(out.find("KEY: 50, VALUE: 1\n"), std::string::npos);
    EXPECT_NE(out.find("worker_thread_function() S_MENU mode.\n"), std::string::npos);
    EXPECT_NE(out.find("draw menu. selected item=8\n"), std::string::npos);
    EXPECT_EQ(read_text_file(REBOOT_LOG), "");
}

// RECOVERY runs its own argument; DOWNLOAD runs "reboot download", not its
// label. Both go to the platform's shell, the Android one where there are two.
class RebootItems : public RecoveryThreads,
                    public testing::WithParamInterface<std::pair<int, const char*>> {};

TEST_P(RebootItems, HandTheirCommandToTheShellAndEnd) {
    const auto [item, recorded] = GetParam();
    shell_layout_set(SHELL_ANDROID | SHELL_LINUX);
    start();
    enter_menu();
    for (int i = item; i < MENU_ITEM_SIZE; ++i) tap(KEY_CODE_PREVIOUS);
    ASSERT_TRUE(screen_shows(menu_lines(item)));
    tap(KEY_CODE_HOME);
    finish();
    shell_layout_restore();
    EXPECT_EQ(shell_log(), std::string("android\treboot ") + recorded);
    EXPECT_EQ(read_text_file(REBOOT_LOG), recorded);
    EXPECT_EQ(STAGE, S_FINISHED);
}

INSTANTIATE_TEST_SUITE_P(RecoveryAndDownload, RebootItems,
                         testing::Values(std::pair{7, "recovery\n"}, std::pair{8, "download\n"}),
                         [](const auto& item) {
                             return "item" + std::to_string(item.param.first);
                         });

TEST_F(RecoveryThreads, UpdateActionRightAfterANavigationKeyDrawsAloneAndReturnsToExit) {
    start();
    enter_menu();
    // HOME pressed right after the move: the redraw and the update screen never mix.
    tap(KEY_CODE_NEXT);
    tap(KEY_CODE_HOME);
    std::vector<std::string> header = BANNER_TEXT;
    header.insert(header.end(), {MENU_ITEMS[2], "----------------------"});
    // (A read of the screen may straddle a redraw: wait for the whole screen.)
    std::vector<std::string> lines;
    EXPECT_TRUE(wait_until([&] {
        lines = screen_->lines(font_20px);
        return lines.size() == 7 &&
               std::vector<std::string>(lines.begin(), lines.begin() + 5) == header &&
               lines[5].rfind("failed to mount /sdcard. errno=", 0) == 0 &&
               lines[6] == "press HOME key to main menu...";
    })) << testing::PrintToString(lines);
    tap(KEY_CODE_NEXT);  // not HOME: the update screen stays
    tap(KEY_CODE_PREVIOUS);
    usleep(300000);
    EXPECT_EQ(screen_->lines(font_20px), lines);
    tap(KEY_CODE_HOME);
    // Back to the menu with EXIT highlighted; the update lines below it stay.
    // (The UI thread may redraw twice: the move's wake-up was still pending.)
    const std::vector<std::string> want = menu_lines(0);
    EXPECT_TRUE(wait_until(
        [&] {
            lines = screen_->lines(font_20px);
            return lines.size() >= want.size() &&
                   std::vector<std::string>(lines.begin(), lines.begin() + 12) == want;
        },
        10000, 1))
        << testing::PrintToString(lines);
    EXPECT_EQ(selected_menu, 0);
    // EXIT, pressed once the moment the menu shows: the keys were drained before.
    tap(KEY_CODE_HOME);
    finish();
}

// What the start did with an interrupted update stays below the countdown's
// line while it counts, until the menu clears the screen.
TEST_F(RecoveryThreads, TheStartsReportStaysBelowTheCountdown) {
    (void)snprintf(resume_report, sizeof resume_report, RESUME_FINISHED_FORMAT, 3u);
    const std::string report = "finished an interrupted update: 3 entries put in place.";
    start();
    ASSERT_TRUE(screen_shows({COUNTDOWN_5, report}));
    ASSERT_TRUE(screen_shows({"Press HOME key to enter ZQ recovery mode in 4 seconds...", report}));
    tap(KEY_CODE_HOME);
    ASSERT_TRUE(screen_shows(menu_lines(0)));
    tap(KEY_CODE_HOME);
    finish();
}

// With no screen at all, the start still finishes what a cut left, and says so.
TEST(RecoveryProgram, TheStartFinishesAnInterruptedUpdateWithoutAScreen) {
    make_dirs("/data");
    ASSERT_EQ(mount("tmpfs", "/data", "tmpfs", 0, "mode=755"), 0);
    commit_log log;
    ASSERT_EQ(commit_begin(&log, COMMIT_ALL_OR_NOTHING), 0);
    commit_close(&log);
    fake_framebuffer_remove();
    testing::internal::CaptureStdout();
    EXPECT_EQ(zqrecovery::main(1, nullptr), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(RESUME_REMOVED), std::string::npos) << out;
    struct stat st {};
    EXPECT_NE(lstat(COMMIT_RECORD_NEW_PATH, &st), 0);
    umount2("/data", MNT_DETACH);
}

// The whole program, no key pressed: the font is loaded, the countdown runs
// out, and the glyphs are freed at the end. The driver is told of each
// countdown line and of the last clear; one that refuses is asked once.
TEST(RecoveryProgram, CountdownRunsOutAndTheGlyphsAreFreed) {
    make_dirs("/ZQ/media");
    write_text_file(font_20px_file,
                    read_text_file(std::string(ZQ_MEDIA_DIR) + "/inconsolata_20px_ffffff.bmp"));
    for (int n = 0; n < 4; ++n) unlink(("/dev/input/event" + std::to_string(n)).c_str());
    platform_command("reboot");
    putenv(const_cast<char*>(PLATFORM_PATH));
    for (const int refusal : {0, EINVAL}) {
        SCOPED_TRACE(refusal);
        fake_framebuffer_install(320, 240, 32);
        fake_framebuffer_pan_error = refusal;
        fake_console_install(KD_TEXT, 0);
        STAGE = S_COUNTDOWN;
        EXIT_RECOVERY = 0;
        const size_t heap = heap_in_use();
        testing::internal::CaptureStdout();
        EXPECT_EQ(zqrecovery::main(1, nullptr), 0);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("worker_thread_function() exit.\n"), std::string::npos) << out;
        EXPECT_LT(heap_in_use(), heap + 16 * 1024) << "the glyphs are freed";
        EXPECT_NE(font_20px[0].pixels, nullptr) << "the font was loaded";
        // The last clear races with the end of the program, as the UI thread
        // skips it once told to exit: it is told of only when it was drawn.
        const std::string shown = read_text_file("/dev/graphics/fb0");
        const bool cleared = shown.find_first_not_of('\0') == std::string::npos;
        EXPECT_EQ(fake_framebuffer_pans, refusal != 0 ? 1 : COUNTDOWN_SECONDS + (cleared ? 1 : 0));
        EXPECT_EQ(out.find("FBIOPAN_DISPLAY refused: ") != std::string::npos, refusal != 0);
        EXPECT_EQ(fake_console_modes_set, (std::vector<int>{KD_GRAPHICS, KD_TEXT}));
        fake_console_remove();
        for (prepared_bitmap& glyph : font_20px) glyph = prepared_bitmap{};  // freed already
        pthread_mutex_init(&lock, nullptr);                                  // main destroyed them
        pthread_cond_init(&cond, nullptr);
        fake_framebuffer_remove();
    }
    fake_framebuffer_pan_error = 0;
}

// The console is in graphics mode while the program has the screen, and back
// in the mode it had on a failed start-up too (here: no font); a console that
// refuses or is missing is said in one line, and the program goes on.
TEST(RecoveryProgram, TheConsoleKeepsOffTheScreenAndComesBack) {
    make_dirs("/ZQ/media");
    unlink(font_20px_file);
    const struct {
        bool present;
        int mode, set_error;
        std::vector<int> modes_set;
        const char* written;  // the cursor hidden, then shown again
        const char* line;
    } cases[] = {
        {true, KD_TEXT, 0, {KD_GRAPHICS, KD_TEXT}, "\033[?25l\033[?25h", nullptr},
        {true, KD_GRAPHICS, 0, {KD_GRAPHICS}, "\033[?25l\033[?25h", nullptr},  // a boot logo's
        {true,
         KD_TEXT,
         EPERM,
         {},
         "",
         "KDSETMODE: Operation not permitted; the console may draw over the screen\n"},
        {false,
         KD_TEXT,
         0,
         {},
         "",
         "/dev/tty0: No such file or directory; the console may draw over the screen\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode * 100 + c.set_error);
        fake_framebuffer_install(64, 64, 32);
        fake_console_install(c.mode, c.set_error);
        if (!c.present) fake_console_remove();
        const int descriptors = open_descriptor_count();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(zqrecovery::main(1, nullptr), 0);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "bmp_open: No such file or directory\n");
        EXPECT_EQ(fake_console_modes_set, c.modes_set);
        if (c.present) {
            EXPECT_EQ(fake_console_written(), c.written);
        }
        EXPECT_EQ(out.find("the console may draw") != std::string::npos, c.line != nullptr) << out;
        if (c.line != nullptr) {
            EXPECT_NE(out.find(c.line), std::string::npos) << out;
        }
        EXPECT_EQ(open_descriptor_count(), descriptors) << "the console is closed";
        fake_console_remove();
        fake_framebuffer_remove();
    }
}

TEST_F(RecoveryThreads, KeyStormNeverHangsAndEndsOnExit) {
    start();
    enter_menu();
    // 10,350 presses: 5,850 forward and 4,500 back (a multiple of nine apart),
    // each forward press with a repeat and a release, spread over four devices.
    std::thread storm([this] {
        for (int i = 0; i < 5850; ++i) {
            key(KEY_CODE_NEXT, 1, i % 4);
            key(KEY_CODE_NEXT, 2, i % 4);
            key(KEY_CODE_NEXT, 0, i % 4);
            if (i < 4500) {
                key(KEY_CODE_PREVIOUS, 1, (i + 1) % 4);
                key(KEY_CODE_PREVIOUS, 0, (i + 1) % 4);
            }
        }
    });
    storm.join();
    // Every event read (the lower devices are served first), then the menu settles.
    ASSERT_TRUE(wait_until([this] { return pending_bytes() == 0; }, 60000));
    ASSERT_TRUE(screen_shows(menu_lines(0)));
    tap(KEY_CODE_HOME);
    finish();
    EXPECT_EQ(STAGE, S_FINISHED);
    EXPECT_EQ(read_text_file(REBOOT_LOG), "");
}

}  // namespace
