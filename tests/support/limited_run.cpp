#include "support/limited_run.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <sstream>

#include "main/entry.h"

namespace {

std::vector<char*> argv_of(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

run_result run_limited(const std::string& root, const std::function<int()>& body, std::size_t extra_megabytes,
                       unsigned seconds) {
    // Measured here: the child may change root, and /proc is outside it.
    std::size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlim_t limit = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + (static_cast<rlim_t>(extra_megabytes) << 20);
#if defined(__SANITIZE_ADDRESS__)
    pages = 0;
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

int exec_program(const std::string& program, std::vector<std::string> args) {
    std::vector<std::string> words;
    std::istringstream emulator(PROGRAM_EMULATOR);
    for (std::string word; emulator >> word;) words.push_back(word);
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    return ::execv(words[0].c_str(), argv_of(words).data()) == 0 ? 0 : 127;
}
