// Small looks at files by their plain path, for tests that check what a run left behind (also inside a child that has
// changed root).
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/temp_root.h"

// Permission bits of path, or ~0u when it cannot be read.
inline unsigned mode_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : ~0u;
}

inline std::string link_target(const std::string& path) {
    char buffer[4096];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    return n < 0 ? "" : std::string(buffer, static_cast<std::size_t>(n));
}

inline bool is_link_to(const std::string& path, const std::string& target) {
    return !target.empty() && link_target(path) == target;
}

// Names of a directory in the order the directory hands them out (the installer's load order), without "." and ".."
// (and the other names that begin with "." unless hidden is set); names_in sorts them.
inline std::vector<std::string> directory_order(const std::string& path, bool hidden = false) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    for (dirent* entry; dir && (entry = ::readdir(dir));)
        if (std::string name = entry->d_name; name != "." && name != ".." && (hidden || name[0] != '.'))
            names.push_back(name);
    if (dir) ::closedir(dir);
    return names;
}

inline std::vector<std::string> names_in(const std::string& path) {
    std::vector<std::string> names = directory_order(path, true);
    std::sort(names.begin(), names.end());
    return names;
}

// size bytes of every value, in an order a copy that drops or repeats a chunk would not reproduce.
inline std::string byte_pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return text;
}

// Every path under base with its kind and content, one line each: to show that a run changed nothing.
inline std::vector<std::string> snapshot(const std::string& base, const std::string& relative = "") {
    struct stat st;
    const std::string path = base + relative;
    if (::lstat(path.c_str(), &st) != 0) return {};
    if (S_ISFIFO(st.st_mode)) return {relative + " (fifo)"};  // never opened: that would wait for a writer
    if (S_ISLNK(st.st_mode)) return {relative + " -> " + link_target(path)};
    if (!S_ISDIR(st.st_mode)) return {relative + " = " + read_host_file(path)};
    std::vector<std::string> out = {relative + "/"};
    for (const std::string& name : names_in(path))
        for (std::string& line : snapshot(base, relative + "/" + name)) out.push_back(std::move(line));
    return out;
}
