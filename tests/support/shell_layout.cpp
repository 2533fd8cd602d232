#include "shell_layout.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "sandbox.h"

namespace {

const std::string LOG = "/tmp/shell.log";
const std::string DASH = "/usr/bin/dash";

void write_shell(const std::string& path, const char* name) {
    write_text_file(path,
                    "#!" + DASH + "\nprintf '%s\\t%s\\n' " + name + " \"$2\" >> " + LOG +
                        "\nexec " + DASH + " \"$@\"\n",
                    0755);
}

// The sandbox's /bin is the host's link to usr/bin: a directory of its own
// takes its place.
void own_bin() {
    struct stat st {};
    if (lstat("/bin", &st) != 0 || !S_ISLNK(st.st_mode)) {
        fprintf(stderr, "shell_layout: expects /bin to be a link to usr/bin\n");
        abort();
    }
    unlink("/bin");
    make_dirs("/bin");
}

}  // namespace

void shell_layout_set(unsigned shells) {
    shell_layout_restore();
    own_bin();
    make_dirs("/system/bin");
    if ((shells & SHELL_ANDROID) != 0) write_shell("/system/bin/sh", "android");
    if ((shells & SHELL_LINUX) != 0) write_shell("/bin/sh", "linux");
    unlink(LOG.c_str());
}

void shell_layout_restore() {
    unlink("/system/bin/sh");
    struct stat st {};
    if (lstat("/bin", &st) == 0 && S_ISDIR(st.st_mode)) {
        remove_tree("/bin");
        if (symlink("usr/bin", "/bin") != 0) abort();
    }
}

std::string shell_log() {
    return read_text_file(LOG);
}

std::string platform_command(const char* name) {
    const std::string log = std::string("/tmp/") + name + ".log";
    make_dirs("/tmp/bin");
    write_text_file(std::string("/tmp/bin/") + name, "#!" + DASH + "\necho \"$*\" >> " + log + "\n",
                    0755);
    unlink(log.c_str());
    return log;
}
