// The emulated device's shell (/system/bin/sh, or /bin/sh in the plain Linux
// layout): records every command the programs hand to the shell, carries out
// the platform's own commands, and passes everything else to busybox.
//   "reboot recovery", "reboot download": the reboot system call with that argument
//   "start recovery": starts the recovery program as the service of that name
#include <fcntl.h>
#include <linux/reboot.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* RECORD = "/share/shell.log";
constexpr const char* BUSYBOXES[] = {"/system/xbin/busybox", "/bin/busybox"};
constexpr const char* RECOVERY_SERVICE = "/system/bin/zqrecovery";

// One line per command: the path this shell runs from, a tab, the command.
void record(const char* command) {
    char self[256];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    self[length > 0 ? length : 0] = '\0';
    const int fd = open(RECORD, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0) return;
    (void)!write(fd, self, strlen(self));
    (void)!write(fd, "\t", 1);
    (void)!write(fd, command, strlen(command));
    (void)!write(fd, "\n", 1);
    close(fd);
}

void reboot_with(const char* argument) {
    sync();
    syscall(SYS_reboot, LINUX_REBOOT_MAGIC1, LINUX_REBOOT_MAGIC2, LINUX_REBOOT_CMD_RESTART2,
            argument);
}

int start_service() {
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        char* const argv[] = {const_cast<char*>(RECOVERY_SERVICE), nullptr};
        execv(RECOVERY_SERVICE, argv);
        _exit(127);
    }
    return pid < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "-c") == 0) {
        const char* command = argv[2];
        record(command);
        if (strcmp(command, "reboot recovery") == 0) reboot_with("recovery");
        if (strcmp(command, "reboot download") == 0) reboot_with("download");
        if (strcmp(command, "start recovery") == 0) return start_service();
    }
    char* args[64];
    int n = 0;
    args[n++] = const_cast<char*>("sh");
    for (int i = 1; i < argc && n < 63; ++i) args[n++] = argv[i];
    args[n] = nullptr;
    for (const char* busybox : BUSYBOXES) execv(busybox, args);
    perror("busybox");
    return 127;
}
