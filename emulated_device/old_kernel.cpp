// zq_old_kernel [--uname-only] PROGRAM [ARGS...]: runs PROGRAM with the
// system-call surface of Linux 2.6.29 on ARM. A seccomp filter answers ENOSYS
// for every system call that kernel lacks (the numbers above inotify_init1,
// its last), and EINVAL for sendfile, as kernels before 2.6.33 refuse it to a
// regular file (the only file the programs send to). uname reports a 2.6
// release (the UNAME26 personality), so what a program chooses by the
// kernel's version is chosen as there; --uname-only gives that alone, with
// today's calls. Both hold for the program's children too. Before the exec it
// checks itself and says so.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned LAST_CALL_OF_2_6_29 = 360;     // inotify_init1
constexpr unsigned ARM_PRIVATE_CALLS = 0x0f0000;  // cacheflush, set_tls, ...: always there
constexpr unsigned PRLIMIT64 = 369;               // 2.6.36: a call glibc makes without fallback

constexpr sock_filter stmt(unsigned short code, unsigned k) {
    return sock_filter{code, 0, 0, k};
}
constexpr sock_filter jump(unsigned short code, unsigned k, unsigned char yes, unsigned char no) {
    return sock_filter{code, yes, no, k};
}

int install_filter() {
    static const sock_filter program[] = {
        stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        jump(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_ARM, 1, 0),
        stmt(BPF_RET | BPF_K, SECCOMP_RET_KILL),
        stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_sendfile, 4, 0),
        jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_sendfile64, 3, 0),
        jump(BPF_JMP | BPF_JGE | BPF_K, ARM_PRIVATE_CALLS, 1, 0),
        jump(BPF_JMP | BPF_JGT | BPF_K, LAST_CALL_OF_2_6_29, 2, 0),
        stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        stmt(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
        stmt(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
    };
    const sock_fprog prog{static_cast<unsigned short>(sizeof program / sizeof program[0]),
                          const_cast<sock_filter*>(program)};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0);
}

const char* answer(long result) {
    if (result != -1) return "answered";
    return errno == ENOSYS ? "ENOSYS" : errno == EINVAL ? "EINVAL" : strerror(errno);
}

}  // namespace

int main(int argc, char** argv) {
    const bool uname_only = argc > 1 && strcmp(argv[1], "--uname-only") == 0;
    char** program = argv + 1 + (uname_only ? 1 : 0);
    if (*program == nullptr) {
        fprintf(stderr, "usage: zq_old_kernel [--uname-only] PROGRAM [ARGS...]\n");
        return 2;
    }
    utsname name{};
    if (personality(static_cast<unsigned>(PER_LINUX) | static_cast<unsigned>(UNAME26)) == -1 ||
        uname(&name) != 0) {
        perror("zq_old_kernel: personality");
        return 1;
    }
    if (uname_only) {
        printf("zq: old kernel: uname %s\n", name.release);
    } else {
        if (install_filter() != 0) {
            perror("zq_old_kernel: seccomp");
            return 1;
        }
        errno = 0;
        const long prlimit = syscall(PRLIMIT64, 0, 0, nullptr, nullptr);
        const char* prlimit_answer = answer(prlimit);
        errno = 0;
        const long sendfile = syscall(__NR_sendfile64, 1, 0, nullptr, 1);
        printf("zq: old kernel: prlimit64 %s, sendfile %s, uname %s\n", prlimit_answer,
               answer(sendfile), name.release);
    }
    fflush(stdout);
    execv(*program, program);
    perror("zq_old_kernel: exec");
    return 1;
}
