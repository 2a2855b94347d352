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
