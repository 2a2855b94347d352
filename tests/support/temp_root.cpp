#include "support/temp_root.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "main/entry.h"
#include "support/host_files.h"
#include "support/limited_run.h"

namespace {

void make_all(const std::string& path) {
    for (std::size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0755);
}

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) != 0;)
        if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
        else if (errno != EINTR) break;
    return text;
}

// Forks; the child wires its standard streams to pipes and runs child_body. A second child feeds the input, so that one
// that does not read it cannot block the parent.
run_result fork_and_capture(const std::function<int()>& child_body, const std::string& input) {
    std::fflush(nullptr);
    int in[2], out[2], err[2];
    if (::pipe(in) || ::pipe(out) || ::pipe(err)) throw std::runtime_error("pipe");
    const pid_t pid = ::fork(), feeder = pid == 0 ? 0 : ::fork();
    if (pid == 0) ::dup2(in[0], 0), ::dup2(out[1], 1), ::dup2(err[1], 2);
    if (pid == 0 || feeder == 0)
        for (int fd : {in[0], out[0], out[1], err[0], err[1]}) ::close(fd);
    if (pid == 0) {
        ::close(in[1]);
        const int status = child_body();
        std::fflush(nullptr);
        ::_exit(status & 0xFF);
    }
    if (feeder == 0) {
        for (std::size_t done = 0; done < input.size();) {
            const ssize_t n = ::write(in[1], input.data() + done, input.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    for (int fd : {in[0], in[1], out[1], err[1]}) ::close(fd);
    run_result result;
    result.out = drain(out[0]);  // standard error is small: standard output first
    result.err = drain(err[0]);
    ::close(out[0]), ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::waitpid(feeder, nullptr, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

int enter_root(const std::string& root) {
    if (root.empty() || (::chroot(root.c_str()) == 0 && ::chdir("/") == 0)) return 0;
    std::perror("test chroot");
    return 125;
}

std::vector<char*> argv_of(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    return argv;
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
    make_all(host(inside).substr(0, host(inside).rfind('/')));
    write_host_file(host(inside), content);
}

std::string temp_root::read_file(const std::string& inside) const { return read_host_file(host(inside)); }

bool temp_root::exists(const std::string& inside) const {
    struct stat st;
    return ::lstat(host(inside).c_str(), &st) == 0;
}

void temp_root::make_dir(const std::string& inside) const { make_all(host(inside)); }

std::vector<std::string> temp_root::list_dir(const std::string& inside) const { return names_in(host(inside)); }

run_result run_in_child(const std::string& root, const std::function<int()>& body, const std::string& input) {
    return fork_and_capture([&] { return enter_root(root) ? 125 : body(); }, input);
}

run_result run_in_private_mounts(const std::string& root, const std::function<bool()>& setup,
                                 const std::function<int()>& body, const std::string& input) {
    return fork_and_capture(
        [&] {
            if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
                std::perror("a private mount namespace");
                return 77;
            }
            return !setup() ? 77 : enter_root(root) ? 125 : body();
        },
        input);
}

run_result run_limited(const std::string& root, const std::function<int()>& body, std::size_t extra_megabytes,
                       unsigned seconds) {
    // Measured here: the child may change root, and /proc is outside it.
    std::size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlim_t limit = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + (static_cast<rlim_t>(extra_megabytes) << 20);
    // The alarm only stops a run that would never end: under an emulator every run is many times slower, and an
    // unoptimised sanitizer build several times.
    if (*PROGRAM_EMULATOR != '\0') seconds *= 20;
#if defined(__SANITIZE_ADDRESS__)
    pages = 0;
    seconds *= 4;
#endif
    return run_in_child(root, [&] {
        ::alarm(seconds);
        rlimit space{limit, limit};
        if (pages != 0 && extra_megabytes != 0) ::setrlimit(RLIMIT_AS, &space);
        // A refused allocation must end this child, not reach the test framework that the child carries along.
        try {
            return body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "exception: %s\n", e.what());
            return 134;
        }
    });
}

int call_installer_main(std::vector<std::string> args) {
    args.insert(args.begin(), "installer");
    return installer_main(static_cast<int>(args.size()), argv_of(args).data());
}

// In a cross build the program runs under the emulator that runs the tests (its words, blank-separated, come first).
int exec_program(const std::string& program, std::vector<std::string> args) {
    std::vector<std::string> words;
    std::istringstream emulator(PROGRAM_EMULATOR);
    for (std::string word; emulator >> word;) words.push_back(word);
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    ::execv(words[0].c_str(), argv_of(words).data());
    std::perror("execv");
    return 127;
}

run_result run_entry(const std::string& root, const std::vector<std::string>& args, const std::string& input) {
    return run_in_child(root, [&] { return call_installer_main(args); }, input);
}

run_result run_program(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                       const std::vector<std::string>& env) {
    return fork_and_capture(
        [&] {
            for (const std::string& assignment : env) ::putenv(const_cast<char*>(assignment.c_str()));
            return exec_program(program, args);
        },
        input);
}

// A sanitizer build checks for leaks at exit by reading /proc, which a run changed into a test root does not have; leak
// checking stays on for runs in the real root.
run_result run_installer(const std::vector<std::string>& args, const std::string& input,
                         const std::vector<std::string>& env) {
    std::vector<std::string> environment = env;
    if (std::find(args.begin(), args.end(), "-r") != args.end()) {
        const char* options = std::getenv("ASAN_OPTIONS");
        const std::string before = options && *options ? options + std::string(":") : "";
        environment.insert(environment.begin(), "ASAN_OPTIONS=" + before + "detect_leaks=0");
    }
    return run_program(INSTALLER_BIN, args, input, environment);
}

bool mount_tmpfs(const std::string& where, const std::string& size) {
    const std::string options = size.find('=') == std::string::npos ? "size=" + size : size;
    if (::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0) return true;
    std::perror(("mounting a tmpfs at " + where).c_str());
    return false;
}

void remove_tree(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))  // never through a link
        for (const std::string& name : names_in(path)) remove_tree(path + "/" + name);
    if (::rmdir(path.c_str()) != 0) ::unlink(path.c_str());
}

std::string read_host_file(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

void write_host_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}
