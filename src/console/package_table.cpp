#include "console/package_table.h"

#include <chrono>
#include <ctime>
#include <string>

#include "console/printable.h"
#include "store/version_text.h"

namespace {

// A field of the given width with the blanks on the left, as the output
// stream's default alignment puts them; a longer text is written whole and
// pushes the rest of the line.
void put_field(std::string& line, const std::string& text, std::size_t width) {
    if (text.size() < width) line.append(width - text.size(), ' ');
    line += text;
}

}  // namespace

namespace {

// Worked out without time_t, which has 32 bits with a sign on a 32-bit C
// library: a build time from 2038 on would show as a day of 1901.
std::string format_build_time(std::uint32_t build_time, const char* format) {
    using namespace std::chrono;
    const sys_seconds at{seconds{build_time}};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss of_day{at - day};
    std::tm parts{};
    parts.tm_year = static_cast<int>(date.year()) - 1900;
    parts.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
    parts.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
    parts.tm_hour = static_cast<int>(of_day.hours().count());
    parts.tm_min = static_cast<int>(of_day.minutes().count());
    parts.tm_sec = static_cast<int>(of_day.seconds().count());
    char text[128];
    std::size_t length = std::strftime(text, sizeof text, format, &parts);
    return std::string(text, length);
}

}  // namespace

std::string build_time_text(std::uint32_t build_time) { return format_build_time(build_time, "%b/%d/%Y %H:%M:%S"); }

std::string build_time_iso8601(std::uint32_t build_time) {
    return format_build_time(build_time, "%Y-%m-%dT%H:%M:%SZ");
}

void print_package_table(installer_context& ctx) {
    std::string text;
    put_field(text, "Name", 16);
    text += "    ";
    put_field(text, "Version", 13);
    text += " ";
    put_field(text, "Built", 20);
    put_field(text, "Note", 40);
    text += "\n";
    text.append(94, '-');
    text += "\n";
    // Row by row, so that a large database is never held as text all at once.
    for (const auto& record : ctx.packages) {
        std::fwrite(text.data(), 1, text.size(), ctx.out);
        text.clear();
        // A name or note with a line end would forge a row of its own.
        put_field(text, printable(record->name), 16);
        text += " ";
        put_field(text, record->disabled ? "X" : " ", 1);
        put_field(text, record->bundle_reference.name.empty() ? "  " : "B ", 2);
        put_field(text, format_version(record->version), 13);
        text += " ";
        put_field(text, build_time_text(record->build_time), 20);
        text += " ";
        put_field(text, printable(record->note), 40);
        text += "\n";
    }
    std::fwrite(text.data(), 1, text.size(), ctx.out);
    std::fflush(ctx.out);
}
