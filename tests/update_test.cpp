// The update walk with real files, at the compiled-in destinations.
#include "update.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "console.h"
#include "file_install.h"
#include "framebuffer.h"
#include "mount_table.h"
#include "program_threads.h"
#include "recovery.h"
#include "remount.h"
#include "storage_limits.h"
#include "support/fake_framebuffer.h"
#include "support/run_program.h"
#include "support/sandbox.h"
#include "support/screen_reader.h"
#include "support/syscall_faults.h"
#include "support/test_paths.h"
#include "support/wait_until.h"
#include "update_commit.h"
#include "update_manifest.h"
#include "update_paths.h"
#include "update_run.h"

namespace {

const std::string ROOT = "/sdcard/zq/update00";

// Leaves exactly `free_slots` descriptor numbers below the process's limit
// for the walk, so that its (free_slots + 1)th open fails with EMFILE.
class descriptor_budget {
public:
    explicit descriptor_budget(int free_slots) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit tight = saved_;
        tight.rlim_cur = LIMIT;
        setrlimit(RLIMIT_NOFILE, &tight);
        for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) held_.push_back(fd);
        for (int i = 0; i < free_slots; ++i) {
            close(held_.back());
            held_.pop_back();
        }
    }
    ~descriptor_budget() {
        for (int fd : held_) close(fd);
        setrlimit(RLIMIT_NOFILE, &saved_);
    }

private:
    static constexpr rlim_t LIMIT = 64;
    rlimit saved_{};
    std::vector<int> held_;
};

class UpdateWalk : public testing::Test {
protected:
    void SetUp() override {
        screen_ = std::make_unique<guarded_screen>(800, 200 * 22, 32);
        ASSERT_TRUE(load_test_font(font_20px));
        // Fresh, empty trees for every test.
        for (const char* dir : {"/sdcard", "/system", "/data"}) {
            while (umount2(dir, MNT_DETACH) == 0) {
            }
            make_dirs(dir);
            ASSERT_EQ(mount("tmpfs", dir, "tmpfs", 0, "mode=755"), 0) << dir;
        }
        ASSERT_TRUE(make_dirs(ROOT));
        selected_menu = 1;
        posx = posy = console_offsetY = 0;
        umask(022);
        descriptors_ = open_descriptor_count();
    }
    void TearDown() override {
        EXPECT_EQ(open_descriptor_count(), descriptors_) << "the walk closes what it opens";
        free_font(font_20px);
        screen_.reset();
    }

    void file(const std::string& relative, const std::string& content) {
        const std::string path = ROOT + "/" + relative;
        make_dirs(path.substr(0, path.rfind('/')));
        write_text_file(path, content);
    }

    // Runs the walk; returns what it printed on standard output.
    std::string walk() {
        testing::internal::CaptureStdout();
        update_install(ROOT.c_str());
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }

    // Runs the walk with its standard output thrown away (nothing held in
    // memory); with free_slots >= 0, that many descriptors left to it.
    void walk_quietly(int free_slots = -1) {
        fflush(stdout);
        const int saved = dup(1);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        close(null_fd);
        {
            std::optional<descriptor_budget> budget;
            if (free_slots >= 0) budget.emplace(free_slots);
            update_install(ROOT.c_str());
        }
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }

    std::vector<std::string> screen_lines() {
        return screen_read_lines(screen_->view(), font_20px, 0);
    }
    bool screen_has(const std::string& line) {
        const auto lines = screen_lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    std::unique_ptr<guarded_screen> screen_;
    int descriptors_ = 0;
};

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// An extended attribute's value, or "(none)".
std::string attribute(const std::string& path, const char* name) {
    char value[256];
    const ssize_t n = getxattr(path.c_str(), name, value, sizeof value);
    return n < 0 ? "(none)" : std::string(value, static_cast<size_t>(n));
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// Merged into what is there: nothing deleted, existing directories keep their mode.
TEST_F(UpdateWalk, TakesOnlySystemAndDataAtTheTopAndEverythingBelow) {
    ASSERT_TRUE(make_dirs("/system/app"));
    chmod("/system/app", 0700);
    write_text_file("/system/app/keep.txt", "kept");
    write_text_file("/system/app/x.apk", "a much longer old content");
    file("system/app/x.apk", "apk");
    file("system/empty", "");
    file("system/data/system/deep.txt", "deep");  // the names again, deeper
    file("data/d.txt", "d");
    file("boot/boot.img", "boot");
    file("systemx", "not a tree");
    const std::string out = walk();
    EXPECT_EQ(read_text_file("/system/app/x.apk"), "apk");
    EXPECT_EQ(read_text_file("/system/data/system/deep.txt"), "deep");
    EXPECT_EQ(read_text_file("/data/d.txt"), "d");
    EXPECT_FALSE(exists("/boot"));
    EXPECT_FALSE(exists("/systemx"));
    EXPECT_EQ(out.find("boot"), std::string::npos) << "boot is not even printed";
    EXPECT_NE(out.find(ROOT + "/system/app/x.apk to /system/app/x.apk\n"), std::string::npos);
    EXPECT_TRUE(screen_has("create dir /system/app"));
    EXPECT_TRUE(screen_has("/system/app/x.apk copied 3 bytes."));
    EXPECT_TRUE(screen_has("/data/d.txt copied 1 bytes."));
    EXPECT_TRUE(screen_has("/system/empty copied 0 bytes."));
    EXPECT_EQ(read_text_file("/system/app/keep.txt"), "kept");
    EXPECT_EQ(mode_of("/system/app"), 0700u) << "an existing directory keeps its mode";
    EXPECT_EQ(mode_of("/system/data/system"), 0775u) << "new directories get 0775";
}

// Names below dir that an update must not leave: its temporary and staged
// names and its commit records.
std::vector<std::string> leftovers(const std::string& dir) {
    std::vector<std::string> found;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return found;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = dir + "/" + name;
        if (name.rfind(INSTALL_TEMP_NAME, 0) == 0 || name.rfind(".zq-update", 0) == 0)
            found.push_back(path);
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            for (auto& p : leftovers(path)) found.push_back(p);
        }
    }
    closedir(d);
    return found;
}

struct owner_mode {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    bool operator==(const owner_mode&) const = default;
};

owner_mode owner_mode_of(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return {st.st_uid, st.st_gid, st.st_mode & 07777};
}

