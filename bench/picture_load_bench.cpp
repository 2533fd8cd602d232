// Picture loading: bmp_open + prepare_bitmap of a 1920 x 1080 picture into a
// 32-bit (xRGB: red at 16, green at 8, blue at 0) and a 16-bit (5-6-5)
// screen, next to stb_image built from its header with the same compiler and
// flags, and next to the floor: reading the same file and writing the same
// output bytes. Two conditions: warm (every buffer reused, as a loop that
// loads the same picture again meets it) and cold (every buffer in pages
// never touched, as a load at start-up meets it). Within a condition the
// cases are interleaved, and each figure is the best of the rounds.
//
//   picture_load_bench                       the times
//   picture_load_bench write DIR             the pictures, as DIR/8.bmp, 24.bmp, 32.bmp,
//                                            16.bmp and rle8.bmp
//   picture_load_bench count FILE SCREEN N   loads FILE N times into a SCREEN-bit screen
//                                            (SCREEN stb: stb_image into 4 channels), for
//                                            instruction counts (bench/instructions.sh)
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bmplib.h"
#include "framebuffer.h"
#include "memory_screen.h"
#include "prepared_bitmap.h"
#include "support/bmp_builder.h"

extern "C" unsigned char* stbi_load(const char* filename, int* x, int* y, int* comp, int req_comp);
extern "C" void stbi_image_free(void* retval_from_stbi_load);

namespace {

constexpr int WIDTH = 1920;
constexpr int HEIGHT = 1080;
constexpr int ROUNDS = 30;

// A photograph-like picture: smooth gradients with noise.
uint32_t scene(int x, int y, std::mt19937& rng) {
    const uint32_t r = static_cast<uint32_t>((x * 255) / WIDTH) ^ (rng() & 7);
    const uint32_t g = static_cast<uint32_t>((y * 255) / HEIGHT) ^ (rng() & 7);
    const uint32_t b = static_cast<uint32_t>(((x + y) * 255) / (WIDTH + HEIGHT)) ^ (rng() & 7);
    return (r << 16) | (g << 8) | b;
}

std::vector<uint8_t> picture_bytes(int bits, bool rle) {
    std::mt19937 rng(1);
    const bool masks = bits == 16 || bits == 32;
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
    bmp_fields f;
    f.width = WIDTH;
    f.height = HEIGHT;
    f.bit_count = static_cast<int16_t>(bits);
    f.compression = rle ? 1 : masks ? 3 : 0;
    f.pixels = std::move(data);
    if (bits == 8) {
        for (uint32_t i = 0; i < 256; ++i)
            f.palette.push_back(((i & 0xE0) << 16) | ((i & 0x1C) << 11) | ((i & 3) << 6));
    } else if (bits == 16) {
        f.palette = {0xF800, 0x07E0, 0x001F};
    } else if (bits == 32) {
        f.palette = {0xFF0000, 0x00FF00, 0x0000FF};
    }
    return bmp_build(f);
}

struct picture {
    const char* name;
    int bits;
    bool rle;
    std::string path;
};

void set_screen(int bits) {
    screen_var_init(&fbvar, WIDTH, HEIGHT, bits);
}

// Warm: large blocks come from the heap and go back to it, so the next load
// reuses touched pages. Cold: every block of 64 KiB or more is a fresh mapping.
void set_condition(bool cold) {
    if (mallopt(M_MMAP_THRESHOLD, cold ? 64 << 10 : 32 << 20) != 1 ||
        mallopt(M_TRIM_THRESHOLD, cold ? 64 << 10 : 512 << 20) != 1) {
        abort();
    }
}

double now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void load(const picture& p) {
    bmp_image* image = bmp_open(p.path.c_str());
    if (image == nullptr) abort();
    prepared_bitmap bitmap{};
    prepare_bitmap(image, &bitmap);
    bmp_close(image);
    if (bitmap.pixels == nullptr) abort();
    free(bitmap.pixels);
}

void stb(const picture& p) {
    int w = 0;
    int h = 0;
    int n = 0;
    unsigned char* pixels = stbi_load(p.path.c_str(), &w, &h, &n, 4);
    if (pixels == nullptr) abort();
    stbi_image_free(pixels);
}

// The floor: the file read into a buffer, the output bytes written.
void floor_of(const picture& p, int screen_bits) {
    const int fd = open(p.path.c_str(), O_RDONLY);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) abort();
    auto* file = static_cast<uint8_t*>(malloc(static_cast<size_t>(st.st_size)));
    if (file == nullptr || read(fd, file, static_cast<size_t>(st.st_size)) != st.st_size) abort();
    close(fd);
    const size_t out_bytes = size_t{WIDTH} * HEIGHT * static_cast<size_t>(screen_bits / 8);
    auto* out = static_cast<uint8_t*>(malloc(out_bytes));
    if (out == nullptr) abort();
    memset(out, file[out_bytes % static_cast<size_t>(st.st_size)], out_bytes);
    asm volatile("" : : "r"(out), "r"(file) : "memory");
    free(out);
    free(file);
}

