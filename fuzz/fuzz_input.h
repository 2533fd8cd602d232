// Shared by the fuzz targets: bytes as a file the reader can open.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

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
