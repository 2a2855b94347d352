#include "console/package_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "resolve/version.h"

namespace {

struct captured_context {
    installer_context ctx;
    char* buffer = nullptr;
    std::size_t size = 0;
    captured_context() { ctx.out = open_memstream(&buffer, &size); }
    ~captured_context() {
        std::fclose(ctx.out);
        std::free(buffer);
    }
    std::string text() {
        std::fflush(ctx.out);
        return std::string(buffer, size);
    }
    package_record& add(const std::string& name, std::uint32_t version, std::uint32_t built) {
        ctx.packages.push_back(new_package_record(name));
        package_record& record = *ctx.packages.back();
        record.version = version;
        record.build_time = built;
        return record;
    }
};

const std::string header =
    "            Name          Version                Built                                    Note\n" +
    std::string(94, '-') + "\n";

}  // namespace

TEST(PackageTableTest, EmptyDatabasePrintsHeaderAndDashes) {
    captured_context c;
    print_package_table(c.ctx);
    EXPECT_EQ(c.text(), header);
    // No blank stands between the "Built" and "Note" columns of the header.
    EXPECT_EQ(header.find('\n'), 94u);
}

TEST(PackageTableTest, RowsInLoadOrderWithFlagsAndDates) {
    captured_context c;
    c.ctx.quiet = true;  // the table prints whatever quiet says
    package_record& a = c.add("system", make_version(6, 40, 'f', 1), 0);
    a.note = "base";
    package_record& b = c.add("wireless", make_version(6, 41, 'c', 2), 1700000000);
    b.disabled = true;
    b.bundle_reference.name = "routeros";
    c.add("averyveryverylongname", make_version(7, 1, 'b', 3), 86399);

    std::string expected = header;
    expected += "          system           6.40.1 Jan/01/1970 00:00:00                                     base\n";
    expected += "        wireless XB       6.41rc2 Nov/14/2023 22:13:20                                         \n";
    expected += "averyveryverylongname         7.1beta3 Jan/01/1970 23:59:59                                         \n";
    print_package_table(c.ctx);
    EXPECT_EQ(c.text(), expected);
    // An unpushed row is 95 columns: one wider than the header.
    std::size_t first_row = header.size();
    EXPECT_EQ(expected.find('\n', first_row) - first_row, 95u);
}