// Every file is installed by replacement: a running program, a file another
// process holds open, a link into a multi-call binary, owners and modes.
TEST_F(UpdateWalk, ReplacesFilesThatRunAreHeldOpenOrLinkedKeepingOwnerAndMode) {
    ASSERT_TRUE(make_dirs("/system/bin") && make_dirs("/system/lib") && make_dirs("/system/etc"));
    // A running program: a copy of a host program, executing from /system.
    write_text_file("/system/bin/prog", read_text_file("/bin/sleep"), 0755);
    // The pipe's write end closes with the exec: then the program runs.
    int exec_pipe[2];
    ASSERT_EQ(pipe2(exec_pipe, O_CLOEXEC), 0);
    const pid_t running = fork();
    if (running == 0) {
        execl("/system/bin/prog", "prog", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(running, 0);
    close(exec_pipe[1]);
    char byte;
    ASSERT_EQ(read(exec_pipe[0], &byte, 1), 0) << "the program runs";
    close(exec_pipe[0]);
    write_text_file("/system/bin/toolbox", "multi-call binary", 0755);
    ASSERT_EQ(symlink("toolbox", "/system/bin/reboot"), 0);
    // The platform's labels, on a program and on the file a link leads to; only labels go over.
    const uint32_t capability[5] = {0x02000001, 1u << 12, 0, 0, 0};  // v2: CAP_NET_ADMIN
    const std::string zygote = "u:object_r:zygote_exec:s0",
                      caps(reinterpret_cast<const char*>(capability), 20);
    const std::tuple<const char*, const char*, std::string, const char*, std::string> labels[] = {
        {"bin/prog", "security.selinux", zygote, "bin/prog", zygote},
        {"bin/toolbox", "security.capability", caps, "bin/reboot", caps},
        {"bin/toolbox", "user.other", "x", "bin/reboot", "(none)"}};
    for (const auto& [on, name, value, checked, want] : labels) {
        ASSERT_EQ(
            setxattr(("/system/" + std::string(on)).c_str(), name, value.data(), value.size(), 0),
            0);
    }
    write_text_file("/system/lib/held.so", "old library");
    const int held = open("/system/lib/held.so", O_RDONLY);
    write_text_file("/system/etc/owned.conf", "old owned", 0750);
    ASSERT_EQ(link("/system/etc/owned.conf", "/system/etc/other-name.conf"), 0);
    ASSERT_EQ(chown("/system/etc/owned.conf", 1000, 1001), 0);
    file("system/bin/prog", "new program");
    file("system/bin/reboot", "new reboot");
    file("system/lib/held.so", "new library");
    file("system/etc/owned.conf", "new owned");
    file("system/etc/new.conf", "new");
    umask(0);  // as Android's init starts services
    const std::string out = walk();

    for (const char* name : {"bin/prog", "bin/reboot", "lib/held.so", "etc/owned.conf"}) {
        const std::string path = std::string("/system/") + name;
        EXPECT_TRUE(screen_has(path + " copied " +
                               std::to_string(read_text_file(ROOT + path).size()) + " bytes."))
            << path << testing::PrintToString(screen_lines());
        EXPECT_TRUE(read_text_file(path) == read_text_file(ROOT + path)) << path;
    }
    EXPECT_EQ(kill(running, 0), 0) << "the program goes on running";
    kill(running, SIGKILL);
    waitpid(running, nullptr, 0);
    char old[32] = {};
    EXPECT_EQ(read(held, old, sizeof old - 1), 11);
    EXPECT_STREQ(old, "old library") << "a process holding the file reads the old one";
    close(held);
    EXPECT_EQ(read_text_file("/system/bin/toolbox"), "multi-call binary");
    EXPECT_EQ(owner_mode_of("/system/bin/reboot"), (owner_mode{0, 0, 0755}))
        << "the link became a file with its target's mode";
    for (const auto& [on, name, value, checked, want] : labels) {
        EXPECT_EQ(attribute("/system/" + std::string(checked), name), want)
            << checked << " " << name;
    }
    EXPECT_EQ(attribute("/system/etc/new.conf", "security.selinux"), "(none)");
    EXPECT_EQ(owner_mode_of("/system/etc/owned.conf"), (owner_mode{1000, 1001, 0750}));
    EXPECT_NE(out.find("/system/etc/owned.conf had 2 names: the others keep the old content\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(read_text_file("/system/etc/other-name.conf"), "old owned");
    EXPECT_EQ(owner_mode_of("/system/etc/new.conf"), (owner_mode{0, 0, 0644})) << "umask 0";
    EXPECT_EQ(leftovers("/system"), std::vector<std::string>{});
}

// A partition too full for the old and the new file at once: the replacement
// goes in place where it fits into the old file's room and what is free, and
// says so; one that does not fit leaves the old file whole, and a new file
// that does not fit leaves nothing behind.
TEST_F(UpdateWalk, FullPartitionWritesInPlaceWhatCannotFitTwice) {
    ASSERT_EQ(mount("tmpfs", "/system", "tmpfs", 0, "size=256k"), 0);
    write_text_file("/system/big.bin", std::string(160 * 1024, 'o'), 0640);
    file("system/big.bin", std::string(150 * 1024, 'n'));
    file("system/more.bin", std::string(200 * 1024, 'm'));
    walk();
    EXPECT_TRUE(screen_has("/system/big.bin copied 153600 bytes."))
        << testing::PrintToString(screen_lines());
    EXPECT_TRUE(screen_has("/system/big.bin written in place: not enough room for two."));
    EXPECT_EQ(read_text_file("/system/big.bin"), std::string(150 * 1024, 'n'));
    EXPECT_EQ(mode_of("/system/big.bin"), 0640u);
    EXPECT_TRUE(screen_has("write /system/more.bin failed. No space left on device"));
    for (const auto& line : screen_lines()) EXPECT_NE(line.rfind("/system/more.bin copied", 0), 0u);
    EXPECT_FALSE(exists("/system/more.bin"));
    EXPECT_EQ(leftovers("/system"), std::vector<std::string>{});

    remove_tree(ROOT + "/system");
    remove_tree("/system/big.bin");
    write_text_file("/system/small.bin", std::string(100 * 1024, 'o'));
    file("system/small.bin", std::string(300 * 1024, 'n'));  // more than the partition
    walk();
    EXPECT_TRUE(screen_has("write /system/small.bin failed. No space left on device"))
        << testing::PrintToString(screen_lines());
    EXPECT_EQ(read_text_file("/system/small.bin"), std::string(100 * 1024, 'o'));
    EXPECT_EQ(leftovers("/system"), std::vector<std::string>{});
    umount2("/system", MNT_DETACH);
}

// A file held to a hash takes effect only with those bytes, on every road:
// replaced, staged, and written in place (hashed on the card first).
TEST_F(UpdateWalk, AFileHeldToAHashTakesEffectOnlyWithItsBytes) {
    ASSERT_EQ(mount("tmpfs", "/system", "tmpfs", 0, "size=256k"), 0);
    const std::string content(150 * 1024, 'n');
    sha256_state sum;
    char hash[SHA256_HEX_SIZE];
    sha256_init(&sum);
    sha256_feed(&sum, content.data(), content.size());
    sha256_finish(&sum, hash);
    file("new.bin", content);
    const std::string source = ROOT + "/new.bin";
    const struct {
        install_road road;
        std::string old;  // 160 KiB: no room for two, so the replacement goes in place
        bool matches;
    } cases[] = {
        {INSTALL_REPLACE, "old", true},
        {INSTALL_REPLACE, "old", false},
        {INSTALL_STAGE, "old", false},
        {INSTALL_REPLACE, std::string(160 * 1024, 'o'), true},
        {INSTALL_REPLACE, std::string(160 * 1024, 'o'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.road) + (c.matches ? " matching" : " not matching") +
                     std::to_string(c.old.size()));
        write_text_file("/system/x.bin", c.old);
        char temporary[1024];
        static char buffer[128 * 1024];
        std::string other = hash;
        other[0] = other[0] == '0' ? '1' : '0';
        install_request request{
            source.c_str(), "/system/x.bin",  c.road, 1,
            temporary,      sizeof temporary, buffer, sizeof buffer,
            nullptr,        nullptr,          false,  c.matches ? hash : other.c_str()};
        install_result result{};
        EXPECT_EQ(install_file(&request, &result), c.matches ? 0 : -1);
        EXPECT_EQ(result.step, c.matches ? INSTALL_DONE : INSTALL_NOT_AS_LISTED) << result.error;
        EXPECT_EQ(result.in_place, c.matches && c.old.size() > 1000);
        const bool replaced = c.matches && c.road == INSTALL_REPLACE;
        EXPECT_EQ(read_text_file("/system/x.bin") == content, replaced);
        EXPECT_EQ(read_text_file("/system/x.bin") == c.old, !replaced);
        if (c.road == INSTALL_STAGE) continue;
        EXPECT_EQ(leftovers("/system"), std::vector<std::string>{});
    }
    umount2("/system", MNT_DETACH);
}

// The in-kernel copy cannot say which side failed; the buffered copy that
// takes over does: a source that cannot be read (here a directory) is named
// as the source, and the old file stays whole.
TEST_F(UpdateWalk, ACopyThatCannotReadNamesTheSource) {
    write_text_file("/system/lib.so", "old and whole");
    char temporary[1024];
    static char buffer[4096];
    install_result result{};
    const install_request request{"/sdcard", "/system/lib.so", INSTALL_REPLACE, 0,
                                  temporary, sizeof temporary, buffer,          sizeof buffer,
                                  nullptr,   nullptr};
    EXPECT_EQ(install_file(&request, &result), -1);
    EXPECT_EQ(result.step, INSTALL_READ_SOURCE);
    EXPECT_EQ(result.error, EISDIR);
    EXPECT_EQ(read_text_file("/system/lib.so"), "old and whole");
    EXPECT_EQ(leftovers("/system"), std::vector<std::string>{});
}

// What a cut or the device left in the way: a leftover under the temporary
// name is removed (a link there is removed, not followed); what cannot be
// removed, and a destination that leads to a directory, fail the file with
// the old one whole.
TEST_F(UpdateWalk, WhatStandsInTheWayOfTheNewFileIsRemovedOrLeftWhole) {
    file("new.so", "new");
    write_text_file("/data/kept", "kept");
    enum { LEFT_FILE, LEFT_LINK, LEFT_DIRECTORY, LINK_TO_A_DIRECTORY };
    const struct {
        int in_the_way;
        install_road road;
        install_step step;
        int error;
        const char* holds;  // what the destination reads; nullptr: still the link
    } rows[] = {
        {LEFT_FILE, INSTALL_REPLACE, INSTALL_DONE, 0, "new"},
        {LEFT_LINK, INSTALL_STAGE, INSTALL_DONE, 0, "old"},
        {LEFT_DIRECTORY, INSTALL_REPLACE, INSTALL_OPEN_TARGET, EEXIST, "old"},
        {LINK_TO_A_DIRECTORY, INSTALL_REPLACE, INSTALL_OPEN_TARGET, EISDIR, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.in_the_way);
        const std::string left =
            row.road == INSTALL_STAGE ? "/system/.zq-installing.1" : "/system/.zq-installing";
        write_text_file("/system/lib.so", "old");
        if (row.in_the_way == LEFT_FILE) write_text_file(left, "cut");
        if (row.in_the_way == LEFT_LINK) symlink("/data/kept", left.c_str());
        if (row.in_the_way == LEFT_DIRECTORY) make_dirs(left + "/x");
        if (row.in_the_way == LINK_TO_A_DIRECTORY) {
            unlink("/system/lib.so"), symlink("/data", "/system/lib.so");
        }
        char temporary[1024] = "";
        static char buffer[4096];
        const std::string source = ROOT + "/new.so";
        const install_request request{source.c_str(), "/system/lib.so", row.road, 1,
                                      temporary,      sizeof temporary, buffer,   sizeof buffer,
                                      nullptr,        nullptr};
        install_result result{};
        install_file(&request, &result);
        EXPECT_EQ(result.step, row.step);
        EXPECT_EQ(result.error, row.error);
        const bool kept = row.road == INSTALL_STAGE || row.in_the_way == LEFT_DIRECTORY;
        EXPECT_EQ(leftovers("/system"),
                  kept ? std::vector<std::string>{left} : std::vector<std::string>{});
        struct stat st {};
        const bool link = lstat("/system/lib.so", &st) == 0 && S_ISLNK(st.st_mode);
        EXPECT_EQ(link, row.holds == nullptr);
        EXPECT_EQ(link ? "" : read_text_file("/system/lib.so"), row.holds ? row.holds : "");
        EXPECT_EQ(row.road == INSTALL_STAGE ? read_text_file(left) : "new", "new");
        EXPECT_EQ(read_text_file("/data/kept"), "kept");
        remove_tree(left), unlink("/system/lib.so");
    }
}

// A write that fails part-way (here: the file size limit) leaves the old
// file whole and no temporary file.
TEST_F(UpdateWalk, FailedWriteLeavesTheOldFileWhole) {
    write_text_file("/system/lib.so", "old and whole");
    file("system/lib.so", std::string(64 * 1024, 'n'));
    signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 16 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    walk();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_TRUE(screen_has("write /system/lib.so failed. File too large"))
        << testing::PrintToString(screen_lines());
    EXPECT_EQ(read_text_file("/system/lib.so"), "old and whole");
    EXPECT_EQ(leftovers("/system"), std::vector<std::string>{});
}

// The walk's decisions (shared with zqbmp update-check) against what each
// entry must come to: the names taken at the top and below, the file types,
// an entry that cannot be looked at, and the path length at its limit.
TEST(UpdateDecide, EachEntryComesToWhatTheWalkMustDoWithIt) {
    const std::string sys = ROOT + "/system";
    const std::string deep = sys + "/" + std::string(1022 - sys.size() - 2, 'd');  // 1021 bytes
    struct decision {
        std::string directory;
        std::string name;
        int depth;
        mode_t mode;  // of the entry; 0: lstat fails with EACCES
        update_choice choice;
        std::string destination;  // checked unless the entry is ignored or too long
    };
    const decision table[] = {
        {ROOT, "system", 0, S_IFDIR, UPDATE_DIRECTORY, "/system"},
        {ROOT, "data", 0, S_IFDIR, UPDATE_DIRECTORY, "/data"},
        {ROOT, "boot", 0, S_IFDIR, UPDATE_IGNORED, ""},
        {ROOT, "systemx", 0, S_IFREG, UPDATE_IGNORED, ""},
        {ROOT, ".", 0, S_IFDIR, UPDATE_IGNORED, ""},
        {sys, "..", 1, S_IFDIR, UPDATE_IGNORED, ""},
        {sys, "data", 1, S_IFDIR, UPDATE_DIRECTORY, "/system/data"},
        {sys, "boot", 1, S_IFREG, UPDATE_FILE, "/system/boot"},
        {sys, "link", 1, S_IFLNK, UPDATE_OTHER, "/system/link"},
        {sys, "fifo", 1, S_IFIFO, UPDATE_OTHER, "/system/fifo"},
        {sys, "null", 1, S_IFCHR, UPDATE_OTHER, "/system/null"},
        {sys, "secret", 1, 0, UPDATE_UNREADABLE, "/system/secret"},
        {sys, ".zq-installing.1", 1, S_IFREG, UPDATE_RESERVED, "/system/.zq-installing.1"},
        {sys, ".zq-update", 1, S_IFDIR, UPDATE_RESERVED, "/system/.zq-update"},
        {deep, "f", 2, S_IFREG, UPDATE_FILE, deep.substr(ROOT.size()) + "/f"},  // 1023 bytes
        {deep, "ff", 2, S_IFREG, UPDATE_PATH_TOO_LONG, ""},                     // 1024 bytes
        {"/sdcard", "system", 1, S_IFDIR, UPDATE_PATH_TOO_LONG, ""},            // outside the root
    };
    char source[TEXT_BUFFER_SIZE];
    char destination[TEXT_BUFFER_SIZE];
    for (const decision& d : table) {
        SCOPED_TRACE(d.directory.substr(0, 40) + " / " + d.name);
        update_entry entry{source, destination, {}, 0};
        mode_t mode = d.mode;
        const update_stat_function stat_entry = [](const char*, struct stat* st, void* context) {
            st->st_mode = *static_cast<mode_t*>(context);
            errno = EACCES;
            return st->st_mode == 0 ? -1 : 0;
        };
        EXPECT_EQ(update_decide(d.directory.c_str(), d.name.c_str(), d.depth, ROOT.size(),
                                stat_entry, &mode, &entry),
                  d.choice);
        if (!d.destination.empty()) {
            EXPECT_EQ(std::string(destination), d.destination);
        }
        EXPECT_EQ(entry.error, d.choice == UPDATE_UNREADABLE ? EACCES : 0);
    }
}

// A card holding the installer's own names (a copy of a device taken
// mid-update): each is refused and counted, none of them becomes a staged
// file or a record, and nothing else is installed.
TEST_F(UpdateWalk, RefusesTheNamesTheInstallerKeepsForItself) {
    const char* const reserved[] = {"system/lib/.zq-installing.1", "system/lib/.zq-installing.2",
                                    "data/.zq-update", "data/.zq-update.new"};
    for (const char* name : reserved) file(name, name);
    file("system/lib/real.so", "real");
    walk();
    for (const char* name : reserved) {
        EXPECT_TRUE(screen_has("reserved name, skipped " + ROOT + "/" + name)) << name;
    }
    EXPECT_FALSE(exists("/system/lib/real.so"));
    EXPECT_TRUE(screen_has("0 installed, 5 not installed."))
        << testing::PrintToString(screen_lines());
    EXPECT_EQ(leftovers("/system"), std::vector<std::string>{});
    EXPECT_EQ(leftovers("/data"), std::vector<std::string>{});
}

TEST_F(UpdateWalk, SkipsLinksFifosAndDeviceNodes) {
    file("system/real.txt", "real");
    ASSERT_EQ(symlink("real.txt", (ROOT + "/system/link").c_str()), 0);
    ASSERT_EQ(symlink("/etc", (ROOT + "/system/dirlink").c_str()), 0);
    ASSERT_EQ(mkfifo((ROOT + "/system/fifo").c_str(), 0644), 0);
    ASSERT_EQ(mknod((ROOT + "/system/null").c_str(), S_IFCHR | 0644, makedev(1, 3)), 0);
    const std::string out = walk();
    EXPECT_EQ(read_text_file("/system/real.txt"), "real");
    for (const char* name : {"link", "dirlink", "fifo", "null"}) {
        EXPECT_FALSE(exists(std::string("/system/") + name)) << name;
        EXPECT_NE(out.find(ROOT + "/system/" + name + " to /system/" + name), std::string::npos);
    }
}

// Byte-exact however the kernel moves the data: in one in-kernel move, or in
// the pieces a write may take.
TEST_F(UpdateWalk, CopiesManyFilesByteExact) {
    std::mt19937 rng(5);
    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 0; i < 150; ++i) {
        std::string content(rng() % 20000, '\0');
        for (auto& c : content) c = static_cast<char>(rng());
        const std::string name = (i % 2 ? "system/lib/" : "data/app/") + std::to_string(i) + ".bin";
        file(name, content);
        files.emplace_back(name, content);
    }
    file("system/lib/sub/sub2/big.bin", std::string(3 * 4096 + 17, 'x'));
    for (const bool pieces : {false, true}) {
        SCOPED_TRACE(pieces ? "in pieces" : "in the kernel");
        short_writes = pieces;
        // Some 300 lines: the driver is told of the growing screen at most every
        // 100 ms, however long the walk takes.
        fbfd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        fake_framebuffer_pans = 0;
        const auto began = std::chrono::steady_clock::now();
        walk();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - began)
                            .count();
        short_writes = false;
        close(fbfd);
        fbfd = -1;
        EXPECT_GE(fake_framebuffer_pans, 1);
        EXPECT_LE(fake_framebuffer_pans, ms / 100 + 2) << ms << " ms";
        for (const auto& [name, content] : files) {
            ASSERT_TRUE(read_text_file("/" + name) == content) << name;
        }
        EXPECT_EQ(read_text_file("/system/lib/sub/sub2/big.bin"), std::string(3 * 4096 + 17, 'x'));
        remove_tree("/system/lib"), remove_tree("/data/app");
    }
}

// A link to a directory where a directory goes is followed (a partition of
// its own, as /system/vendor often is).
TEST_F(UpdateWalk, ALinkToADirectoryIsFollowed) {
    ASSERT_TRUE(make_dirs("/data/vendor"));
    ASSERT_EQ(symlink("/data/vendor", "/system/vendor"), 0);
    file("system/vendor/lib.so", "lib");
    const std::string out = walk();
    EXPECT_EQ(read_text_file("/data/vendor/lib.so"), "lib");
    EXPECT_NE(out.find("/system/vendor leads to /data/vendor\n"), std::string::npos) << out;
}

// A read-only file system below /data, which the update does not remount.
TEST_F(UpdateWalk, ReadOnlyDestinationFailsEachEntryAndAbandonsTheLevelOnMkdir) {
    const auto read_only = [] {
        ASSERT_TRUE(make_dirs("/data/ro"));
        ASSERT_EQ(mount("tmpfs", "/data/ro", "tmpfs", MS_RDONLY, nullptr), 0);
    };
    read_only();
    for (const char* name : {"a", "b", "c", "d", "e", "f"})
        file(std::string("data/ro/") + name, name);
    file("data/ro/sub/x.txt", "x");
    for (const char* name : {"g", "h", "i", "j", "k", "l"})
        file(std::string("data/ro/") + name, name);
    file("system/ok.txt", "ok");
    walk();
    EXPECT_TRUE(screen_has("mkdir /data/ro/sub failed. Read-only file system"))
        << testing::PrintToString(screen_lines());
    // The entries the directory yields before sub fail one by one; the rest
    // of the level is abandoned.
    bool after = false;
    DIR* dir = opendir((ROOT + "/data/ro").c_str());
    while (const dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "sub") after = true;
        if (name.size() != 1 || name == ".") continue;
        EXPECT_EQ(screen_has("fopen /data/ro/" + name + " failed. Read-only file system"), !after)
            << name;
    }
    closedir(dir);
    EXPECT_FALSE(exists("/system/ok.txt")) << "the walk goes on, and nothing takes effect";
    const auto lines = screen_lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& l) {
        return l.rfind("0 installed, ", 0) == 0;
    })) << testing::PrintToString(lines);
    umount2("/data/ro", MNT_DETACH);

    remove_tree("/sdcard/zq/update00/data/ro");
    read_only();
    file("data/ro/y.txt", "y");
    walk();
    EXPECT_TRUE(screen_has("fopen /data/ro/y.txt failed. Read-only file system"));
    umount2("/data/ro", MNT_DETACH);
}

