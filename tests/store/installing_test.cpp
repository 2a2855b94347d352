#include "store/installing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "qpk/version_text.h"
#include "store/package_format.h"
#include "support/captured_context.h"
#include "support/host_files.h"
#include "support/package_line.h"
#include "support/router_scenario.h"
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

// A package installed and uninstalled again in one run: nothing stays staged, and nothing of the package, its record
// directory included, is left on disk or as a temporary file. A second-kind package owns no record directory: its
// uninstall leaves the installed namesake's directory and files as they were.
TEST(InstallingTest, InstalledAndUninstalledInOneRunLeavesNothing) {
    const struct {
        const char* installed;
        const char* package;
    } cases[] = {
        {nullptr, "hello-6.48.1 /bin/hello"},
        {"hello-6.48 /bin/hello", "hello-6.49 second-kind /bin/extra"},
    };
    for (const auto& c : cases) {
        temp_root root;
        if (c.installed) scenario::lay_out(root, {c.installed});
        std::string before;
        for (const std::string& line : snapshot(root.path()))
            if (line.back() != '/') before += line + "\n";
        const std::string file = line::file(c.package);
        const run_result r = run_in_child(root.path(), [&] {
            captured_context t;
            if (c.installed) t.ctx.packages.push_back(line::object(c.installed));
            file_manifest m;
            std::istringstream in(file);
            package_istream stream(in, true);
            add_wanted_types(stream, install_wanted_types);
            stream.next_part();
            t.ctx.packages.push_back(new_package_record(""));
            package_record& record = *t.ctx.packages.back();
            read_description(record, stream);
            if (!install_package(t.ctx, record, m, stream) || m.entries.empty()) return 1;
            uninstall_files(t.ctx, record, m);
            for (const auto& [destination, e] : m.entries)
                std::printf("%s %s\n", e.kind == entry_kind::remove ? "U" : "S", destination.c_str());
            apply_manifest(m, false);
            return 0;
        });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "") << c.package;
        std::string left;
        for (const std::string& line : snapshot(root.path()))
            if (line.back() != '/') left += line + "\n";
        EXPECT_EQ(left, before) << c.package;
    }
}
