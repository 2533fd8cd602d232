// Shared by the fuzz targets: bytes as a file, and an in-memory screen.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "framebuffer.h"

// The bytes as a file the reader can open by path (a memfd, no disk).
class memory_file {
public:
    memory_file(const uint8_t* data, size_t size) {
        fd_ = memfd_create("fuzz", 0);
        if (fd_ < 0 || (size > 0 && write(fd_, data, size) != static_cast<ssize_t>(size))) abort();
        snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd_);
    }
    ~memory_file() { close(fd_); }
    memory_file(const memory_file&) = delete;
    memory_file& operator=(const memory_file&) = delete;
    const char* path() const { return path_; }

private:
    int fd_;
    char path_[32];
};

// Points the framebuffer globals at a heap screen (ASan sees every byte past it).
class fuzz_screen {
public:
    fuzz_screen(int xres, int yres, int bits)
        : bytes_(static_cast<size_t>(xres) * yres * (bits / 8)) {
        fbvar = fb_var_screeninfo{};
        fbvar.xres = static_cast<uint32_t>(xres);
        fbvar.yres = static_cast<uint32_t>(yres);
        fbvar.bits_per_pixel = static_cast<uint32_t>(bits);
        fbvar.red = {11, 5, 0};
        fbvar.green = {5, 6, 0};
        fbvar.blue = {0, 5, 0};
        fbmem = bytes_.data();
        buffersize = static_cast<uint32_t>(bytes_.size());
    }
    ~fuzz_screen() {
        fbmem = nullptr;
        buffersize = 0;
    }
    fuzz_screen(const fuzz_screen&) = delete;
    fuzz_screen& operator=(const fuzz_screen&) = delete;

private:
    std::vector<uint8_t> bytes_;
};