// Files the walk cannot open are named and skipped, and nothing stays open:
// the record and two directories open, then the source fails; two more (the
// destination's file system watched, the source), then the destination.
TEST_F(UpdateWalk, FilesThatCannotBeOpenedAreReportedAndSkipped) {
    file("system/a.txt", "a");
    walk_quietly(3);
    EXPECT_TRUE(screen_has("fopen " + ROOT + "/system/a.txt failed. Too many open files"))
        << testing::PrintToString(screen_lines());
    EXPECT_FALSE(exists("/system/a.txt"));
    walk_quietly(5);
    EXPECT_TRUE(screen_has("fopen /system/a.txt failed. Too many open files"))
        << testing::PrintToString(screen_lines());
    EXPECT_FALSE(exists("/system/a.txt"));
}

TEST_F(UpdateWalk, MissingRootSaysTheCardHoldsNoTree) {
    remove_tree(ROOT);
    walk();
    EXPECT_EQ(screen_lines(),
              (std::vector<std::string>{"the card holds no update tree at /sdcard/zq/update00.",
                                        "done."}));
    EXPECT_EQ(leftovers("/data"), std::vector<std::string>{}) << "no record is begun";
    // A tree without system or data (names compare exactly) says so.
    file("SYSTEM/a.txt", "a");
    fb_clear();
    posx = posy = 0;
    walk();
    EXPECT_EQ(screen_lines(),
              (std::vector<std::string>{"the update tree holds neither system nor data", "done."}));
}

// The manifest of {name under the update root: bytes, or "" with a trailing slash: a directory}.
void seal(const std::vector<std::pair<std::string, std::string>>& entries) {
    FILE* out = fopen((ROOT + "/zq-manifest").c_str(), "w");
    manifest_writer writer;
    manifest_write_begin(&writer, out);
    for (const auto& [name, bytes] : entries) {
        if (name.back() == '/') {
            manifest_write_directory(&writer, name.substr(0, name.size() - 1).c_str());
            continue;
        }
        sha256_state sum;
        char hex[SHA256_HEX_SIZE];
        sha256_init(&sum);
        sha256_feed(&sum, bytes.data(), bytes.size());
        sha256_finish(&sum, hex);
        manifest_write_file(&writer, name.c_str(), bytes.size(), hex);
    }
    ASSERT_EQ(manifest_write_end(&writer), 0);
    fclose(out);
}

