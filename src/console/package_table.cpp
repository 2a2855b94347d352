#include "console/package_table.h"

#include <ctime>
#include <string>

#include "console/printable.h"
#include "resolve/version.h"

namespace {

// A field of the given width with the blanks on the left, as the output
// stream's default alignment puts them; a longer text is written whole and
// pushes the rest of the line.
void put_field(std::string& line, const std::string& text, std::size_t width) {
    if (text.size() < width) line.append(width - text.size(), ' ');
    line += text;
}

std::string built_text(std::uint32_t build_time) {
    std::time_t seconds = static_cast<std::time_t>(build_time);
    std::tm parts;
    if (!::gmtime_r(&seconds, &parts)) return "";
    char text[128];
    std::size_t length = std::strftime(text, sizeof text, "%b/%d/%Y %H:%M:%S", &parts);
    return std::string(text, length);
}

}  // namespace

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
        put_field(text, built_text(record->build_time), 20);
        text += " ";
        put_field(text, printable(record->note), 40);
        text += "\n";
    }
    std::fwrite(text.data(), 1, text.size(), ctx.out);
    std::fflush(ctx.out);
}