std::vector<picture> all_pictures() {
    return {{"8", 8, false, ""},
            {"24", 24, false, ""},
            {"32", 32, false, ""},
            {"16", 16, false, ""},
            {"rle8", 8, true, ""}};
}

int write_pictures(const char* dir) {
    for (const picture& p : all_pictures()) {
        const std::vector<uint8_t> bytes = picture_bytes(p.bits, p.rle);
        const std::string path = std::string(dir) + "/" + p.name + ".bmp";
        FILE* f = fopen(path.c_str(), "wb");
        if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
            fclose(f) != 0) {
            perror(path.c_str());
            return 1;
        }
    }
    return 0;
}

// What the instruction counts cover: nothing else runs between its entry and its return.
__attribute__((noinline)) void counted_loads(const picture& p, bool with_stb, int n) {
    for (int i = 0; i < n; ++i) with_stb ? stb(p) : load(p);
}

int count_loads(const char* path, const char* screen, int n) {
    const picture p{"", 0, false, path};
    const bool with_stb = strcmp(screen, "stb") == 0;
    if (!with_stb) set_screen(atoi(screen));
    counted_loads(p, with_stb, n);
    return 0;
}

int time_loads() {
    std::vector<picture> pictures = all_pictures();
    for (picture& p : pictures) {
        p.path = write_scratch_file(std::string("bench-") + p.name + ".bmp",
                                    picture_bytes(p.bits, p.rle));
    }

    // best[condition][case]
    std::map<std::string, double> best;
    // Each case runs once untimed first: in the warm condition its buffers are
    // then in touched heap pages. In the cold one, every page the heap holds
    // free is handed back to the kernel before each run (malloc_trim), so
    // that no buffer lands on a touched page.
    bool cold_pages = false;
    auto time_case = [&](const std::string& name, auto&& work) {
        work();
        if (cold_pages) malloc_trim(0);
        const double start = now_ms();
        work();
        const double ms = now_ms() - start;
        auto it = best.find(name);
        if (it == best.end() || ms < it->second) best[name] = ms;
    };
    // Cold first: once the warm rounds have grown the heap, its free blocks
    // would serve later allocations from touched pages.
    for (const bool cold : {true, false}) {
        const std::string condition = cold ? "cold" : "warm";
        set_condition(cold);
        cold_pages = cold;
        for (int round = 0; round < ROUNDS; ++round) {
            for (const picture& p : pictures) {
                for (const int screen : {32, 16}) {
                    set_screen(screen);
                    const std::string key = condition + "/" + p.name + "/" + std::to_string(screen);
                    time_case("load/" + key, [&] { load(p); });
                    time_case("floor/" + key, [&] { floor_of(p, screen); });
                }
                if (!p.rle) time_case("stb/" + condition + "/" + p.name, [&] { stb(p); });
            }
        }
    }

    printf("1920 x 1080, best of %d interleaved rounds (ms)\n", ROUNDS);
    printf("%-5s %-7s %-6s %8s %8s %8s %9s %9s\n", "cond", "picture", "screen", "load", "stb",
           "floor", "vs stb", "vs floor");
    for (const char* condition : {"warm", "cold"}) {
        for (const picture& p : pictures) {
            for (const int screen : {32, 16}) {
                const std::string key =
                    std::string(condition) + "/" + p.name + "/" + std::to_string(screen);
                const double ms = best["load/" + key];
                const double fl = best["floor/" + key];
                const std::string stb_key = std::string("stb/") + condition + "/" + p.name;
                char stb_ms[16] = "-";
                char vs_stb[16] = "-";
                if (best.count(stb_key) != 0 && screen == 32) {
                    (void)snprintf(stb_ms, sizeof stb_ms, "%.2f", best[stb_key]);
                    (void)snprintf(vs_stb, sizeof vs_stb, "%.2fx", ms / best[stb_key]);
                }
                printf("%-5s %-7s %-6d %8.2f %8s %8.2f %9s %8.2fx\n", condition, p.name, screen, ms,
                       stb_ms, fl, vs_stb, ms / fl);
            }
        }
    }
    for (const picture& p : pictures) (void)remove(p.path.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) return time_loads();
    if (argc == 3 && strcmp(argv[1], "write") == 0) return write_pictures(argv[2]);
    if (argc == 5 && strcmp(argv[1], "count") == 0)
        return count_loads(argv[2], argv[3], atoi(argv[4]));
    (void)fputs("usage: picture_load_bench [write DIR | count FILE 32|16|stb N]\n", stderr);
    return 2;
}