// A sealed tree installs as the card holds it; one that differs from its
// manifest, or whose manifest is damaged, installs nothing.
TEST_F(UpdateWalk, ASealedTreeInstallsOnlyAsItsManifestListsIt) {
    // The lines that wrap at 800 pixels, by their start.
    const std::string refused = "the card does not hold the tree its manifest lists";
    const struct {
        const char* what;
        std::function<void()> change;  // after the seal
        std::vector<std::string> lines;
    } cases[] = {
        {"as sealed", [] {}, {"checked against the card's manifest: 5 entries"}},
        {"cut short",
         [this] { file("system/lib/a.so", "he"); },
         {"/system/lib/a.so: 2 bytes on the card, 5 in the manifest", refused}},
        {"a file gone",
         [] { unlink((ROOT + "/data/b.txt").c_str()); },
         {"/data/b.txt: in the manifest, not on the card", refused}},
        {"six desktop files",
         [this] {
             for (int i = 0; i < 6; ++i) file("system/._" + std::to_string(i), "x");
         },
         {"and 2 more differences", refused}},
        {"bytes changed, not their size",
         [this] { file("system/lib/a.so", "hellp"); },
         {"/system/lib/a.so: its bytes are not the manifest's",
          "nothing installed, the device is unchanged: /system/lib/a.so"}},
        {"manifest damaged",
         [] { truncate((ROOT + "/zq-manifest").c_str(), 40); },
         {"the card's manifest is damaged: cut short or changed", refused}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        remove_tree("/system/lib");
        remove_tree("/data/b.txt");
        remove_tree(ROOT);
        file("system/lib/a.so", "hello");
        file("data/b.txt", "");
        seal({{"system/", ""},
              {"system/lib/", ""},
              {"system/lib/a.so", "hello"},
              {"data/", ""},
              {"data/b.txt", ""}});
        c.change();
        fb_clear();
        posx = posy = console_offsetY = 0;
        walk();
        std::string shown;
        for (const std::string& line : screen_lines()) shown += "\n" + line;
        for (const std::string& line : c.lines) {
            EXPECT_NE(shown.find("\n" + line), std::string::npos) << line << shown;
        }
        const bool installs = c.lines[0][0] == 'c';
        EXPECT_EQ(exists("/system/lib/a.so"), installs) << shown;
        EXPECT_EQ(exists("/data/b.txt"), installs) << shown;
        EXPECT_EQ(leftovers("/system"), std::vector<std::string>{});
    }
}

// The screen at each reading of the slow clock.
std::vector<std::vector<std::string>> clock_shots;
const guarded_screen* watched_screen = nullptr;

// A long file's work shows how far it has gone on the line its result then
// takes, redrawn there and never scrolled; it leaves the screen a quick copy
// leaves. An update that staged more than 4 MiB says so before its flush.
TEST_F(UpdateWalk, ALongCopyShowsItsProgressInPlaceAndLeavesTheScreenAsAQuickOne) {
    const struct {
        const char* what;
        size_t mib;
        bool sealed;
        std::vector<std::string> progress;  // the phases' words seen, in order
    } cases[] = {
        {"6 MiB", 6, false, {"copying"}},
        {"6 MiB, sealed", 6, true, {"copying", "checking"}},
        {"3 MiB: done within a second", 3, false, {}},
    };
    watched_screen = screen_.get();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        remove_tree(ROOT);
        const std::string big(c.mib << 20, 'b');
        file("system/a.txt", "a");
        file("system/big.bin", big);
        if (c.sealed) seal({{"system/", ""}, {"system/a.txt", "a"}, {"system/big.bin", big}});
        const auto run = [&](long long step) {
            remove_tree("/system/big.bin");
            fb_clear();
            posx = posy = console_offsetY = 0;
            clock_shots.clear();
            clock_step_ms = step;
            clock_watch = [] {
                clock_shots.push_back(screen_read_lines(watched_screen->view(), font_20px));
            };
            walk();
            clock_step_ms = 0;
            clock_watch = nullptr;
            return screen_->visible_bytes();
        };
        const std::vector<uint8_t> quick = run(0);
        const std::vector<uint8_t> slow = run(300);  // 300 ms at each reading
        EXPECT_TRUE(slow == quick) << "the progress leaves nothing behind";
        const std::vector<std::string> shown = screen_lines();
        const auto copied =
            std::find(shown.begin(), shown.end(),
                      "/system/big.bin copied " + std::to_string(big.size()) + " bytes.");
        ASSERT_NE(copied, shown.end());
        const auto row = static_cast<size_t>(copied - shown.begin());
        EXPECT_EQ(std::find(shown.begin(), shown.end(), "writing to storage...") != shown.end(),
                  c.mib > 4);
        std::vector<std::string> phases;
        for (const auto& shot : clock_shots) {
            if (shot.size() <= row || shot[row].rfind("/system/big.bin ", 0) != 0) continue;
            const std::string line = shot[row].substr(16);
            if (line.rfind("copied", 0) == 0) continue;
            EXPECT_EQ(shot.size(), row + 1) << "nothing below the progress: " << line;
            EXPECT_TRUE(std::equal(shown.begin(), copied, shot.begin())) << line;
            const std::string word = line.substr(0, line.find(':'));
            if (phases.empty() || phases.back() != word) phases.push_back(word);
        }
        EXPECT_EQ(phases, c.progress);
    }
}

TEST_F(UpdateWalk, OverLongPathsAreSkippedByNameAndNothingIsInstalled) {
    // Three nested 255-character names, then a file whose source path takes
    // 1023 bytes (it fits) and one of 1024 (it does not).
    std::string dir = ROOT + "/system";
    for (int level = 0; level < 3; ++level) {
        dir += "/" + std::string(255, static_cast<char>('a' + level));
        ASSERT_TRUE(make_dirs(dir));
    }
    ASSERT_EQ(dir.size() + 1 + 228, 1023u);
    write_text_file(dir + "/" + std::string(228, 'f'), "fits");
    write_text_file(dir + "/" + std::string(229, 'z'), "too long");
    walk();
    walk();  // again: its first line must start a line of its own
    const std::string dest = dir.substr(ROOT.size());
    EXPECT_FALSE(exists(dest + "/" + std::string(228, 'f')));
    EXPECT_FALSE(exists(dest + "/" + std::string(229, 'z')));
    // The skip is reported, cut to fit its 1024-byte buffer but keeping its
    // line end: 1022 characters on 80-column lines, the last holding 62, and
    // whatever comes next starts a line of its own.
    const auto lines = screen_lines();
    const auto skip = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("path too long, skipped /sdcard/zq/update00/system/", 0) == 0;
    });
    ASSERT_GE(std::distance(skip, lines.end()), 13) << testing::PrintToString(lines);
    EXPECT_EQ(skip[12].size(), 62u) << skip[12];
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "0 installed, 2 not installed."), 2);
}

// The walk on a thread with the worker's stack: every level keeps its buffers
// off the stack. A 1 KiB buffer in each level's frame overflows it;
// sanitizers' larger frames get more.
void walk_on_small_stack() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, ZQ_SANITIZED ? 1024 * 1024 : WORKER_STACK_BYTES);
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attr,
                  [](void*) -> void* {
                      update_install(ROOT.c_str());
                      return nullptr;
                  },
                  nullptr),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

// As deep as a 1024-byte source path allows.
TEST_F(UpdateWalk, DeepTreeIsWalkedToItsBottomWithoutCrashing) {
    ASSERT_TRUE(make_dirs(ROOT + "/system"));
    ASSERT_EQ(chdir((ROOT + "/system").c_str()), 0);
    constexpr int LEVELS = 496;  // root, "/system", 496 times "/d", "/file": 1023 bytes
    for (int level = 0; level <= LEVELS; ++level) {
        if (level == 10 || level == LEVELS) write_text_file("file", "deep");
        if (level == LEVELS) break;
        ASSERT_EQ(mkdir("d", 0755), 0);
        ASSERT_EQ(chdir("d"), 0);
    }
    ASSERT_EQ(chdir("/"), 0);
    testing::internal::CaptureStdout();
    walk_on_small_stack();
    fflush(stdout);
    testing::internal::GetCapturedStdout();
    std::string path = "/system";
    for (int i = 0; i < LEVELS; ++i) {
        path += "/d";
        if (i == 9) {
            EXPECT_EQ(read_text_file(path + "/file"), "deep");
        }
    }
    ASSERT_EQ(ROOT.size() + path.size() + 5, 1023u);
    EXPECT_EQ(read_text_file(path + "/file"), "deep");
}

// Writes count small files in directories of 100 below the update root.
void many_files(const std::string& top, int count) {
    for (int i = 0; i < count; ++i) {
        const std::string dir = ROOT + "/" + top + "/d" + std::to_string(i / 100);
        if (i % 100 == 0) {
            ASSERT_TRUE(make_dirs(dir));
        }
        write_text_file(dir + "/f" + std::to_string(i), std::to_string(i));
    }
}

// The walk's memory does not grow with the tree: the most heap in use at any
// system call of the install road is the same for 5,500 files as for 500.
TEST_F(UpdateWalk, HeapStaysFlatWhateverTheFileCount) {
    screen_ = std::make_unique<guarded_screen>(320, 240, 16);  // a line for every entry
    free_font(font_20px);
    ASSERT_TRUE(load_test_font(font_20px));
    size_t growth[2];
    for (const int files : {500, 5000}) {
        many_files(files == 500 ? "data" : "system", files);
        const size_t before = heap_in_use();
        faults_arm(FAULT_CALLS, 0, 0);
        walk_quietly();
        faults_disarm();
        growth[files == 500 ? 0 : 1] = faults_peak_heap() - before;
    }
    EXPECT_EQ(read_text_file("/system/d49/f4999"), "4999");
    EXPECT_EQ(read_text_file("/data/d4/f499"), "499");
    EXPECT_LT(growth[1], growth[0] + 16 * 1024) << growth[0] << " bytes for 500 files";
}

}  // namespace

// Kernels before 2.6.36 report no mount flags in statfs: with this set, the
// product's statfs answers as they do. The sandbox's tmpfs partitions stand
// for ext4, but where memory_data names a type (tmpfs, ramfs) for /data.
static bool statfs_without_flags = false;
static unsigned long memory_data = 0;
extern "C" int __real_statfs64(const char* path, struct statfs64* st);
extern "C" int __wrap_statfs64(const char* path, struct statfs64* st) {
    const int result = __real_statfs64(path, st);
    if (result == 0 && statfs_without_flags) st->f_flags = 0;
    if (result == 0 && st->f_type == TMPFS_MAGIC) st->f_type = EXT4_SUPER_MAGIC;
    if (result == 0 && memory_data != 0 && strcmp(path, "/data") == 0) {
        st->f_type = static_cast<decltype(st->f_type)>(memory_data);
    }
    return result;
}

