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
              "y-resolution-vritual: 0\nbpp: 0\n");
    EXPECT_EQ(err.rfind("fb0 dev mmap: ", 0), 0u) << err;
    EXPECT_EQ(fbmem, nullptr);
    fb_exit();
    unlink(DEVICE);
}

TEST(FbMap, MapsTheVisibleAreaOnly) {
    open_device_file(64 * 1024, 16, 8);
    ASSERT_GE(fbfd, 0);
    testing::internal::CaptureStdout();
    ASSERT_EQ(fb_map(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "x-resolution: 16\ny-resolution: 8\nx-resolution-virtual: 16\n"
              "y-resolution-vritual: 16\nbpp: 32\n");
    EXPECT_EQ(buffersize, 16u * 8 * 4);
    ASSERT_NE(fbmem, nullptr);
    fbmem[buffersize - 1] = 0x5A;  // writes through to the device
    fb_exit();
    fbmem = nullptr;
    EXPECT_EQ(read_text_file(DEVICE)[16 * 8 * 4 - 1], 0x5A);
    unlink(DEVICE);
}

}  // namespace
