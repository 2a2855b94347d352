#include "store/installing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "qpk/version_text.h"
#include "support/temp_root.h"

// The signature level a package must reach, by name and version, and with /ram/SECURE present.
TEST(InstallingTest, RequiredSignatureLevel) {
    const struct {
        const char* name;
        const char* version;
        bool secure;
        int level;
    } cases[] = {
        {"hello", "5.26", false, 1},     {"hello", "6.46.8", false, 1},   {"hello", "6.46.9", false, 2},
        {"hello", "6.46", true, 2},      {"hello", "6.47", false, 1},     {"hello", "6.48", false, 1},
        {"hello", "6.48.1", false, 2},   {"hello", "6.49", false, 2},     {"hello", "7.0", false, 1},
        {"hello", "7.1beta3", false, 1}, {"hello", "7.1beta4", false, 2}, {"hello", "7.1", false, 2},
        {"branding", "7.2", false, 1},   {"branding", "6.40", true, 2},
    };
    temp_root root;
    for (const auto& c : cases) {
        std::uint32_t version = 0;
        ASSERT_TRUE(qpk::parse_version_text(c.version, version));
        if (c.secure) root.write_file("/ram/SECURE", "");
        const run_result r = run_in_child(root.path(), [&] { return required_signature_level(c.name, version); });
        EXPECT_EQ(r.status, c.level) << c.name << " " << c.version << (c.secure ? " secure" : "");
        ::unlink(root.host("/ram/SECURE").c_str());
    }
}
