// The update walk against `cp -a` of the same tree on the same file system,
// side by side in one run: a tree of large files (throughput) and ten thousand
// small files (per-file cost), drawing every progress line on an in-memory
// 800 x 480 screen. Runs in the tests' sandbox (as root), so that /system and
// /data are its own.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console.h"
#include "recovery.h"
#include "support/sandbox.h"
#include "support/screen_reader.h"

namespace {

const std::string ROOT = "/sdcard/zq/update00";

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void run(const char* command) {
    if (system(command) != 0) {
        fprintf(stderr, "failed: %s\n", command);
        exit(1);
    }
}

double time_update() {
    run("rm -rf /system/* /data/*");
    FILE* out = freopen("/dev/null", "w", stdout);
    posx = posy = console_offsetY = 0;
    const double start = now();
    update(ROOT.c_str(), 0);
    sync();
    const double seconds = now() - start;
    if (out == nullptr || freopen("/dev/tty", "w", stdout) == nullptr) {
        // No terminal: later printing goes to the standard error.
    }
    return seconds;
}

double time_cp() {
    run("rm -rf /cpdest && mkdir -p /cpdest");
    const double start = now();
    run("cp -a /sdcard/zq/update00/system /sdcard/zq/update00/data /cpdest/");
    sync();
    return now() - start;
}

// Best of three, each side by side.
std::pair<double, double> measure() {
    double ours = 1e9;
    double cp = 1e9;
    for (int i = 0; i < 3; ++i) {
        ours = std::min(ours, time_update());
        cp = std::min(cp, time_cp());
    }
    return {ours, cp};
}

}  // namespace

int main() {
    sandbox_enter();
    memory_screen screen(800, 480, 32);
    if (!load_test_font(font_20px)) return 1;
    selected_menu = 1;
    make_dirs("/system");
    make_dirs("/data");

    // Large files: 8 x 32 MiB.
    run("rm -rf /sdcard && mkdir -p /sdcard/zq/update00/system /sdcard/zq/update00/data");
    for (int i = 0; i < 8; ++i) {
        const std::string cmd = "head -c 33554432 /dev/urandom > " + ROOT + "/system/large" +
                                std::to_string(i) + ".img";
        run(cmd.c_str());
    }
    const auto [large_ours, large_cp] = measure();
    const double mib = 8 * 32;

    // Small files: 10,000 of 1 KiB in 100 directories.
    run("rm -rf /sdcard && mkdir -p /sdcard/zq/update00/system /sdcard/zq/update00/data");
    for (int d = 0; d < 100; ++d) {
        const std::string dir = ROOT + "/data/d" + std::to_string(d);
        make_dirs(dir);
        for (int f = 0; f < 100; ++f) write_text_file(dir + "/f" + std::to_string(f), std::string(1024, 'x'));
    }
    const auto [small_ours, small_cp] = measure();

    fprintf(stderr, "update, large files: %.0f MiB/s, cp -a %.0f MiB/s: %.2fx of cp's throughput\n",
            mib / large_ours, mib / large_cp, large_cp / large_ours);
    fprintf(stderr, "update, 10,000 small files: %.1f us per file, cp -a %.1f us: %.2fx of cp's\n",
            small_ours * 1e2, small_cp * 1e2, small_ours / small_cp);
    return 0;
}
