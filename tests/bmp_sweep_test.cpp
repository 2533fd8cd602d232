// Every header field of real files set in turn to the values that break
// readers: the open fails or stays within its buffers and the size cap.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bmplib.h"
#include "support/bmp_builder.h"
#include "support/test_paths.h"

namespace {

std::vector<uint8_t> read_all(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    uint8_t buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + n);
    fclose(f);
    return bytes;
}

std::vector<std::string> corpus() {
    std::vector<std::string> files;
    const std::string dir = std::string(ZQ_SOURCE_DIR) + "/fuzz/corpus/bmp";
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            if (std::string(e->d_name).find(".bmp") != std::string::npos)
                files.push_back(dir + "/" + e->d_name);
        }
        closedir(d);
    }
    files.push_back(std::string(ZQ_MEDIA_DIR) + "/inconsolata_20px_ffffff.bmp");
    return files;
}

TEST(BmpSweep, EveryHeaderFieldAtEveryEdgeValue) {
    const auto files = corpus();
    ASSERT_GE(files.size(), 30u);
    struct field {
        size_t offset;
        int width;
    };
    const field fields[] = {{2, 4},  {10, 4}, {14, 4}, {18, 4}, {22, 4}, {26, 2},
                            {28, 2}, {30, 4}, {34, 4}, {54, 4}, {58, 4}, {62, 4}};
    int opened = 0;
    int tried = 0;
    for (const std::string& path : files) {
        const std::vector<uint8_t> original = read_all(path);
        const uint32_t past_end = static_cast<uint32_t>(original.size()) + 1;
        for (const field& f : fields) {
            if (f.offset + f.width > original.size()) continue;
            for (const uint32_t value : {0u, 1u, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, past_end}) {
                std::vector<uint8_t> bytes = original;
                if (f.width == 4) {
                    put_le32(bytes, f.offset, value);
                } else {
                    put_le16(bytes, f.offset,
                             static_cast<uint16_t>(value == 0x7FFFFFFFu   ? 0x7FFF
                                                   : value == 0x80000000u ? 0x8000
                                                                          : value));
                }
                ++tried;
                bmp_image* image = bmp_open(write_scratch_file("sweep.bmp", bytes).c_str());
                if (image == nullptr) continue;
                ++opened;
                const int32_t w = bmp_width(image);
                const int32_t h = bmp_height(image);
                if (int64_t{w} * h <= (1 << 16)) {
                    std::vector<uint32_t> row(static_cast<size_t>(w));
                    for (int32_t y = 0; y < h; ++y) {
                        bmp_getspan(image, 0, y, w, row.data());
                        ASSERT_EQ(row[static_cast<size_t>(w - 1)], bmp_getpixel(image, w - 1, y));
                    }
                }
                bmp_close(image);
            }
        }
    }
    RecordProperty("tried", tried);
    RecordProperty("opened", opened);
    EXPECT_GT(opened, tried / 10) << "many edits still open, so the readers are exercised";
}

}  // namespace
