// The loader of the saved file manifest (/ram/MANIFEST, read by "--commit"
// and "--cancel") over the fuzzer's bytes, with the check that what it loads
// saves and loads back unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hostile_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const hostile::scratch_directory scratch;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> violations = hostile::read_as_manifest(bytes, scratch);
    if (!violations.empty()) {
        for (const std::string& violation : violations) std::fprintf(stderr, "violation: %s\n", violation.c_str());
        std::abort();
    }
    return 0;
}
