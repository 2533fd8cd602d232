// The input layer on real FIFOs at the compiled-in device paths.
#include "events.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "recovery.h"
#include "support/fake_input.h"
#include "support/sandbox.h"
#include "support/wait_until.h"

// Every close() of this test binary passes here (linked with --wrap=close), so
// that a test can see which numbers the layer closes.
extern "C" int __real_close(int fd);
std::vector<int>* closes_seen = nullptr;
extern "C" int __wrap_close(int fd) {
    if (closes_seen != nullptr) closes_seen->push_back(fd);
    return __real_close(fd);
}

namespace {

// This process's descriptors open on the device.
std::vector<int> descriptors_on(const std::string& path) {
    std::vector<int> fds;
    for (int fd = 0; fd < 1024; ++fd) {
        char target[256];
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) fds.push_back(fd);
    }
    return fds;
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string device(int n) {
    return "/dev/input/event" + std::to_string(n);
}

class InputDevices : public testing::Test {
protected:
    void make_devices(std::initializer_list<int> numbers) {
        ASSERT_TRUE(fake_inputs_make(&inputs_, numbers));
    }
    void TearDown() override {
        ev_exit();
        fake_inputs_close(&inputs_);
    }
    void send(int n, uint16_t type, uint16_t code, int32_t value) {
        ASSERT_TRUE(fake_input_send(inputs_, n, {{type, code, value}}));
    }
    void press(int n, uint16_t code) {
        ASSERT_TRUE(fake_input_send(inputs_, n,
                                    {{EV_KEY, code, 1},
                                     {EV_SYN, SYN_REPORT, 0},
                                     {EV_KEY, code, 0},
                                     {EV_SYN, SYN_REPORT, 0}}));
    }
    int init_capturing(std::string* out) {
        testing::internal::CaptureStdout();
        const int result = ev_init();
        fflush(stdout);
        *out = testing::internal::GetCapturedStdout();
        return result;
    }
    // All four devices, opened.
    void open_all() {
        make_devices({0, 1, 2, 3});
        ASSERT_EQ(ev_init(), 0);
    }

