#include "console/progress.h"

std::string progress_text(const std::string& prefix, std::uint32_t position, std::uint32_t total) {
    std::string text = prefix + " [";
    // A prefix too long for a bar, or a position past the total, must never
    // turn into a negative count of characters.
    std::uint64_t width = text.size() < 76 ? 76 - text.size() : 0;
    std::uint64_t filled = total == 0 ? width : static_cast<std::uint64_t>(position) * width / total;
    if (filled > width) filled = width;
    text.append(static_cast<std::size_t>(filled), '#');
    text.append(static_cast<std::size_t>(width - filled), ' ');
    text += "]";
    return text;
}

void show_progress(installer_context& ctx, package_istream& stream, const std::string& prefix) {
    // The position within the part is asked of the buffer directly: tellg()
    // answers -1 once a read has run into the part's end and set the fail
    // bit, which would throw the bar back to the part's start. Asking for
    // the current position never moves it.
    std::streamoff within = stream.rdbuf()->pubseekoff(0, std::ios_base::cur, std::ios_base::in);
    if (within < 0) within = 0;
    std::uint32_t position = stream.part_offset() + static_cast<std::uint32_t>(within);
    show_status(ctx, progress_text(prefix, position, stream.total_size()));
}
