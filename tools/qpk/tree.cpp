#include "qpk/tree.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/regular_file.h"

namespace qpk {

namespace {

std::string system_error(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// What a file that is neither a directory nor a regular file is.
std::string kind_of(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "not a regular file";
}

bool list_directory(const std::string& path, std::vector<std::string>& names, std::string& error) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        error = system_error("cannot open directory", path);
        return false;
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return true;
}

bool add_directory(const std::string& root, const std::string& relative, std::vector<file_item>& files,
                   std::string& error) {
    std::string directory = relative.empty() ? root : root + "/" + relative;
    std::vector<std::string> names;
    if (!list_directory(directory, names, error)) return false;
    for (const std::string& name : names) {
        std::string inside = relative.empty() ? name : relative + "/" + name;
        std::string path = root + "/" + inside;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            error = system_error("cannot stat", path);
            return false;
        }
        file_item item;
        item.name = inside;
        item.mode = static_cast<std::uint16_t>(st.st_mode & 0xFFFF);
        if (S_ISDIR(st.st_mode)) {
            files.push_back(item);
            if (!add_directory(root, inside, files, error)) return false;
        } else if (S_ISREG(st.st_mode)) {
            if (!read_whole_file(path, item.data, error)) return false;
            files.push_back(std::move(item));
        } else {
            error = path + ": " + kind_of(st.st_mode) + "; the installer installs only regular files";
            return false;
        }
    }
    return true;
}

bool read_all(std::istream& in, const std::string& path, std::string& data, std::string& error) {
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        error = system_error("cannot read", path);
        return false;
    }
    data = content.str();
    return true;
}

}  // namespace

bool read_whole_file(const std::string& path, std::string& data, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = system_error("cannot open", path);
        return false;
    }
    return read_all(in, path, data, error);
}

bool read_whole_regular_file(const std::string& path, std::string& data, std::string& error) {
    regular_istream in(path);
    if (!in.is_open()) {
        error = in.status().st_mode != 0 ? "cannot open " + path + ": not a regular file"
                                          : system_error("cannot open", path);
        return false;
    }
    return read_all(in, path, data, error);
}

bool read_tree(const std::string& root, std::vector<file_item>& files, std::string& error) {
    struct stat st;
    if (::stat(root.c_str(), &st) != 0) {
        error = system_error("cannot stat", root);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = "not a directory: " + root;
        return false;
    }
    std::string trimmed = root;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    return add_directory(trimmed, "", files, error);
}

}  // namespace qpk
