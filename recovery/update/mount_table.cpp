#include "mount_table.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

const mount_flag MOUNT_FLAGS[] = {
    {0x0001, "ro", MS_RDONLY},         {0x0002, "nosuid", MS_NOSUID},
    {0x0004, "nodev", MS_NODEV},       {0x0008, "noexec", MS_NOEXEC},
    {0x0010, "sync", MS_SYNCHRONOUS},  {0x0040, "mand", MS_MANDLOCK},
    {0x0400, "noatime", MS_NOATIME},   {0x0800, "nodiratime", MS_NODIRATIME},
    {0x1000, "relatime", MS_RELATIME},
};
const size_t MOUNT_FLAG_COUNT = sizeof MOUNT_FLAGS / sizeof MOUNT_FLAGS[0];

namespace {

// Bytes of the longest line read; a mount point takes at most 4 bytes a
// character escaped.
constexpr size_t LINE_SIZE = 4096;

// Cuts the next space-separated field off *line; nullptr when none is left.
char* next_field(char** line) {
    char* start = *line + strspn(*line, " ");
    if (*start == '\0') return nullptr;
    char* end = start + strcspn(start, " ");
    if (*end != '\0') *end++ = '\0';
    *line = end;
    return start;
}

bool octal(char c) {
    return c >= '0' && c <= '7';
}

// Decodes the table's escapes (\040 space, \011 tab, \012 newline, \134
// backslash) in place.
void decode(char* path) {
    char* out = path;
    for (const char* in = path; *in != '\0';) {
        if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && octal(in[2]) && octal(in[3])) {
            *out++ = static_cast<char>(((in[1] - '0') << 6) | ((in[2] - '0') << 3) | (in[3] - '0'));
            in += 4;
        } else {
            *out++ = *in++;
        }
    }
    *out = '\0';
}

// The options of a line's mount when it is on mount_point; nullptr otherwise.
const char* line_options(char* line, const char* mount_point) {
    char* rest = line;
    const char* device = next_field(&rest);
    char* point = next_field(&rest);
    const char* type = next_field(&rest);
    const char* options = next_field(&rest);
    if (device == nullptr || point == nullptr || type == nullptr || options == nullptr) {
        return nullptr;
    }
    decode(point);
    return strcmp(point, mount_point) == 0 ? options : nullptr;
}

}  // namespace

bool mount_option_has(const char* options, const char* option) {
    const size_t length = strlen(option);
    for (const char* at = options;; ++at) {
        const size_t word = strcspn(at, ",");
        if (word == length && strncmp(at, option, length) == 0) return true;
        at += word;
        if (*at == '\0') return false;
    }
}

int mount_table_options(const char* table, const char* mount_point, char* options, size_t size) {
    const int fd = open(table, O_RDONLY | O_CLOEXEC);
    char* buffer = fd >= 0 ? static_cast<char*>(malloc(LINE_SIZE + 1)) : nullptr;
    int found = -1;
    size_t used = 0;
    bool passing = false;  // over a line too long to read whole
    for (ssize_t n = 1; buffer != nullptr && n > 0;) {
        n = read(fd, buffer + used, LINE_SIZE - used);
        if (n < 0 && errno == EINTR) {
            n = 1;
            continue;
        }
        used += n > 0 ? static_cast<size_t>(n) : 0;
        if (n <= 0 && used > 0) buffer[used++] = '\n';  // a last line without its end
        size_t start = 0;
        for (char* end; (end = static_cast<char*>(memchr(buffer + start, '\n', used - start)));) {
            *end = '\0';
            const char* on_point = passing ? nullptr : line_options(buffer + start, mount_point);
            if (on_point != nullptr) {
                (void)snprintf(options, size, "%s", on_point);
                found = 0;
            }
            passing = false;
            start = static_cast<size_t>(end - buffer) + 1;
        }
        memmove(buffer, buffer + start, used - start);
        used -= start;
        if (used == LINE_SIZE) {
            passing = true;
            used = 0;
        }
    }
    free(buffer);
    if (fd >= 0) (void)close(fd);
    return found;
}

long mount_table_flags(const char* table, const char* mount_point) {
    char* options = static_cast<char*>(malloc(LINE_SIZE));
    long flags = -1;
    if (options != nullptr && mount_table_options(table, mount_point, options, LINE_SIZE) == 0) {
        flags = 0;
        for (size_t i = 0; i < MOUNT_FLAG_COUNT; ++i) {
            if (mount_option_has(options, MOUNT_FLAGS[i].option)) {
                flags |= static_cast<long>(MOUNT_FLAGS[i].flag);
            }
        }
    }
    free(options);
    return flags;
}