namespace {

bool read_only(const char* path) {
    struct statvfs st {};
    return statvfs(path, &st) == 0 && (st.f_flag & ST_RDONLY) != 0;
}

std::string remount(void (*step)(remount_state*), remount_state* state) {
    testing::internal::CaptureStdout();
    step(state);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

void restore(remount_state* state) {
    remount_restore(state);
}

// Old kernels' mount flags, from the table of mounts: options as whole
// words, escaped mount points, the last mount on a point, an overlong line.
TEST(MountTable, OptionsAreWholeWordsOfTheLastMountOnThePoint) {
    const std::string overlong = "/dev/x " + std::string(5000, 'x') + " /system ext4 ro 0 0\n";
    const struct {
        std::string table;
        const char* point;
        long flags;
    } cases[] = {
        {"/dev/a /system ext4 rw,errors=remount-ro 0 0\n", "/system", 0},
        {"/dev/a /system ext4 rw,dirsync,suid 0 0\n", "/system", 0},
        {"/dev/a /system ext4 ro,nosuid,nodev,relatime 0 0\n", "/system",
         MS_RDONLY | MS_NOSUID | MS_NODEV | MS_RELATIME},
        {"/dev/a /sys\\040tem ext4 ro 0 0\n", "/sys tem", MS_RDONLY},
        {"/dev/a /system ext4 ro 0 0\n/dev/b /system ext4 rw,sync 0 0", "/system", MS_SYNCHRONOUS},
        {"/dev/a /system/x ext4 ro 0 0\n", "/system", -1},
        {overlong + "/dev/a /data ext4 ro,noexec 0 0\n", "/data", MS_RDONLY | MS_NOEXEC},
        {overlong, "/system", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table.substr(0, 60));
        write_text_file("/tmp/mounts", c.table);
        EXPECT_EQ(mount_table_flags("/tmp/mounts", c.point), c.flags);
    }
    EXPECT_EQ(mount_table_flags("/tmp/no-such-table", "/system"), -1);
}

// /system read-only as Android mounts it (the file system, or only the mount
// point), /data read-write: the update makes /system writable and puts it
// back, also when a file it replaced is still open; also on kernels whose
// statfs has no mount flags (the flags then come from /proc/mounts).
TEST_F(UpdateWalk, ReadOnlySystemIsRemountedForTheWalkAndPutBack) {
    for (const int variant : {0, 1, 2, 3}) {
        const bool bind = (variant & 1) != 0;
        statfs_without_flags = (variant & 2) != 0;
        SCOPED_TRACE(bind ? "read-only mount point" : "read-only file system");
        SCOPED_TRACE(statfs_without_flags ? "no flags in statfs" : "flags in statfs");
        ASSERT_EQ(mount("tmpfs", "/system", "tmpfs", 0, "mode=755"), 0);
        if (bind) {
            ASSERT_EQ(mount("/system", "/system", nullptr, MS_BIND, nullptr), 0);
            ASSERT_EQ(mount(nullptr, "/system", nullptr,
                            MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID, nullptr),
                      0);
        } else {
            ASSERT_EQ(
                mount(nullptr, "/system", nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID, nullptr), 0);
        }
        ASSERT_TRUE(read_only("/system"));
        remount_state state{};
        EXPECT_EQ(remount(remount_writable, &state), "remounted /system read-write\n");
        EXPECT_FALSE(read_only("/system"));
        EXPECT_FALSE(read_only("/data"));
        // A replaced file still open: the file system cannot go back read-only.
        write_text_file("/system/open.so", "open");
        const int fd = open("/system/open.so", O_RDONLY);
        unlink("/system/open.so");
        EXPECT_EQ(remount(restore, &state), "remounted /system read-only\n");
        EXPECT_TRUE(read_only("/system"));
        EXPECT_FALSE(read_only("/data"));
        struct statvfs st {};
        statvfs("/system", &st);
        EXPECT_NE(st.f_flag & ST_NOSUID, 0u) << "the other mount flags stay";
        close(fd);
        while (umount2("/system", MNT_DETACH) == 0) {
        }
    }
    statfs_without_flags = false;
    remount_state untouched{};
    EXPECT_EQ(remount(remount_writable, &untouched), "") << "nothing read-only, nothing said";
    EXPECT_EQ(remount(restore, &untouched), "");
    // The update itself, onto a read-only /system.
    ASSERT_EQ(mount("tmpfs", "/system", "tmpfs", MS_RDONLY, "mode=755"), 0);
    file("system/x.txt", "x");
    const std::string out = walk();
    EXPECT_EQ(read_text_file("/system/x.txt"), "x");
    EXPECT_TRUE(read_only("/system"));
    EXPECT_NE(out.find("remounted /system read-only\n"), std::string::npos) << out;
}

}  // namespace

namespace {

// One update of every kind of entry, for the fault and cut tables: replaced
// and new files, a large one, a labelled one, new directories, both partitions.
struct scenario_file {
    const char* path;
    std::string old_content;  // empty: no old file
    std::string new_content;
};
const std::vector<scenario_file> SCENARIO = {
    {"/system/app/a.apk", "old a", "new a"},
    {"/system/lib/big.so", std::string(100 * 1024, 'o'), std::string(200 * 1024, 'n')},
    {"/system/etc/label.conf", "old label", "new label"},
    {"/system/new/sub/y.txt", "", "new y"},
    {"/system/new/z.txt", "", "new z"},
    {"/data/d.txt", "", "new d"},
    {"/data/old.txt", "old", "new"},
};
const char* const LABEL = "u:object_r:system_file:s0";

enum class road { all_or_nothing, file_by_file };

class UpdateFaults : public UpdateWalk, public testing::WithParamInterface<road> {
protected:
    void SetUp() override {
        UpdateWalk::SetUp();
        screen_.reset();
        screen_ = std::make_unique<guarded_screen>(1600, 32 * 22,
                                                   32);  // read once per run; no line wraps
        for (const auto& f : SCENARIO) file(std::string(f.path).substr(1), f.new_content);
    }

    // The old tree; on the file-by-file road /system has room for no more
    // than about 120 KiB at once, so that big.so is written in place.
    void old_tree() {
        for (const char* dir : {"/system", "/data"}) {
            while (umount2(dir, MNT_DETACH) == 0) {
            }
        }
        const char* size = GetParam() == road::file_by_file ? "mode=755,size=512k" : "mode=755";
        ASSERT_EQ(mount("tmpfs", "/system", "tmpfs", 0, size), 0);
        ASSERT_EQ(mount("tmpfs", "/data", "tmpfs", 0, "mode=755"), 0);
        for (const auto& f : SCENARIO) {
            if (f.old_content.empty()) continue;
            const std::string path = f.path;
            make_dirs(path.substr(0, path.rfind('/')));
            write_text_file(path, f.old_content);
        }
        ASSERT_EQ(setxattr("/system/etc/label.conf", "security.selinux", LABEL, strlen(LABEL), 0),
                  0);
        if (GetParam() == road::file_by_file)
            write_text_file("/system/filler", std::string(284 * 1024, 'f'));
    }

    // "old" or "new" per file, or what else it holds.
    std::vector<std::string> states() {
        std::vector<std::string> found;
        for (const auto& f : SCENARIO) {
            const bool present = exists(f.path);
            const std::string content = present ? read_text_file(f.path) : "";
            const bool labelled = std::string(f.path) != "/system/etc/label.conf" ||
                                  attribute(f.path, "security.selinux") == LABEL;
            found.push_back(present && content == f.new_content && labelled ? "new"
                            : (present ? content == f.old_content : f.old_content.empty())
                                ? "old"
                                : std::string(f.path) + " holds " + content.substr(0, 16));
        }
        return found;
    }

    std::vector<std::string> leftovers() {
        std::vector<std::string> found = ::leftovers("/system");
        for (auto& p : ::leftovers("/data")) found.push_back(p);
        return found;
    }

