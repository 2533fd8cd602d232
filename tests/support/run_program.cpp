#include "run_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "test_paths.h"
#include "wait_until.h"

namespace {

// The whole file from its start; closes it.
std::string contents(FILE* file) {
    std::string text;
    rewind(file);
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
    fclose(file);
    return text;
}

}  // namespace

std::string built_program(const char* name) {
    return std::string(ZQ_BIN_DIR) + "/" + name;
}

std::string program_perror(const char* text, int errnum) {
    std::string error = strerror(errnum);
    if (std::string(ZQ_PROGRAMS_STRERROR).size() > 0) {
        program_run run;
        run.args = {ZQ_PROGRAMS_STRERROR, std::to_string(errnum)};
        error = run_program(run).out;
        if (!error.empty()) error.pop_back();  // its line end
    }
    return std::string(text) + ": " + error + "\n";
}

program_result run_program(const program_run& run) {
    std::vector<std::string> args = run.args;
    // The emulator's command line goes first, word by word.
    std::istringstream emulator(ZQ_EMULATOR);
    std::vector<std::string> words;
    for (std::string word; emulator >> word;) words.push_back(word);
    args.insert(args.begin(), words.begin(), words.end());
    std::vector<std::string> env = run.env;
    if (std::none_of(env.begin(), env.end(),
                     [](const std::string& e) { return e.rfind("PATH=", 0) == 0; })) {
        env.emplace_back("PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
    }
    // Output goes to files, not pipes: the run ends when the program does,
    // not when the last holder of its output (a child it left) lets go.
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    if (out == nullptr || err == nullptr) abort();

    const pid_t pid = fork();
    if (pid < 0) abort();
    if (pid == 0) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(run.stdout_path != nullptr ? open(run.stdout_path, O_WRONLY) : fileno(out), 1);
        dup2(fileno(err), 2);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        if (run.user > 0 && (setgid(run.user) != 0 || setuid(run.user) != 0)) _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    program_result result;
    int status = 0;
    if (!wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                    1000 * run.timeout_seconds, 5)) {
        result.timed_out = true;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    result.out = contents(out);
    result.err = contents(err);
    return result;
}
