#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
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

void copy_file(const std::string& from, const std::string& to) {
    write_text_file(to, read_text_file(from), 0755);
}

}  // namespace

std::string built_program(const char* name) {
    return std::string(ZQ_BIN_DIR) + "/" + name;
}

std::string make_shell_less_root(const std::string& program) {
    char root_template[] = "/tmp/shell-less-XXXXXX";
    if (mkdtemp(root_template) == nullptr) abort();
    const std::string root = root_template;
    for (const char* dir : {"/usr/lib", "/usr/lib64", "/usr/lib32"}) {
        if (access(dir, F_OK) != 0) continue;
        make_dirs(root + dir);
        if (mount(dir, (root + dir).c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) abort();
    }
    for (const char* name : {"lib", "lib64", "lib32"}) {
        const std::string link = root + "/" + name;
        if (symlink((std::string("usr/") + name).c_str(), link.c_str()) != 0) abort();
    }
    make_dirs(root + "/dev");
    make_dirs(root + "/proc");  // the sanitizers' runtimes read it
    if (mount("/proc", (root + "/proc").c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) abort();
    if (std::string(ZQ_EMULATOR).size() > 0) {
        const std::string inside = root + ZQ_EMULATOR;
        make_dirs(inside.substr(0, inside.rfind('/')));
        write_text_file(inside, "");
        if (mount(ZQ_EMULATOR, inside.c_str(), nullptr, MS_BIND, nullptr) != 0) abort();
    }
    copy_file(program, root + "/program");
    return root;
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
        if (!run.root.empty() && (chroot(run.root.c_str()) != 0 || chdir("/") != 0)) _exit(126);
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