    // update_install as the menu runs it, and the next start's update_resume;
    // what they print.
    static std::string printed(const std::function<void()>& run) {
        testing::internal::CaptureStdout();
        run();
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
    static std::string install() {
        return printed([] { update_install(ROOT.c_str()); });
    }
    static std::string next_start() { return printed(update_resume); }
    void clear_screen() {
        fb_clear();
        posx = posy = console_offsetY = 0;
    }
};

bool all_are(const std::vector<std::string>& states, const char* state) {
    return std::all_of(states.begin(), states.end(), [&](const auto& s) { return s == state; });
}

// The path a failure line names ("<verb> <path> failed. <reason>"), or "".
std::string failed_path_in(const std::string& line) {
    const size_t space = line.find(' ');
    const size_t failed = line.find(" failed. ");
    return space != std::string::npos && failed != std::string::npos && failed > space
               ? line.substr(space + 1, failed - space - 1)
               : "";
}

// Every call of the install road fails in turn, the first time and each later
// time it is made: each file ends old or new, what the screen says of it is
// what it holds, the failure names the side it happened on, the tally counts
// it, and nothing temporary stays behind.
TEST_P(UpdateFaults, EveryFailingCallLeavesEachFileOldOrNewAndTheScreenTrue) {
    old_tree();
    faults_arm(FAULT_CALLS, 0, 0);
    install();
    faults_disarm();
    ASSERT_TRUE(all_are(states(), "new")) << testing::PrintToString(screen_lines());
    long calls[FAULT_CALLS];
    for (int c = 0; c < FAULT_CALLS; ++c) calls[c] = faults_seen(static_cast<fault_call>(c));
    EXPECT_GT(calls[FAULT_SYNC], 0);
    const std::string reason = strerror(EIO);
    for (int c = 0; c < FAULT_SYNC; ++c) {
        for (long nth = 1; nth <= calls[c]; ++nth) {
            SCOPED_TRACE(std::string(FAULT_CALL_NAMES[c]) + " #" + std::to_string(nth));
            old_tree();
            clear_screen();
            faults_arm(static_cast<fault_call>(c), nth, EIO);
            const std::string out = install();
            faults_disarm();
            const std::string failed = faults_failed_path();
            const auto installed = states();
            next_start();
            const auto lines = screen_lines();
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines.back(), "done.");
            const auto now = states();
            // An update that could not be committed: nothing takes effect.
            const bool not_committed = std::any_of(lines.begin(), lines.end(), [](const auto& l) {
                return l.rfind("0 installed, ", 0) == 0;
            });
            // The card's manifest could not be read: nothing was begun.
            const bool refused = std::any_of(lines.begin(), lines.end(), [](const auto& l) {
                return l.rfind("the card does not hold the tree", 0) == 0;
            });
            // Committed, with what could not be renamed left to the next start, which ran.
            const bool pending = std::find(lines.begin(), lines.end(),
                                           "the next start finishes this update.") != lines.end();
            int installed_files = 0;
            for (size_t i = 0; i < SCENARIO.size(); ++i) {
                const std::string path = SCENARIO[i].path;
                const bool damaged = std::find(lines.begin(), lines.end(),
                                               path +
                                                   " may be damaged: it was being written in "
                                                   "place.") != lines.end();
                if (damaged) continue;
                EXPECT_TRUE(now[i] == "old" || now[i] == "new") << now[i];
                const bool said_copied =
                    std::any_of(lines.begin(), lines.end(),
                                [&](const auto& l) { return l.rfind(path + " copied ", 0) == 0; });
                // A failure names the file, or a new directory it was to go in.
                const bool said_failed =
                    std::any_of(lines.begin(), lines.end(), [&](const auto& l) {
                        const std::string named = failed_path_in(l);
                        return !named.empty() && (path + "/").rfind(named + "/", 0) == 0;
                    });
                EXPECT_EQ(now[i] == "new",
                          pending || (said_copied && !said_failed && !not_committed && !refused))
                    << path << testing::PrintToString(lines);
                installed_files += installed[i] == "new";
            }
            // Nothing took effect: one line says so, naming the first failure again.
            const std::string nothing = "nothing installed, the device is unchanged: ";
            const auto said_nothing = std::find_if(lines.begin(), lines.end(), [&](const auto& l) {
                return l.rfind(nothing, 0) == 0;
            });
            EXPECT_EQ(said_nothing != lines.end(),
                      not_committed && !pending && GetParam() == road::all_or_nothing)
                << testing::PrintToString(lines);
            if (said_nothing != lines.end()) {
                EXPECT_NE(
                    std::find(lines.begin(), said_nothing, said_nothing->substr(nothing.size())),
                    said_nothing);
            }
            int failure_lines = 0;
            for (const auto& line : lines) {
                if (line.size() < reason.size() || line.rfind(nothing, 0) == 0 ||
                    line.substr(line.size() - reason.size()) != reason) {
                    continue;
                }
                ++failure_lines;
                const bool names_card = failed_path_in(line).rfind("/sdcard", 0) == 0;
                if (!failed.empty()) {
                    EXPECT_EQ(names_card, failed.rfind("/sdcard", 0) == 0)
                        << line << " / " << failed;
                }
            }
            // The files in place when the update ended (an abandoned level's are
            // not counted one by one among those not installed).
            const std::string tally = std::to_string(installed_files) + " installed, ";
            const bool tallied = std::any_of(lines.begin(), lines.end(),
                                             [&](const auto& l) { return l.rfind(tally, 0) == 0; });
            EXPECT_TRUE(tallied || refused || installed_files == static_cast<int>(SCENARIO.size()))
                << testing::PrintToString(lines);
            EXPECT_LE(failure_lines, 2) << testing::PrintToString(lines);
            // All or nothing: a failure anywhere before the commit point leaves the whole tree old.
            if (GetParam() == road::all_or_nothing && failure_lines > 0 && !pending) {
                EXPECT_TRUE(all_are(now, "old")) << testing::PrintToString(lines);
            }
            EXPECT_EQ(leftovers(), std::vector<std::string>{}) << failed;
        }
    }
}

// A cut before each call of the update in turn, then the next start: the
// whole tree is old or new (on the file-by-file road each file is, but for
// the one the next start names as written in place), and the next start says
// which it made of it.
TEST_P(UpdateFaults, ACutAnywhereThenTheNextStartLeavesTheTreeOldOrNew) {
    for (long cut = 1;; ++cut) {
        SCOPED_TRACE("cut before call " + std::to_string(cut));
        old_tree();
        fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            const int null_fd = open("/dev/null", O_WRONLY);
            dup2(null_fd, 1);
            faults_arm(FAULT_CALLS, 0, 0, cut);
            update_install(ROOT.c_str());
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 0) {
            EXPECT_GT(cut, 20) << "the update makes calls to cut before";
            EXPECT_TRUE(all_are(states(), "new"));
            break;
        }
        ASSERT_EQ(WEXITSTATUS(status), FAULT_CUT_STATUS);
        const std::string said = next_start();
        const auto now = states();
        if (GetParam() == road::all_or_nothing) {
            EXPECT_TRUE(all_are(now, "old") || all_are(now, "new")) << testing::PrintToString(now);
            if (said.find("finished an interrupted update") != std::string::npos) {
                EXPECT_TRUE(all_are(now, "new"));
            } else if (!said.empty()) {
                EXPECT_NE(said.find("removed an interrupted update: no file had changed."),
                          std::string::npos)
                    << said;
                EXPECT_TRUE(all_are(now, "old"));
            }
        } else {
            for (size_t i = 0; i < SCENARIO.size(); ++i) {
                const std::string damaged = std::string(SCENARIO[i].path) +
                                            " may be damaged: it was being written in place.";
                if (said.find(damaged) != std::string::npos) continue;
                EXPECT_TRUE(now[i] == "old" || now[i] == "new") << now[i] << "\n" << said;
            }
        }
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
        EXPECT_EQ(next_start(), "") << "the next start after that finds nothing to do";
    }
}

// A rename that fails after the commit point keeps its staged file and the
// record; the next start that can rename it finishes the update, and an
// update from the menu meanwhile finishes it first or does not start.
class UpdateCommit : public UpdateFaults {};
TEST_P(UpdateCommit, ARenameThatFailsIsFinishedByALaterStartNeverForgotten) {
    old_tree();
    clear_screen();
    faults_arm(FAULT_RENAME, 2, EROFS);  // the first rename after the record's own
    install();
    EXPECT_TRUE(screen_has("the next start finishes this update."));
    // A record that cannot be read is kept, and said to be so.
    faults_arm(FAULT_READ, 1, EIO);
    next_start();
    EXPECT_EQ(std::string(resume_report), "read /data/.zq-update failed. Input/output error\n" +
                                              std::string(RESUME_CANNOT_FINISH));
    faults_arm(FAULT_RENAME, 1, EROFS);
    next_start();
    EXPECT_EQ(std::string(resume_report), "write /data/old.txt failed. Read-only file system\n" +
                                              std::string(RESUME_NOT_FINISHED));
    EXPECT_TRUE(exists(COMMIT_RECORD_PATH));
    EXPECT_FALSE(all_are(states(), "new"));
    // The menu's update: the pending one cannot be finished, so it does not start.
    clear_screen();
    faults_arm(FAULT_RENAME, 1, EROFS);
    install();
    faults_disarm();
    EXPECT_EQ(screen_lines().back(), "an earlier update is not finished: this one does not start.");
    EXPECT_EQ(leftovers().size(), 2u) << "the pending staged file and its record are kept";
    next_start();
    EXPECT_EQ(std::string(resume_report),
              "finished an interrupted update: 6 entries put in place.\n");
    EXPECT_TRUE(all_are(states(), "new"));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}
// A staged file whose data cannot reach storage fails the update before its
// commit point on every kernel of the class, however that kernel reports it,
// naming the file; so does a file system's own error. Where the file systems
// can say none had one, no file is looked at.
TEST_P(UpdateCommit, AStorageWriteErrorFailsTheUpdateHoweverTheKernelReportsIt) {
    const struct {
        const char* kernel;
        bool bad_file;       // big.so's data fails on storage
        bool reported_once;  // the one flush clears it
        bool syncfs_reports;
        fault_call call;  // FAULT_SYNCFS: the file system's own error
        const char* line;
    } rows[] = {
        {"3.4.0", true, true, false, FAULT_CALLS, "write /system/lib/big.so failed. "},
        {"4.9.0", true, false, false, FAULT_CALLS, "write /system/lib/big.so failed. "},
        {"", true, false, true, FAULT_CALLS, "write /system/lib/big.so failed. "},
        {"", false, false, false, FAULT_SYNCFS, "write /data failed. "},
        {"", false, false, false, FAULT_CALLS, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.kernel) + (row.line ? row.line : " none"));
        old_tree();
        clear_screen();
        kernel_release = row.kernel;
        write_error_model_set({row.bad_file ? "/system/lib/.zq-installing" : "", row.reported_once,
                               row.syncfs_reports});
        faults_arm(row.call, 1, EIO);
        install();
        faults_disarm();
        write_error_model_set({});
        kernel_release.clear();
        if (row.line == nullptr) {
            EXPECT_EQ(faults_seen(FAULT_SYNC_FILE_RANGE), 0) << "no file is looked at";
            EXPECT_TRUE(all_are(states(), "new"));
            continue;
        }
        EXPECT_TRUE(screen_has(std::string(row.line) + strerror(EIO)))
            << testing::PrintToString(screen_lines());
        EXPECT_TRUE(screen_has("0 installed, 7 not installed."));
        EXPECT_TRUE(all_are(states(), "old"));
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
}

// On the all-or-nothing road an entry that fails commits nothing: found by
// the plan, before anything is written; or while staging, when what was
// staged goes. Either way one line names the first failure, and the tree
// stays old with nothing left pending.
TEST_P(UpdateCommit, AnEntryThatFailsCommitsNothing) {
    const std::string sys = ROOT + "/system";
    const std::string deep = sys + "/" + std::string(255, 'a') + "/" + std::string(255, 'b') + "/" +
                             std::string(255, 'c') + "/" + std::string(255, 'd');
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    const struct {
        const char* what;
        std::function<void()> make;  // the card or the device as the row has it
        fault_call call;             // FAULT_CALLS: no call fails; the plan finds the fault
        long nth;                    // the first call of it that may fail: the first from
        int error;                   // there on whose path holds fragment fails
        std::string fragment;
        std::string first;  // the first failure's line
    } rows[] = {
        {"reserved name", [&] { file("system/app/.zq-installing.1", "x"); }, FAULT_CALLS, 0, 0, "",
         "reserved name, skipped " + sys + "/app/.zq-installing.1"},
        {"path too long", [&] { write_text_file((make_dirs(deep), deep + "/f"), "x"); },
         FAULT_CALLS, 0, 0, "", "path too long, skipped " + deep.substr(0, 30)},
        {"listed twice", [] { listed_twice = "new"; }, FAULT_CALLS, 0, 0, "",
         "listed twice, skipped " + sys + "/new"},
        {"file in the way", [] { write_text_file("/system/new", "a file"); }, FAULT_CALLS, 0, 0, "",
         "mkdir /system/new failed. Not a directory"},
        {"directory in the way", [] { make_dirs("/data/d.txt"); }, FAULT_CALLS, 0, 0, "",
         "fopen /data/d.txt failed. Is a directory"},
        {"link to a directory in the way",
         [&] { file("system/vendor", "x"), symlink("/data", "/system/vendor"); }, FAULT_CALLS, 0, 0,
         "", "fopen /system/vendor failed. Is a directory"},
        {"root not a directory",
         [] { remove_tree(ROOT + "/data"), write_text_file(ROOT + "/data", "x"); }, FAULT_CALLS, 0,
         0, "", "not a directory, skipped " + ROOT + "/data"},
        {"directory unreadable", [&] { failing_directory = sys + "/etc"; }, FAULT_CALLS, 0, 0, "",
         "fopen " + sys + "/etc failed. Input/output error"},
        {"open source", [] {}, FAULT_OPEN, 1, EACCES, "/data/old.txt",
         "fopen " + ROOT + "/data/old.txt failed. Permission denied"},
        {"open staged", [] {}, FAULT_OPEN, 1, EROFS, "/data/.zq-installing",
         "fopen /data/old.txt failed. Read-only file system"},
        {"read", [] {}, FAULT_READ, 1, EIO, "/data/d.txt",
         "read " + ROOT + "/data/d.txt failed. Input/output error"},
        {"write",
         [] {
             const rlimit small{150 * 1024, RLIM_INFINITY};
             signal(SIGXFSZ, SIG_IGN), setrlimit(RLIMIT_FSIZE, &small);
         },
         FAULT_CALLS, 0, 0, "", "write /system/lib/big.so failed. File too large"},
        {"the record", [] {}, FAULT_WRITE, 2, EIO, ".zq-update.new",  // (the first begins it)
         "write /data/.zq-update.new failed. Input/output error"},
        {"mkdir, no room", [] {}, FAULT_MKDIR, 1, ENOSPC, "/system/.zq-installing",
         "mkdir /system/new failed. No space left on device"},
        {"mkdir, read-only", [] {}, FAULT_MKDIR, 1, EROFS, "/sub",
         "mkdir /system/new/sub failed. Read-only file system"},
    };
    const std::string nothing = "nothing installed, the device is unchanged: ";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        long writes = 0;
        for (long nth = row.nth;; ++nth) {
            old_tree();
            clear_screen();
            row.make();
            faults_arm(row.call, nth, row.error);
            install();
            writes = faults_seen(FAULT_WRITE);
            faults_disarm();
            const std::string failed = faults_failed_path();
            if (row.call == FAULT_CALLS || failed.find(row.fragment) != std::string::npos) break;
            ASSERT_FALSE(failed.empty()) << "no call on " << row.fragment;
        }
        setrlimit(RLIMIT_FSIZE, &unlimited);
        listed_twice.clear();
        failing_directory.clear();
        const auto lines = screen_lines();
        const auto starts = [&](const std::string& prefix) {
            return std::any_of(lines.begin(), lines.end(),
                               [&](const auto& l) { return l.rfind(prefix, 0) == 0; });
        };
        EXPECT_TRUE(starts(row.first)) << testing::PrintToString(lines);
        EXPECT_TRUE(starts(nothing + row.first)) << testing::PrintToString(lines);
        EXPECT_TRUE(starts("0 installed, "));
        EXPECT_EQ(lines.back(), "done.");
        const bool by_plan = row.call == FAULT_CALLS && row.first.rfind("write ", 0) != 0;
        EXPECT_TRUE(!by_plan || writes == 0) << "found by the plan: nothing is written";
        // Nothing is made after the plan's failure or the record's.
        EXPECT_TRUE(!(by_plan || row.call == FAULT_WRITE) || !starts("create dir /system"));
        EXPECT_TRUE(all_are(states(), "old")) << testing::PrintToString(states());
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
        EXPECT_EQ(next_start(), "") << "nothing is left pending";
        remove_tree(ROOT);
        for (const auto& f : SCENARIO) file(std::string(f.path).substr(1), f.new_content);
        unlink("/system/vendor");
    }
    signal(SIGXFSZ, SIG_DFL);
}
// A sealed record read whole once is never dropped for a read that fails
// later: whichever read of a start fails, the record stays.
TEST_P(UpdateCommit, ARecordReadWholeOnceIsKeptWhicheverLaterReadFails) {
    for (long nth = 1; nth <= 6; ++nth) {  // the start's reads of the record: 3 x 2
        SCOPED_TRACE("read #" + std::to_string(nth));
        old_tree();
        faults_arm(FAULT_RENAME, 2, EROFS);
        install();
        faults_arm(FAULT_READ, nth, EIO);
        next_start();
        faults_disarm();
        EXPECT_EQ(faults_failed_path(), COMMIT_RECORD_PATH);
        EXPECT_TRUE(exists(COMMIT_RECORD_PATH)) << resume_report;
        EXPECT_FALSE(exists(COMMIT_RECORD_ASIDE_PATH));
        next_start();
        EXPECT_TRUE(all_are(states(), "new")) << resume_report;
    }
}

