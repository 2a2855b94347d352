// Small looks at files by their plain path, for tests that check what a run
// left behind (also inside a child that has changed root).
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

inline bool is_link_to(const std::string& path, const std::string& target) {
    char buffer[4096];
    ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    return n >= 0 && std::string(buffer, static_cast<std::size_t>(n)) == target;
}

// Names in a directory, sorted, without "." and "..".
inline std::vector<std::string> names_in(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Names of a directory in the order the directory hands them out, without
// those beginning with ".": the order in which the installer loads them.
inline std::vector<std::string> directory_order(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        ::closedir(dir);
    }
    return names;
}

// size bytes of every value, in an order that a copy which drops or repeats
// a chunk would not reproduce.
inline std::string byte_pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return text;
}

// Every path under base with its kind and content, one line each, to show
// that a run changed nothing.
inline void snapshot_into(const std::string& base, const std::string& relative, std::vector<std::string>& out) {
    std::string path = base + relative;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        out.push_back(relative + "/");
        for (const std::string& name : names_in(path)) snapshot_into(base, relative + "/" + name, out);
    } else if (S_ISFIFO(st.st_mode)) {
        out.push_back(relative + " (fifo)");  // never opened: that would wait for a writer
    } else if (S_ISLNK(st.st_mode)) {
        char target[4096];
        ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        out.push_back(relative + " -> " + std::string(target, n < 0 ? 0 : static_cast<std::size_t>(n)));
    } else {
        out.push_back(relative + " = " + read_host_file(path));
    }
}

inline std::vector<std::string> snapshot(const std::string& base) {
    std::vector<std::string> out;
    snapshot_into(base, "", out);
    return out;
}
