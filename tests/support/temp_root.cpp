#include "support/temp_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "main/entry.h"
#include "support/host_files.h"

namespace {

void make_all(const std::string& path) {
    std::string partial;
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            partial = path.substr(0, i);
            ::mkdir(partial.c_str(), 0755);
        }
    }
}

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    while (true) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

// Forks; the child wires its standard streams to pipes and runs child_body,
// whose result is its exit status. The parent feeds input and collects the
// output of both streams.
run_result fork_and_capture(const std::function<int()>& child_body, const std::string& input) {
    std::fflush(nullptr);
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (::pipe(in_pipe) || ::pipe(out_pipe) || ::pipe(err_pipe)) throw std::runtime_error("pipe");
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        ::dup2(in_pipe[0], 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) ::close(fd);
        int status = child_body();
        std::fflush(nullptr);
        ::_exit(status & 0xFF);
    }
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    // Feed the input from a helper process so that a child that does not
    // read it cannot block the parent.
    pid_t feeder = ::fork();
    if (feeder == 0) {
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        std::size_t done = 0;
        while (done < input.size()) {
            ssize_t n = ::write(in_pipe[1], input.data() + done, input.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(in_pipe[1]);
    run_result result;
    // Standard error is small; read standard output to its end first.
    result.out = drain(out_pipe[0]);
    result.err = drain(err_pipe[0]);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::waitpid(feeder, nullptr, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

int enter_root(const std::string& root) {
    if (!root.empty() && (::chroot(root.c_str()) != 0 || ::chdir("/") != 0)) {
        std::perror("test chroot");
        return 125;
    }
    return 0;
}

}  // namespace

temp_root::temp_root() {
    char pattern[] = "/tmp/installer-test-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    root_ = pattern;
    for (const char* dir : {"/flash/boot", "/flash/var/pdb", "/ram", "/rw/pckg", "/tmp"}) make_all(root_ + dir);
    ::chmod((root_ + "/tmp").c_str(), 01777);
}

temp_root::~temp_root() { remove_tree(root_); }

void temp_root::write_file(const std::string& inside, const std::string& content) const {
    std::string path = host(inside);
    make_all(path.substr(0, path.rfind('/')));
    write_host_file(path, content);
}

std::string temp_root::read_file(const std::string& inside) const { return read_host_file(host(inside)); }

bool temp_root::exists(const std::string& inside) const {
    struct stat st;
    return ::lstat(host(inside).c_str(), &st) == 0;
}

void temp_root::make_dir(const std::string& inside) const { make_all(host(inside)); }

std::vector<std::string> temp_root::list_dir(const std::string& inside) const { return names_in(host(inside)); }

run_result run_in_child(const std::string& root, const std::function<int()>& body, const std::string& input) {
    return fork_and_capture(
        [&] {
            if (int rc = enter_root(root)) return rc;
            return body();
        },
        input);
}

run_result run_in_private_mounts(const std::string& root, const std::function<bool()>& setup,
                                 const std::function<int()>& body) {
    return fork_and_capture(
        [&] {
            // The reason for a refusal goes to standard error, for the test
            // to print when it skips.
            if (::unshare(CLONE_NEWNS) != 0) {
                std::perror("unshare(CLONE_NEWNS)");
                return 77;
            }
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
                std::perror("making the mounts private");
                return 77;
            }
            if (!setup()) return 77;
            if (int rc = enter_root(root)) return rc;
            return body();
        },
        "");
}

run_result run_entry(const std::string& root, const std::vector<std::string>& args, const std::string& input) {
    return run_in_child(
        root,
        [&] {
            std::vector<std::string> words{"installer"};
            words.insert(words.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (std::string& word : words) argv.push_back(word.data());
            argv.push_back(nullptr);
            return installer_main(static_cast<int>(words.size()), argv.data());
        },
        input);
}

run_result run_program(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                       const std::vector<std::string>& env) {
    return fork_and_capture(
        [&] {
            // In a cross build the program runs under the emulator that
            // runs the tests (its words, blank-separated, come first).
            std::vector<std::string> words;
            std::istringstream emulator(PROGRAM_EMULATOR);
            for (std::string word; emulator >> word;) words.push_back(word);
            words.push_back(program);
            words.insert(words.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (std::string& word : words) argv.push_back(word.data());
            argv.push_back(nullptr);
            for (const std::string& assignment : env) ::putenv(const_cast<char*>(assignment.c_str()));
            ::execv(argv[0], argv.data());
            std::perror("execv");
            return 127;
        },
        input);
}

run_result run_installer(const std::vector<std::string>& args, const std::string& input,
                         const std::vector<std::string>& env) {
    std::vector<std::string> environment;
    // A sanitizer build checks for leaks at exit by reading /proc, which a
    // run changed into a test root does not have; the check would fail the
    // run. Leak checking stays on for runs in the real root.
    if (std::find(args.begin(), args.end(), "-r") != args.end()) {
        const char* options = std::getenv("ASAN_OPTIONS");
        environment.push_back(std::string("ASAN_OPTIONS=") + (options && *options ? options + std::string(":") : "") +
                              "detect_leaks=0");
    }
    environment.insert(environment.end(), env.begin(), env.end());
    return run_program(INSTALLER_BIN, args, input, environment);
}

bool mount_tmpfs(const std::string& where, const std::string& size) {
    std::string options = "size=" + size;
    if (::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        std::perror(("mounting a tmpfs at " + where).c_str());
        return false;
    }
    return true;
}

void remove_tree(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR* dir = ::opendir(path.c_str())) {
            while (dirent* entry = ::readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..") remove_tree(path + "/" + name);
            }
            ::closedir(dir);
        }
        ::rmdir(path.c_str());
    } else {
        ::unlink(path.c_str());
    }
}

std::string read_host_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_host_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}