// A staged name that is gone counts as renamed only where its directory is
// there; a pending entry another try cannot put in place is kept at a start
// and given up by an update from the menu, which then installs its own.
TEST_P(UpdateCommit, WhatAPendingRecordCannotFinishIsKeptOrGivenUp) {
    const auto sealed = [](std::initializer_list<std::pair<const char*, const char*>> entries) {
        commit_log log;
        ASSERT_EQ(commit_begin(&log, COMMIT_ALL_OR_NOTHING), 0);
        for (const auto& [staged, destination] : entries) {
            const std::string dir(staged, strrchr(staged, '/'));
            ASSERT_EQ(commit_note_directory(&log, dir.c_str()), 0);
            commit_add(&log, staged, destination);
        }
        ASSERT_EQ(commit_close_sealed(&log), 0);
    };
    old_tree();
    sealed({{"/system/gone/.zq-installing.1", "/system/gone/a"},
            {"/system/app/.zq-installing.2", "/system/app/b"}});
    next_start();
    EXPECT_STREQ(resume_report, ("write /system/gone/a failed. No such file or directory\n" +
                                 std::string(RESUME_NOT_FINISHED))
                                    .c_str());
    ASSERT_TRUE(make_dirs("/system/gone"));
    next_start();
    EXPECT_STREQ(resume_report, "finished an interrupted update: 2 entries put in place.\n");

    ASSERT_TRUE(make_dirs("/system/.zq-installing.1"));
    write_text_file("/system/.zq-installing.1/x", "staged");
    sealed({{"/system/.zq-installing.1", "/system/app"}});  // /system/app is not empty
    next_start();
    EXPECT_NE(std::string(resume_report).find(RESUME_NOT_FINISHED), std::string::npos);
    EXPECT_TRUE(exists(COMMIT_RECORD_PATH));
    clear_screen();
    install();
    EXPECT_TRUE(screen_has(
        "an earlier update could not be finished: the device is part old, part new; installing "
        "this one."))
        << testing::PrintToString(screen_lines());
    EXPECT_TRUE(all_are(states(), "new"));
    EXPECT_FALSE(exists("/system/.zq-installing.1"));
    remove_tree(COMMIT_RECORD_ASIDE_PATH);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// A finished record whose removal fails is tried again by the next update,
// which does not start while it stays: its staged names would be taken for
// the record's.
TEST_P(UpdateCommit, AFinishedRecordThatCannotBeRemovedStopsTheNextUpdate) {
    old_tree();
    faults_arm(FAULT_CALLS, 0, 0);
    install();
    const long unlinks = faults_seen(FAULT_UNLINK);  // the record's removal is the last
    old_tree();
    faults_arm(FAULT_UNLINK, unlinks, EIO);
    install();
    ASSERT_TRUE(exists(COMMIT_RECORD_PATH));
    clear_screen();
    faults_arm(FAULT_UNLINK, 1, EIO, 0, 2);
    install();
    faults_disarm();
    EXPECT_TRUE(screen_has("/data/.zq-update cannot be removed: Input/output error."))
        << testing::PrintToString(screen_lines());
    EXPECT_EQ(screen_lines().back(), "an earlier update is not finished: this one does not start.");
    EXPECT_EQ(leftovers(), std::vector<std::string>{COMMIT_RECORD_PATH});
    install();
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// The countdown's report keeps its conclusion however many lines come before.
TEST_P(UpdateCommit, TheCountdownsReportCountsWhatDoesNotFitAndEndsWithItsConclusion) {
    commit_log log;
    ASSERT_EQ(commit_begin(&log, COMMIT_ALL_OR_NOTHING), 0);
    for (int i = 0; i < 40; ++i) {
        const std::string dir = "/system/missing-directory-" + std::to_string(i);
        commit_add(&log, (dir + "/.zq-installing.1").c_str(), (dir + "/lib.so").c_str());
    }
    ASSERT_EQ(commit_close_sealed(&log), 0);
    const std::string printed = next_start();
    const std::string report = resume_report;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 41) << "stdout has every line";
    EXPECT_LT(report.size(), sizeof resume_report);
    EXPECT_TRUE(report.ends_with(std::string("\n") + RESUME_NOT_FINISHED)) << report;
    const size_t more = report.find("and ");
    ASSERT_NE(more, std::string::npos) << report;
    const int shown = std::count(report.begin(), report.begin() + more, '\n');
    EXPECT_EQ(report.substr(more, report.find('\n', more) - more),
              "and " + std::to_string(40 - shown) + " more lines");
}
INSTANTIATE_TEST_SUITE_P(AllOrNothing, UpdateCommit, testing::Values(road::all_or_nothing));

// A directory a damaged card lists twice is refused at its second listing:
// all or nothing, nothing is installed; file by file, the rest is. A file
// where a directory goes fails that directory, left as it is, on either road.
// Either way nothing stays pending and the next update runs.
TEST_P(UpdateFaults, ADirectoryListedTwiceOrBlockedFailsAndNothingStaysPending) {
    const bool whole = GetParam() == road::all_or_nothing;
    file("data/blocked/x.txt", "x");
    for (const bool twice : {true, false}) {
        SCOPED_TRACE(twice ? "listed twice" : "blocked");
        old_tree();
        clear_screen();
        listed_twice = twice ? "new" : "";
        if (!twice) write_text_file("/data/blocked", "a file");
        install();
        listed_twice.clear();
        EXPECT_TRUE(screen_has(twice ? "listed twice, skipped " + ROOT + "/system/new"
                                     : "mkdir /data/blocked failed. Not a directory"))
            << testing::PrintToString(screen_lines());
        EXPECT_EQ(screen_has("create dir /data/blocked"), twice && !whole);
        EXPECT_EQ(twice ? "" : read_text_file("/data/blocked"), twice ? "" : "a file");
        if (twice || whole) {
            EXPECT_TRUE(all_are(states(), whole ? "old" : "new"))
                << testing::PrintToString(states());
        }
        EXPECT_EQ(next_start(), "");
        EXPECT_EQ(next_start(), "");
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
        remove_tree("/data/blocked");
        install();
        EXPECT_TRUE(all_are(states(), "new"));
        EXPECT_EQ(read_text_file("/data/blocked/x.txt"), "x");
    }
}

// File by file, a write in place that fails leaves its file marked: a cut
// later in the same update, and the next start still says it may be damaged.
class UpdateFileByFile : public UpdateFaults {};
TEST_P(UpdateFileByFile, AFailedWriteInPlaceStaysMarkedAfterACut) {
    // big.so's open to be written in place: the first open of its own name.
    long in_place_open = 0;
    long calls = 0;
    faults_arm(FAULT_CALLS, 0, 0);  // (no failed path yet)
    faults_disarm();
    while (faults_failed_path() != "/system/lib/big.so") {
        ASSERT_LT(in_place_open, 100);
        old_tree();
        faults_arm(FAULT_OPEN, ++in_place_open, EIO, LONG_MAX);  // (a cut never reached counts)
        install();
        calls = faults_seen(FAULT_CALLS);
        faults_disarm();
    }
    // The latest cut that still leaves the record: a.apk is installed after big.so.
    std::string said;
    for (long cut = calls; said.empty() && --cut > 0;) {
        old_tree();
        fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            faults_arm(FAULT_OPEN, in_place_open, EIO, cut);
            update_install(ROOT.c_str());
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        said = next_start();  // (a cut not reached: the update ended, nothing to say)
    }
    EXPECT_NE(said.find("/system/lib/big.so may be damaged"), std::string::npos) << said;
    EXPECT_EQ(read_text_file("/system/app/a.apk"), "new a") << "cut after the next file";
}
INSTANTIATE_TEST_SUITE_P(FileByFile, UpdateFileByFile, testing::Values(road::file_by_file));

// A level's names as a directory of 60,000 entries yields them: each new
// once, each met again after, whatever the table's growth.
TEST(UpdateLevelNames, EveryNameIsNewOnceAndMetAgainAfter) {
    update_level_names names{};
    char name[32];
    int wrong = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < 60000; ++i) {
            snprintf(name, sizeof name, "%s%05d.so", i % 2 ? "lib" : "LIB", i);
            wrong += update_level_names_add(&names, name) != pass;
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(names.count, 60000u);
    update_level_names_free(&names);
}

// /data in memory (tmpfs or ramfs) keeps no record over a boot: the update
// says so and takes the file-by-file road, where a failed file stops no
// other; storage mounted without write barriers is named.
TEST_P(UpdateCommit, StorageThatCannotKeepThePromiseIsSaid) {
    for (const unsigned long type : {0x01021994ul, 0x858458f6ul}) {  // tmpfs, ramfs
        old_tree();
        clear_screen();
        memory_data = type;
        failing_directory = ROOT + "/system/etc";
        install();
        failing_directory.clear();
        memory_data = 0;
        const auto now = states();
        EXPECT_TRUE(screen_has(std::string(DATA_IN_MEMORY, strlen(DATA_IN_MEMORY) - 1)))
            << testing::PrintToString(screen_lines());
        EXPECT_FALSE(screen_has(std::string(NO_ROOM_FOR_ALL, strlen(NO_ROOM_FOR_ALL) - 1)));
        EXPECT_EQ(std::count(now.begin(), now.end(), "new"), 6) << testing::PrintToString(now);
    }
    const struct {
        const char* table;
        bool without;
    } rows[] = {
        {"/dev/a /system ext4 ro,barrier=0 0 0\n", true},
        {"/dev/a /system ext4 ro,nobarrier,data=ordered 0 0\n", true},
        {"/dev/a /system ext4 ro,barrier=1 0 0\n", false},
        {"/dev/a /system ext4 ro,nobarrier2,barrier=01 0 0\n", false},
        {"/dev/a /system ext4 ro,nobarrier 0 0\n/dev/b /system ext4 ro 0 0\n", false},
        {"/dev/a /system/x ext4 ro,nobarrier 0 0\n", false},
    };
    for (const auto& row : rows) {
        write_text_file("/tmp/mounts", row.table);
        EXPECT_EQ(storage_without_barriers("/tmp/mounts", "/system"), row.without) << row.table;
    }
}

// The plan's room at its edges: a file takes whole 4 KiB blocks and one more;
// ext4 keeps 2% of its blocks (at most 4,096) even from root.
TEST(UpdatePlan, RoomIsReckonedInWholeBlocksBeyondExt4sReserve) {
    EXPECT_EQ(plan_room_of(0), 4096u);
    EXPECT_EQ(plan_room_of(1), 8192u);
    EXPECT_EQ(plan_room_of(4096), 8192u);
    EXPECT_EQ(plan_room_of(4097), 12288u);
    const struct {
        unsigned long long bytes, inodes;
        fsblkcnt_t blocks, available;
        fsfilcnt_t files, files_free;
        bool fits;
    } rows[] = {
        {(1000 - 20) * 4096ull, 1, 1000, 1000, 0, 0, true},       // exactly what is free
        {(1000 - 20 + 1) * 4096ull, 1, 1000, 1000, 0, 0, false},  // one block over
        {4096, 1, 1000, 20, 0, 0, false},                         // available at the reserve
        {4096, 1, 1000, 10, 0, 0, false},                         // below it
        {4096, 1, 1000000, 4097, 0, 0, true},                     // a large one keeps 4,096 blocks
        {4096, 1, 1000000, 4096, 0, 0, false},
        {4096, 5, 1000000, 1000000, 100, 5, true},  // inodes, where the file system counts them
        {4096, 6, 1000000, 1000000, 100, 5, false},
    };
    for (const auto& row : rows) {
        struct statvfs room {};
        room.f_frsize = 4096;
        room.f_blocks = row.blocks;
        room.f_bavail = row.available;
        room.f_files = row.files;
        room.f_favail = row.files_free;
        EXPECT_EQ(plan_room_fits(row.bytes, row.inodes, &room), row.fits)
            << row.bytes << " of " << row.available << "/" << row.blocks;
    }
}

// A record the update could not have written is set aside whole: nothing it
// names is renamed or removed, and the start says why.
TEST_F(UpdateWalk, ARecordTheUpdateCouldNotHaveWrittenIsSetAsideUntouched) {
    const std::string staged = "/system/app/.zq-installing.1", dest = "/system/app/a.apk";
    const auto sealed = [](const std::string& from, const std::string& to) {
        commit_log log;
        ASSERT_EQ(commit_begin(&log, COMMIT_ALL_OR_NOTHING), 0);
        commit_add(&log, from.c_str(), to.c_str());
        ASSERT_EQ(commit_close_sealed(&log), 0);
    };
    const auto edit = [](const char* path, const std::function<void(std::string&)>& change) {
        std::string bytes = read_text_file(path);
        change(bytes);
        unlink(path);
        write_text_file(path, bytes, 0600);
    };
    const auto good = [&] { sealed(staged, dest); };
    const struct {
        const char* path;
        const char* why;
        std::function<void()> make;
    } cases[] = {
        {COMMIT_RECORD_PATH, "not a regular file",
         [&] {
             good(), rename(COMMIT_RECORD_PATH, "/data/real"),
                 symlink("/data/real", COMMIT_RECORD_PATH);
         }},
        {COMMIT_RECORD_PATH, "not a regular file", [] { mkfifo(COMMIT_RECORD_PATH, 0600); }},
        {COMMIT_RECORD_NEW_PATH, "not a regular file", [] { mkdir(COMMIT_RECORD_NEW_PATH, 0700); }},
        {COMMIT_RECORD_PATH, "not owned by root",
         [&] { good(), chown(COMMIT_RECORD_PATH, 1000, 1000); }},
        {COMMIT_RECORD_PATH, "writable by others",
         [&] { good(), chmod(COMMIT_RECORD_PATH, 0620); }},
        {COMMIT_RECORD_PATH, "has other names",
         [&] { good(), link(COMMIT_RECORD_PATH, "/data/second"); }},
        {COMMIT_RECORD_PATH, "it names a path the update does not write",
         [&] { sealed("/sdcard/.zq-installing.1", "/sdcard/a.apk"); }},
        {COMMIT_RECORD_PATH, "it names a path the update does not write",
         [&] { sealed("/system/../sdcard/.zq-installing.1", "/system/../sdcard/a.apk"); }},
        {COMMIT_RECORD_PATH, "it names a path the update does not write",
         [&] { sealed("/system/app/evil", dest); }},
        {COMMIT_RECORD_PATH, "it names a path the update does not write",
         [&] { sealed("/system/app/.zq-installing.0g", dest); }},
        {COMMIT_RECORD_PATH, "it names a path the update does not write",
         [&] { sealed("/data/.zq-installing.1", dest); }},
        {COMMIT_RECORD_PATH, "its check fails",
         [&] { good(), edit(COMMIT_RECORD_PATH, [](std::string& b) { b.resize(b.size() - 3); }); }},
        {COMMIT_RECORD_PATH, "its check fails",
         [&] {
             good(), edit(COMMIT_RECORD_PATH, [](std::string& b) { b[b.find("a.apk")] = 'b'; });
         }},
        {COMMIT_RECORD_NEW_PATH, "it names a path the update does not write",
         [&] {
             commit_log log;
             ASSERT_EQ(commit_begin(&log, COMMIT_ALL_OR_NOTHING), 0);
             ASSERT_EQ(commit_note_directory(&log, "/system/app"), 0);
             commit_close(&log);
             edit(COMMIT_RECORD_NEW_PATH,
                  [](std::string& b) { b.replace(b.find("/system/app"), 11, "/sdcard"); });
         }},
    };
    const char* const victims[] = {"/system/app/.zq-installing.1", "/system/app/evil",
                                   "/system/app/.zq-installing.0g", "/data/.zq-installing.1",
                                   "/sdcard/.zq-installing.1"};
    ASSERT_TRUE(make_dirs("/system/app"));
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + ": " + c.why);
        write_text_file(dest, "old");
        for (const char* victim : victims) write_text_file(victim, "new");
        c.make();
        testing::internal::CaptureStdout();
        update_resume();
        const std::string printed = testing::internal::GetCapturedStdout();
        const std::string said = std::string(c.path) + " set aside as " + COMMIT_RECORD_ASIDE_PATH +
                                 ": " + c.why + ".\n";
        EXPECT_NE(std::string(resume_report).find(said), std::string::npos) << resume_report;
        EXPECT_NE(printed.find(said), std::string::npos);
        EXPECT_EQ(std::string(resume_report).find(RESUME_CANNOT_FINISH) != std::string::npos,
                  std::string(c.path) == COMMIT_RECORD_PATH);
        EXPECT_EQ(read_text_file(dest), "old");
        EXPECT_FALSE(exists("/sdcard/a.apk"));
        for (const char* victim : victims) EXPECT_EQ(read_text_file(victim), "new") << victim;
        EXPECT_TRUE(exists(COMMIT_RECORD_ASIDE_PATH));
        EXPECT_FALSE(exists(c.path));
        remove_tree(COMMIT_RECORD_ASIDE_PATH);
        unlink("/data/real");
        unlink("/data/second");
    }
}

