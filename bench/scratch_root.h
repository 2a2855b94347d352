// Runs the benchmarks of a binary in a child process that changes root into
// a scratch directory of its own (the benchmarks must run as root), so that
// the installer's absolute paths land there and nothing reaches the
// machine's /flash, /ram or /tmp. The scratch root is a tmpfs in a private
// mount namespace where mounting is allowed (laying out many files on disk
// is slow); what the child made goes with that mount, or is removed
// afterwards.
#pragma once

#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <string>

inline int run_benchmarks_in_scratch_root(int argc, char** argv, std::initializer_list<const char*> directories) {
    char pattern[] = "/tmp/installer-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const bool mounted = ::unshare(CLONE_NEWNS) == 0 &&
                             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                             ::mount("tmpfs", pattern, "tmpfs", 0, "size=1g") == 0;
        if (!mounted) std::fprintf(stderr, "no tmpfs for the scratch root; laying out on disk\n");
        if (::chroot(pattern) != 0 || ::chdir("/") != 0) {
            std::perror("chroot (the benchmarks must run as root)");
            ::_exit(1);
        }
        for (const char* dir : directories) ::mkdir(dir, 0755);
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        std::fflush(nullptr);
        ::_exit(0);
    }
    int status = 1;
    if (pid > 0) ::waitpid(pid, &status, 0);
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
