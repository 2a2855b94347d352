// Every reader of package files over the fuzzer's bytes: the download scan,
// the image loader, the reading of an installation and the package stream
// part by part (hostile_input.h); and the same bytes once more
// as the inflated content of a file archive. Besides crashes, leaks and
// hangs, a check of the readers that does not hold is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "hostile_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const hostile::scratch_directory scratch;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (const hostile::reading_report& report :
         {hostile::read_as_installer(bytes, scratch), hostile::read_as_file_archive(bytes)}) {
        if (report.violations.empty()) continue;
        for (const std::string& violation : report.violations)
            std::fprintf(stderr, "violation: %s\n", violation.c_str());
        std::abort();
    }
    return 0;
}
