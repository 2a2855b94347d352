#include "store/installing.h"

#include <gtest/gtest.h>

#include <sstream>

#include "store/package_format.h"
#include "support/captured_context.h"
#include "support/host_files.h"
#include "support/package_line.h"
#include "support/router_scenario.h"

// A package installed and uninstalled again in one run: nothing stays staged, and nothing of the package, its record
// directory included, is left on disk or as a temporary file. A second-kind package owns no record directory: its
// uninstall leaves the installed namesake's directory and files as they were.
TEST(InstallingTest, InstalledAndUninstalledInOneRunLeavesNothing) {
    const auto files = [](const temp_root& root) {
        std::string text;
        for (const std::string& line : snapshot(root.path()))
            if (line.back() != '/') text += line + "\n";
        return text;
    };
    for (const auto& [installed, package] : {std::pair{"", "hello-6.48.1 /bin/hello"},
                                             {"hello-6.48 /bin/hello", "hello-6.49 second-kind /bin/extra"}}) {
        temp_root root;
        if (*installed) scenario::lay_out(root, {installed});
        const std::string before = files(root), file = line::file(package);
        const run_result r = run_in_child(root.path(), [&] {
            captured_context t;
            if (*installed) t.ctx.packages.add(line::object(installed));
            file_manifest m;
            std::istringstream in(file);
            package_istream stream(in, true);
            add_wanted_types(stream, install_wanted_types);
            stream.next_part();
            package_record& record = t.ctx.packages.add(new_package_record(""));
            read_description(record, stream);
            if (!install_package(t.ctx, record, m, stream) || m.entries.empty()) return 1;
            uninstall_files(t.ctx, record, m);
            for (const auto& [destination, e] : m.entries)
                std::printf("%s %s\n", e.kind == entry_kind::remove ? "U" : "S", destination.c_str());
            apply_manifest(m, false);
            return 0;
        });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "") << package;
        EXPECT_EQ(files(root), before) << package;
    }
}
