#include "support/limited_run.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <fstream>

#include "main/entry.h"

bool memory_limits_work() {
#if defined(__SANITIZE_ADDRESS__)
    return false;
#else
    return true;
#endif
}

run_result run_limited(const std::string& root, const std::function<int()>& body, std::size_t extra_megabytes,
                       unsigned seconds) {
    // Measured here: the child may change root, and /proc is outside it.
    std::size_t mapped_pages = 0;
    std::ifstream("/proc/self/statm") >> mapped_pages;
    const rlim_t limit = static_cast<rlim_t>(mapped_pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) +
                         static_cast<rlim_t>(extra_megabytes) * 1024 * 1024;
    return run_in_child(root, [&] {
        ::alarm(seconds);
        if (memory_limits_work() && mapped_pages != 0) {
            rlimit space{limit, limit};
            ::setrlimit(RLIMIT_AS, &space);
        }
        // An allocation refused under the limit must end this child, not
        // reach the test framework that the child carries along.
        try {
            return body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "exception: %s\n", e.what());
        } catch (...) {
            std::fputs("exception\n", stderr);
        }
        return 134;
    });
}

int call_installer_main(std::vector<std::string> args) {
    args.insert(args.begin(), "installer");
    std::vector<char*> argv;
    for (std::string& word : args) argv.push_back(word.data());
    argv.push_back(nullptr);
    return installer_main(static_cast<int>(args.size()), argv.data());
}
