// Picture loading: bmp_open + prepare_bitmap of a 1920 x 1080 picture into a
// 32- and a 16-bit screen, side by side with stb_image decoding the same file
// and a plain memcpy of the prepared bytes. Prints the ratios at the end.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stb_image.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bmplib.h"
#include "framebuffer.h"
#include "prepared_bitmap.h"

namespace {

constexpr int WIDTH = 1920;
constexpr int HEIGHT = 1080;

void le32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A photograph-like picture: smooth gradients with noise.
uint32_t scene(int x, int y, std::mt19937& rng) {
    const uint32_t r = static_cast<uint32_t>((x * 255) / WIDTH) ^ (rng() & 7);
    const uint32_t g = static_cast<uint32_t>((y * 255) / HEIGHT) ^ (rng() & 7);
    const uint32_t b = static_cast<uint32_t>(((x + y) * 255) / (WIDTH + HEIGHT)) ^ (rng() & 7);
    return (r << 16) | (g << 8) | b;
}

std::string write_picture(int bits, bool rle) {
    std::mt19937 rng(1);
    const bool masks = bits == 16 || bits == 32;
    const size_t palette_bytes = bits == 8 ? 1024 : masks ? 12 : 0;
    const size_t stride = (static_cast<size_t>(WIDTH) * bits + 31) / 32 * 4;
    std::vector<uint8_t> data;
    if (rle) {
        for (int y = 0; y < HEIGHT; ++y) {
            for (int x = 0; x < WIDTH;) {
                const int run = std::min(WIDTH - x, 1 + static_cast<int>(rng() % 40));
                data.push_back(static_cast<uint8_t>(run));
                data.push_back(static_cast<uint8_t>((x / 8 + y) & 0xFF));
                x += run;
            }
            data.push_back(0);
            data.push_back(0);
        }
        data.push_back(0);
        data.push_back(1);
    } else {
        data.assign(stride * HEIGHT, 0);
        for (int y = 0; y < HEIGHT; ++y) {
            uint8_t* row = data.data() + static_cast<size_t>(HEIGHT - 1 - y) * stride;
            for (int x = 0; x < WIDTH; ++x) {
                const uint32_t c = scene(x, y, rng);
                if (bits == 8) {
                    row[x] = static_cast<uint8_t>(((c >> 16) & 0xE0) | ((c >> 11) & 0x1C) |
                                                  ((c >> 6) & 3));
                } else if (bits == 16) {
                    const uint16_t v = static_cast<uint16_t>(
                        ((c >> 8) & 0xF800) | ((c >> 5) & 0x7E0) | ((c >> 3) & 0x1F));
                    memcpy(row + 2 * x, &v, 2);
                } else if (bits == 24) {
                    row[3 * x] = static_cast<uint8_t>(c);
                    row[3 * x + 1] = static_cast<uint8_t>(c >> 8);
                    row[3 * x + 2] = static_cast<uint8_t>(c >> 16);
                } else {
                    memcpy(row + 4 * x, &c, 4);
                }
            }
        }
    }
    const size_t offset = 54 + palette_bytes;
    std::vector<uint8_t> file(offset + data.size(), 0);
    file[0] = 'B';
    file[1] = 'M';
    le32(file, 2, static_cast<uint32_t>(file.size()));
    le32(file, 10, static_cast<uint32_t>(offset));
    le32(file, 14, 40);
    le32(file, 18, WIDTH);
    le32(file, 22, HEIGHT);
    file[26] = 1;
    file[28] = static_cast<uint8_t>(bits);
    le32(file, 30, rle ? 1 : masks ? 3 : 0);
    le32(file, 34, static_cast<uint32_t>(data.size()));
    if (bits == 8) {
        for (uint32_t i = 0; i < 256; ++i) {
            le32(file, 54 + 4 * i, ((i & 0xE0) << 16) | ((i & 0x1C) << 11) | ((i & 3) << 6));
        }
    } else if (bits == 16) {
        le32(file, 54, 0xF800);
        le32(file, 58, 0x07E0);
        le32(file, 62, 0x001F);
    } else if (bits == 32) {
        le32(file, 54, 0xFF0000);
        le32(file, 58, 0x00FF00);
        le32(file, 62, 0x0000FF);
    }
    std::copy(data.begin(), data.end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
    const std::string path = "/tmp/zq-bench-" + std::to_string(bits) + (rle ? "-rle" : "") + ".bmp";
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(file.data(), 1, file.size(), f) != file.size()) abort();
    fclose(f);
    return path;
}

struct picture {
    const char* name;
    int bits;
    bool rle;
    std::string path;
};

std::vector<picture>& pictures() {
    static std::vector<picture> list = {
        {"8", 8, false, ""},   {"16", 16, false, ""}, {"24", 24, false, ""},
        {"32", 32, false, ""}, {"rle8", 8, true, ""},
    };
    return list;
}

void set_screen(int bits) {
    fbvar = fb_var_screeninfo{};
    fbvar.xres = WIDTH;
    fbvar.yres = HEIGHT;
    fbvar.bits_per_pixel = static_cast<uint32_t>(bits);
    fbvar.red = {11, 5, 0};
    fbvar.green = {5, 6, 0};
    fbvar.blue = {0, 5, 0};
}

void load_and_prepare(benchmark::State& state, const picture* p, int screen_bits) {
    set_screen(screen_bits);
    for (auto _ : state) {
        bmp_image* image = bmp_open(p->path.c_str());
        if (image == nullptr) {
            state.SkipWithError("bmp_open failed");
            return;
        }
        prepared_bitmap bitmap{};
        prepare_bitmap(image, &bitmap);
        bmp_close(image);
        benchmark::DoNotOptimize(bitmap.pixels);
        free(bitmap.pixels);
    }
}

void stb_decode(benchmark::State& state, const picture* p) {
    for (auto _ : state) {
        int w = 0;
        int h = 0;
        int n = 0;
        unsigned char* pixels = stbi_load(p->path.c_str(), &w, &h, &n, 4);
        if (pixels == nullptr) {
            state.SkipWithError("stb_image cannot decode this file");
            return;
        }
        benchmark::DoNotOptimize(pixels);
        stbi_image_free(pixels);
    }
}

void copy_bytes(benchmark::State& state, size_t bytes) {
    std::vector<uint8_t> from(bytes, 1);
    for (auto _ : state) {
        // A fresh destination each time, as prepare_bitmap allocates one.
        auto* to = static_cast<uint8_t*>(malloc(bytes));
        memcpy(to, from.data(), bytes);
        benchmark::DoNotOptimize(to);
        free(to);
    }
}

// The same copy into pages the process has not touched yet, as a picture
// loaded once at start-up meets them.
void copy_bytes_fresh(benchmark::State& state, size_t bytes) {
    std::vector<uint8_t> from(bytes, 1);
    for (auto _ : state) {
        void* to = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (to == MAP_FAILED) abort();
        memcpy(to, from.data(), bytes);
        benchmark::DoNotOptimize(to);
        munmap(to, bytes);
    }
}

// Keeps each run's time per iteration for the ratio table.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    // Every iteration reuses warm heap memory, so that runs compare the work
    // itself rather than the allocator's changing choice between fresh pages
    // and reused ones; memcpy-fresh gives the cost of fresh pages.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    for (picture& p : pictures()) p.path = write_picture(p.bits, p.rle);
    for (picture& p : pictures()) {
        benchmark::RegisterBenchmark(("load/" + std::string(p.name) + "/screen32").c_str(),
                                     load_and_prepare, &p, 32)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("load/" + std::string(p.name) + "/screen16").c_str(),
                                     load_and_prepare, &p, 16)
            ->Unit(benchmark::kMillisecond);
        if (!p.rle) {
            benchmark::RegisterBenchmark(("stb/" + std::string(p.name)).c_str(), stb_decode, &p)
                ->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::RegisterBenchmark("memcpy/screen32", copy_bytes, size_t{WIDTH} * HEIGHT * 4)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("memcpy/screen16", copy_bytes, size_t{WIDTH} * HEIGHT * 2)
        ->Unit(benchmark::kMillisecond);

    benchmark::RegisterBenchmark("memcpy-fresh/screen32", copy_bytes_fresh,
                                 size_t{WIDTH} * HEIGHT * 4)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("memcpy-fresh/screen16", copy_bytes_fresh,
                                 size_t{WIDTH} * HEIGHT * 2)
        ->Unit(benchmark::kMillisecond);

    benchmark::Initialize(&argc, argv);
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    auto& t = reporter.times;
    printf("\n%-8s %-8s %10s %12s %10s %16s\n", "picture", "screen", "ms", "vs stb_image",
           "vs memcpy", "vs memcpy-fresh");
    for (const picture& p : pictures()) {
        for (const char* screen : {"screen32", "screen16"}) {
            const std::string load = "load/" + std::string(p.name) + "/" + screen;
            if (t.count(load) == 0) continue;
            const double ms = t[load];
            const std::string stb = "stb/" + std::string(p.name);
            const std::string copy = std::string("memcpy/") + screen;
            const std::string fresh = std::string("memcpy-fresh/") + screen;
            char stb_ratio[32] = "-";
            if (t.count(stb) != 0) snprintf(stb_ratio, sizeof stb_ratio, "%.2fx", ms / t[stb]);
            printf("%-8s %-8s %10.2f %12s %9.2fx %15.2fx\n", p.name, screen, ms, stb_ratio,
                   ms / t[copy], ms / t[fresh]);
        }
    }
    benchmark::Shutdown();
    for (const picture& p : pictures()) remove(p.path.c_str());
    return 0;
}
