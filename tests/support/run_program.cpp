#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sandbox.h"
#include "test_paths.h"

namespace {

long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

std::string built_program(const char* name) {
    return std::string(ZQ_BIN_DIR) + "/" + name;
}

program_result run_program(const program_run& run) {
    program_result result;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) abort();

    std::vector<std::string> args;
    if (std::string(ZQ_EMULATOR).size() > 0) args.emplace_back(ZQ_EMULATOR);
    args.insert(args.end(), run.args.begin(), run.args.end());
    std::vector<std::string> env = run.env;
    bool has_path = false;
    for (const auto& e : env) has_path = has_path || e.rfind("PATH=", 0) == 0;
    if (!has_path) env.emplace_back("PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");

    const pid_t pid = fork();
    if (pid < 0) abort();
    if (pid == 0) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(run.discard_output ? null_fd : out_pipe[1], 1);
        dup2(run.discard_output ? null_fd : err_pipe[1], 2);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);

    const long long deadline = now_ms() + 1000LL * run.timeout_seconds;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_count = 2;
    while (open_count > 0) {
        const long long left = deadline - now_ms();
        if (left <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    return result;
}
