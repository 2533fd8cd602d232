// fb_init and fb_exit against the real system calls, at the compiled-in path.
#include "framebuffer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "support/sandbox.h"

namespace {

constexpr const char* DEVICE = "/dev/graphics/fb0";

// Runs fb_init from a fresh state, expecting it to fail; returns what it printed.
std::string failing_init() {
    fbfd = -1;
    fbmem = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(fb_init(), -1);
    return testing::internal::GetCapturedStderr();
}

TEST(FbInit, MissingDeviceIsReportedAndNothingStaysOpen) {
    unlink(DEVICE);
    const int before = open_descriptor_count();
    EXPECT_EQ(failing_init(), "fb0 dev open: No such file or directory\n");
    EXPECT_LT(fbfd, 0);
    fb_exit();  // nothing to unmap or close
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST(FbInit, DeviceThatIsNotAFramebufferFailsTheQuery) {
    write_text_file(DEVICE, "not a framebuffer");
    const int before = open_descriptor_count();
    EXPECT_EQ(failing_init(), "fb0 dev ioctl: Inappropriate ioctl for device\n");
    EXPECT_GE(fbfd, 0) << "the descriptor stays open for fb_exit";
    EXPECT_EQ(open_descriptor_count(), before + 1);
    EXPECT_EQ(descriptors_kept_across_exec(DEVICE), 0) << "shell commands inherit none";
    fb_exit();
    EXPECT_EQ(open_descriptor_count(), before);
    unlink(DEVICE);
}

// fbfd open on a plain file of `size` bytes, and a screen of w x h at 32 bits.
void open_device_file(size_t size, uint32_t w, uint32_t h) {
    write_text_file(DEVICE, std::string(size, '\0'));
    fbfd = open(DEVICE, O_RDWR);
    fbmem = nullptr;
    fbvar = fb_var_screeninfo{};
    fbvar.xres = fbvar.xres_virtual = w;
    fbvar.yres = h;
    fbvar.yres_virtual = 2 * h;
    fbvar.bits_per_pixel = w > 0 ? 32 : 0;
}

TEST(FbMap, FailedMappingIsReportedAndLeavesNoMapping) {
    // A regular file maps, but not with zero bytes: a screen of size 0 fails.
    open_device_file(0, 0, 0);
    ASSERT_GE(fbfd, 0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(fb_map(), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out,
              "x-resolution: 0\ny-resolution: 0\nx-resolution-virtual: 0\n"
              "y-resolution-vritual: 0\nbpp: 0\n"
              "row pitch: 0, visible from byte 0, red at bit 0, green at 0, blue at 0\n");
    EXPECT_EQ(err.rfind("fb0 dev mmap: ", 0), 0u) << err;
    EXPECT_EQ(fbmem, nullptr);
    fb_exit();
    unlink(DEVICE);
}

// The device memory is mapped from its start to the visible screen's end:
// 16 x 8 at 32 bits, rows 64 bytes (or the reported line length) apart.
TEST(FbMap, MapsUpToTheVisibleScreensEndAndSaysWhereItLies) {
    const struct {
        uint32_t line_length, xoffset, yoffset;
        uint32_t mapped;
        const char* layout;
    } cases[] = {
        {0, 0, 0, 16 * 8 * 4, "row pitch: 64, visible from byte 0"},
        {48, 0, 0, 16 * 8 * 4, "row pitch: 64, visible from byte 0"},  // shorter than a row
        {80, 0, 0, 7 * 80 + 64, "row pitch: 80, visible from byte 0"},
        {0, 0, 8, 8 * 64 + 7 * 64 + 64, "row pitch: 64, visible from byte 512"},  // panned
        {96, 2, 3, 3 * 96 + 8 + 7 * 96 + 64, "row pitch: 96, visible from byte 296"},
        {0, 0, 9, 16 * 8 * 4, "row pitch: 64, visible from byte 0"},  // past the virtual screen
        {0, 1, 0, 16 * 8 * 4, "row pitch: 64, visible from byte 0"},  // into the next row
    };
    for (const auto& c : cases) {
        open_device_file(64 * 1024, 16, 8);
        ASSERT_GE(fbfd, 0);
        fbfix.line_length = c.line_length;
        fbvar.xoffset = c.xoffset;
        fbvar.yoffset = c.yoffset;
        fbvar.xres_virtual = 16 + c.xoffset;
        fbvar.red = {16, 8, 0};
        fbvar.green = {8, 8, 0};
        fbvar.blue = {0, 8, 0};
        testing::internal::CaptureStdout();
        ASSERT_EQ(fb_map(), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "x-resolution: 16\ny-resolution: 8\nx-resolution-virtual: " +
                      std::to_string(16 + c.xoffset) + "\ny-resolution-vritual: 16\nbpp: 32\n" +
                      c.layout + ", red at bit 16, green at 8, blue at 0\n");
        EXPECT_EQ(buffersize, c.mapped) << c.layout;
        ASSERT_NE(fbmem, nullptr);
        fbmem[buffersize - 1] = 0x5A;  // writes through to the device
        fb_exit();
        fbmem = nullptr;
        fbfix = fb_fix_screeninfo{};
        EXPECT_EQ(read_text_file(DEVICE)[c.mapped - 1], 0x5A);
        unlink(DEVICE);
    }
}

// What the driver's memory allows: smem_start's offset into its page is
// honoured; a visible page past smem_len is drawn on the first page, panned
// there; a first page that does not fit is refused with its line.
TEST(FbMap, TheMappingFitsTheDriversMemory) {
    const uint32_t page = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
    const struct {
        unsigned long smem_start;
        uint32_t smem_len, yoffset;
        uint32_t first_byte;  // of the visible screen in the device file; 0: refused
        bool panned;          // to the first page
    } cases[] = {
        {0x10000100, 0, 0, 256, false},     // unaligned
        {0x10000100, 600, 8, 256, true},    // a stale yoffset: the first page
        {0x10000000, 1024, 8, 512, false},  // the second page fits
        {0x10000000, 0, 8, 512, false},     // unknown memory: as reported
        {0x10000000, 511, 0, 0, false},     // not even the first page
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.smem_start << " " << c.smem_len << " " << c.yoffset);
        open_device_file(2 * page, 16, 8);  // 16 x 8 at 32 bits: 512 bytes a page
        fbfix.smem_start = c.smem_start;
        fbfix.smem_len = c.smem_len;
        fbvar.yoffset = c.yoffset;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int mapped = fb_map();
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        if (c.first_byte == 0) {
            EXPECT_EQ(mapped, -1);
            EXPECT_EQ(err,
                      "fb0 dev mmap: the screen (512 bytes) does not fit in the driver's memory "
                      "(511 bytes)\n");
            EXPECT_EQ(fbmem, nullptr);
        } else {
            ASSERT_EQ(mapped, 0) << err;
            const uint32_t from = c.first_byte - c.smem_start % page;
            EXPECT_NE(out.find("visible from byte " + std::to_string(from)), std::string::npos)
                << out;
            // A plain file refuses the pan, and says so.
            EXPECT_EQ(out.find("FBIOPAN_DISPLAY refused") != std::string::npos, c.panned) << out;
            const screen_layout screen = fb_layout();
            ASSERT_NE(screen.origin, nullptr);
            screen.origin[0] = 0x5A;
            screen.origin[(screen.height - 1) * screen.pitch + screen.width * 4 - 1] = 0x3C;
        }
        fb_exit();
        fbmem = nullptr;
        fbfix = fb_fix_screeninfo{};
        if (c.first_byte != 0) {
            const std::string device = read_text_file(DEVICE);
            EXPECT_EQ(device.find_first_not_of('\0'), c.first_byte) << "nothing drawn before it";
            EXPECT_EQ(device.find_last_not_of('\0'), c.first_byte + 511);
            EXPECT_EQ(device[c.first_byte + 511], 0x3C);
        }
        unlink(DEVICE);
    }
}

}  // namespace
