#include "shell.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* SHELLS[] = {"/system/bin/sh", "/bin/sh"};

// The first shell that can be run; null (errno set) when there is none.
const char* shell_path() {
    for (const char* path : SHELLS) {
        if (access(path, X_OK) == 0) return path;
    }
    return nullptr;
}

}  // namespace

int shell_system(const char* command) {
    const char* shell = shell_path();
    if (command == nullptr) return shell != nullptr ? 1 : 0;
    if (shell == nullptr) return 127 << 8;  // what sh reports for a command it cannot run

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction old_int {};
    struct sigaction old_quit {};
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);
    sigset_t block;
    sigset_t old_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &block, &old_mask);

    char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                          const_cast<char*>(command), nullptr};
    int status = -1;
    const pid_t pid = fork();
    if (pid == 0) {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGQUIT, &old_quit, nullptr);
        pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
        execv(shell, argv);
        _exit(127);
    }
    if (pid > 0) {
        while (waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) {
                status = -1;
                break;
            }
        }
    }
    const int saved = errno;
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    errno = saved;
    return status;
}