// After a cut before the commit point, only the directories the record lists
// are swept: a link to / beside them is not followed, and a name of the
// installer's form elsewhere is not the update's.
TEST_F(UpdateWalk, TheSweepVisitsOnlyTheDirectoriesTheUpdateWroteInto) {
    ASSERT_TRUE(make_dirs("/data/app") && make_dirs("/system/other"));
    ASSERT_EQ(symlink("/", "/data/app/root"), 0);
    write_text_file("/data/app/.zq-installing.1", "staged");
    write_text_file("/system/other/.zq-installing.7", "not the update's");
    commit_log log;
    ASSERT_EQ(commit_begin(&log, COMMIT_ALL_OR_NOTHING), 0);
    ASSERT_EQ(commit_note_directory(&log, "/data/app"), 0);
    commit_close(&log);
    testing::internal::CaptureStdout();
    update_resume();
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(resume_report, RESUME_REMOVED);
    EXPECT_FALSE(exists("/data/app/.zq-installing.1"));
    EXPECT_TRUE(exists("/system/other/.zq-installing.7"));
    EXPECT_FALSE(exists(COMMIT_RECORD_NEW_PATH));
}

INSTANTIATE_TEST_SUITE_P(Roads, UpdateFaults,
                         testing::Values(road::all_or_nothing, road::file_by_file),
                         [](const auto& road_info) {
                             return road_info.param == road::all_or_nothing ? "AllOrNothing"
                                                                            : "FileByFile";
                         });

}  // namespace
