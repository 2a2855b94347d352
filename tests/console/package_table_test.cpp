#include "console/package_table.h"

#include <gtest/gtest.h>

#include "support/captured_context.h"

#include <cstdio>
#include <cstdlib>

#include "resolve/version.h"

namespace {

package_record& add(installer_context& ctx, const std::string& name, std::uint32_t version, std::uint32_t built) {
    ctx.packages.push_back(new_package_record(name));
    package_record& record = *ctx.packages.back();
    record.version = version;
    record.build_time = built;
    return record;
}


const std::string header =
    "            Name          Version                Built                                    Note\n" +
    std::string(94, '-') + "\n";

}  // namespace

TEST(PackageTableTest, EmptyDatabasePrintsHeaderAndDashes) {
    captured_context c;
    print_package_table(c.ctx);
    EXPECT_EQ(c.all(), header);
    // No blank stands between the "Built" and "Note" columns of the header.
    EXPECT_EQ(header.find('\n'), 94u);
}

TEST(PackageTableTest, RowsInLoadOrderWithFlagsAndDates) {
    captured_context c;
    c.ctx.quiet = true;  // the table prints whatever quiet says
    package_record& a = add(c.ctx, "system", make_version(6, 40, 'f', 1), 0);
    a.note = "base";
    package_record& b = add(c.ctx, "wireless", make_version(6, 41, 'c', 2), 1700000000);
    b.disabled = true;
    b.bundle_reference.name = "velnor";
    add(c.ctx, "averyveryverylongname", make_version(7, 1, 'b', 3), 86399);

    std::string expected = header;
    expected += "          system           6.40.1 Jan/01/1970 00:00:00                                     base\n";
    expected += "        wireless XB       6.41rc2 Nov/14/2023 22:13:20                                         \n";
    expected += "averyveryverylongname         7.1beta3 Jan/01/1970 23:59:59                                         \n";
    print_package_table(c.ctx);
    EXPECT_EQ(c.all(), expected);
    // An unpushed row is 95 columns: one wider than the header.
    std::size_t first_row = header.size();
    EXPECT_EQ(expected.find('\n', first_row) - first_row, 95u);
}