    fake_inputs inputs_;
    int* const writers_ = inputs_.writers;
};

TEST_F(InputDevices, AllFourOpenSilently) {
    make_devices({0, 1, 2, 3});
    const int writers = descriptors_kept_across_exec("/dev/input/");
    std::string out;
    EXPECT_EQ(init_capturing(&out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(descriptors_kept_across_exec("/dev/input/"), writers)
        << "shell commands inherit none";
    input_event event;
    EXPECT_EQ(ev_get(&event, 0), -1);
    send(3, EV_KEY, 58, 1);
    ASSERT_EQ(ev_get(&event, 0), 0);
    EXPECT_EQ(event.code, 58);
    EXPECT_EQ(event.value, 1);
}

TEST_F(InputDevices, MissingDeviceCutsTheListThere) {
    make_devices({0, 1, 3});
    std::string out;
    EXPECT_EQ(init_capturing(&out), -1);
    EXPECT_EQ(out, "failed to open /dev/input/event2");
    EXPECT_EQ(descriptors_on(device(3)).size(), 1u)
        << "event3 is not opened, only the test's writer";
    EXPECT_EQ(descriptors_on(device(1)).size(), 2u);
    // event0 and event1 are registered.
    input_event event;
    send(1, EV_KEY, 42, 1);
    ASSERT_EQ(ev_get(&event, 0), 0);
    EXPECT_EQ(event.code, 42);
    send(0, EV_KEY, 50, 1);
    ASSERT_EQ(ev_get(&event, 0), 0);
    EXPECT_EQ(event.code, 50);
}

TEST_F(InputDevices, NoDeviceAtAllTimesOut) {
    make_devices({1, 2, 3});
    std::string out;
    EXPECT_EQ(init_capturing(&out), -1);
    EXPECT_EQ(out, "failed to open /dev/input/event0");
    input_event event;
    EXPECT_EQ(ev_get(&event, 0), -1);
    const double start = now_seconds();
    EXPECT_EQ(ev_get(&event, 1000), -1);
    EXPECT_GE(now_seconds() - start, 0.95);
}

TEST_F(InputDevices, LowerDeviceIsServedFirstOneEventPerCall) {
    open_all();
    send(2, EV_KEY, 42, 1);
    send(1, EV_KEY, 58, 1);
    send(1, EV_KEY, 59, 1);
    input_event event;
    ASSERT_EQ(ev_get(&event, 0), 0);
    EXPECT_EQ(event.code, 58);
    ASSERT_EQ(ev_get(&event, 0), 0);
    EXPECT_EQ(event.code, 59);
    ASSERT_EQ(ev_get(&event, 0), 0);
    EXPECT_EQ(event.code, 42);
    EXPECT_EQ(ev_get(&event, 0), -1);
}

TEST_F(InputDevices, ShortRecordIsPassedOver) {
    open_all();
    const char half[sizeof(input_event) / 2] = {};
    ASSERT_EQ(write(writers_[0], half, sizeof half), static_cast<ssize_t>(sizeof half));
    send(1, EV_KEY, 58, 1);
    input_event event;
    ASSERT_EQ(ev_get(&event, 0), 0) << "the whole record of the next device is read";
    EXPECT_EQ(event.code, 58);
    EXPECT_EQ(ev_get(&event, 0), -1);

    // Without a time-out, a pass that read only a short record polls again.
    ASSERT_EQ(write(writers_[2], half, sizeof half), static_cast<ssize_t>(sizeof half));
    std::thread later([this] {
        usleep(200000);
        send(3, EV_KEY, 42, 1);
    });
    EXPECT_EQ(ev_get(&event, -1), 0);
    later.join();
    EXPECT_EQ(event.code, 42);
}

TEST_F(InputDevices, ClearDrainsEveryDevice) {
    open_all();
    press(0, 50);
    press(1, 58);
    press(3, 42);
    ev_clear();
    input_event event;
    EXPECT_EQ(ev_get(&event, 0), -1);
}

// wait_key passes over everything but a key's press, and blocks until one comes.
TEST_F(InputDevices, WaitKeyReturnsOnlyAPress) {
    open_all();
    send(0, EV_KEY, 50, 0);          // release
    send(0, EV_KEY, 50, 2);          // auto-repeat
    send(1, EV_SYN, SYN_REPORT, 0);  // synchronisation
    send(1, EV_MSC, MSC_SCAN, 1);    // another type with value 1
    send(2, EV_LED, LED_CAPSL, 1);
    std::thread later([this] {
        usleep(200000);
        send(3, EV_KEY, 99, 1);  // any key's press ends the wait
    });
    input_event event;
    EXPECT_EQ(wait_key(&event), 0);
    later.join();
    EXPECT_EQ(event.type, EV_KEY);
    EXPECT_EQ(event.code, 99);
    EXPECT_EQ(event.value, 1);
}

TEST_F(InputDevices, HungUpDeviceIsDroppedAndDoesNotSpin) {
    open_all();
    close(writers_[1]);  // event1 now reports only a hang-up
    writers_[1] = -1;
    input_event event;
    EXPECT_EQ(ev_get(&event, 0), -1);
    const double cpu_before = cpu_seconds();
    const double wall_before = now_seconds();
    std::thread later([this] {
        usleep(500000);
        send(2, EV_KEY, 58, 1);
    });
    ASSERT_EQ(ev_get(&event, -1), 0);
    later.join();
    const double wall = now_seconds() - wall_before;
    const double cpu = cpu_seconds() - cpu_before;
    EXPECT_EQ(event.code, 58);
    EXPECT_LT(cpu, wall / 4) << "a blocking wait sleeps in poll";
}

// A number poll reports as not open (POLLNVAL) may be someone else's by the
// time the layer looks at it: its entry is dropped without closing it.
TEST_F(InputDevices, NumberReportedAsNotOpenIsDroppedWithoutClosingIt) {
    open_all();
    const std::vector<int> fds = descriptors_on(device(1));
    ASSERT_EQ(fds.size(), 2u);
    const int stale = fds[0] == writers_[1] ? fds[1] : fds[0];
    __real_close(stale);
    std::vector<int> closed;
    closes_seen = &closed;
    input_event event;
    EXPECT_EQ(ev_get(&event, 0), -1);
    ev_exit();
    closes_seen = nullptr;
    EXPECT_EQ(std::count(closed.begin(), closed.end(), stale), 0);
    EXPECT_EQ(closed.size(), 3u) << "the three devices still registered";
}

TEST_F(InputDevices, ExitClosesEverythingAndTwiceDoesNothing) {
    open_all();
    ev_exit();
    ev_exit();
    for (int n = 0; n < 4; ++n) EXPECT_EQ(descriptors_on(device(n)).size(), 1u) << n;
    // And the layer can be opened again.
    EXPECT_EQ(ev_init(), 0);
}

TEST(InputLayer, BlockingWaitWithoutDevicesSleeps) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        input_event event;
        ev_get(&event, -1);
        _exit(3);
    }
    usleep(500000);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "still waiting";
    kill(child, SIGKILL);
    rusage usage{};
    ASSERT_EQ(wait4(child, &status, 0, &usage), child);
    EXPECT_LT(usage.ru_utime.tv_sec * 1000000 + usage.ru_utime.tv_usec +
                  usage.ru_stime.tv_sec * 1000000 + usage.ru_stime.tv_usec,
              250000)
        << "it slept rather than spun";
}

}  // namespace
