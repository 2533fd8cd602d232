#include "sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "test_paths.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtime's own count (it replaces the allocator).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace {

[[noreturn]] void fail(const char* what, const std::string& path) {
    fprintf(stderr, "sandbox: %s %s: %s\n", what, path.c_str(), strerror(errno));
    abort();
}

void bind(const std::string& from, const std::string& to) {
    if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        fail("bind", from);
    }
}

// Mirrors a top-level entry of the host root: a link as a link, a directory bound.
void mirror(const std::string& root, const char* name) {
    const std::string host = std::string("/") + name;
    struct stat st {};
    if (lstat(host.c_str(), &st) != 0) return;
    const std::string inside = root + host;
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        const ssize_t n = readlink(host.c_str(), target, sizeof target - 1);
        if (n < 0) fail("readlink", host);
        target[n] = '\0';
        if (symlink(target, inside.c_str()) != 0) fail("symlink", inside);
    } else if (S_ISDIR(st.st_mode)) {
        if (mkdir(inside.c_str(), 0755) != 0) fail("mkdir", inside);
        bind(host, inside);
    }
}

// Binds a host file or directory at the same path inside root, if it exists.
void bind_same(const std::string& root, const std::string& path) {
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0) return;
    const std::string inside = root + path;
    if (S_ISDIR(st.st_mode)) {
        if (!make_dirs(inside)) fail("mkdir", inside);
    } else {
        const int fd = open(inside.c_str(), O_CREAT | O_WRONLY, 0666);
        if (fd < 0) fail("create", inside);
        close(fd);
    }
    bind(path, inside);
}

}  // namespace

bool make_dirs(const std::string& path, unsigned mode) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
        }
    }
    return true;
}

void remove_tree(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0755);
        if (DIR* dir = opendir(path.c_str())) {
            while (const dirent* e = readdir(dir)) {
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
                    remove_tree(path + "/" + e->d_name);
                }
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void write_text_file(const std::string& path, const std::string& text, unsigned mode) {
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, mode);
    if (fd < 0) fail("create", path);
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        fail("write", path);
    }
    close(fd);
    chmod(path.c_str(), mode);
}

std::string read_text_file(const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return text;
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    fclose(f);
    return text;
}

int open_descriptor_count() {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) count += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
    return count;
}

int descriptors_kept_across_exec(const std::string& prefix) {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        const int flags = fcntl(fd, F_GETFD);
        char target[256] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        if (flags == -1 || readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
        if (std::string(target).rfind(prefix, 0) == 0 && (flags & FD_CLOEXEC) == 0) ++count;
    }
    return count;
}

size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;  // blocks in the arenas and mapped ones
#endif
}

void sandbox_enter() {
    if (geteuid() != 0) {
        fprintf(stderr, "sandbox: these tests run as root (mount namespaces, chroot)\n");
        abort();
    }
    if (unshare(CLONE_NEWNS) != 0) fail("unshare", "mount namespace");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("private", "/");

    char root_template[] = "/tmp/zq-sandbox-XXXXXX";
    if (mkdtemp(root_template) == nullptr) fail("mkdtemp", root_template);
    const std::string root = root_template;
    if (mount("tmpfs", root.c_str(), "tmpfs", 0, "mode=755") != 0) fail("tmpfs", root);

    for (const char* name :
         {"usr", "etc", "proc", "sys", "bin", "sbin", "lib", "lib32", "lib64", "libx32", "run"}) {
        mirror(root, name);
    }
    const std::string dev = root + "/dev";
    mkdir(dev.c_str(), 0755);
    if (mount("tmpfs", dev.c_str(), "tmpfs", 0, "mode=755") != 0) fail("tmpfs", dev);
    for (const char* name : {"null", "zero", "full", "random", "urandom", "tty"}) {
        bind_same(root, std::string("/dev/") + name);
    }
    for (const char* dir : {"/dev/input", "/dev/graphics", "/dev/block", "/dev/shm", "/tmp"}) {
        make_dirs(root + dir, 01777);
    }
    const std::string tmp = root + "/tmp";
    if (mount("tmpfs", tmp.c_str(), "tmpfs", 0, "mode=1777") != 0) fail("tmpfs", tmp);
    bind_same(root, ZQ_SOURCE_DIR);
    bind_same(root, ZQ_BUILD_DIR);

    if (chroot(root.c_str()) != 0) fail("chroot", root);
    if (chdir("/") != 0) fail("chdir", "/");
}
