// A temporary router root for tests, and ways to run code or the real binary
// inside it. Nothing outside the root is touched.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct run_result {
    std::string out;  // standard output
    std::string err;  // standard error
    int status = -1;  // exit status, or 128 + signal
};

class temp_root {
public:
    // Lays out /flash/boot, /flash/var/pdb, /ram, /rw/pckg and /tmp.
    temp_root();
    ~temp_root();
    temp_root(const temp_root&) = delete;
    temp_root& operator=(const temp_root&) = delete;

    const std::string& path() const { return root_; }
    // Host path of a path inside the root ("/flash/x" -> "<root>/flash/x").
    std::string host(const std::string& inside) const { return root_ + inside; }

    void write_file(const std::string& inside, const std::string& content) const;
    std::string read_file(const std::string& inside) const;
    bool exists(const std::string& inside) const;
    void make_dir(const std::string& inside) const;
    // Names in a directory, sorted, without "." and "..".
    std::vector<std::string> list_dir(const std::string& inside) const;

private:
    std::string root_;
};

// Runs body in a forked child that has chrooted into root (when root is not
// empty), with standard input fed from input and standard output and error
// captured. The child's exit status is body's result.
run_result run_in_child(const std::string& root, const std::function<int()>& body, const std::string& input = "");

// Same, in a child that first enters a private mount namespace; setup runs
// there before the chroot (for mounting a tmpfs inside the root). When the
// namespace or a mount is refused the child exits with status 77, the reason
// on its standard error.
run_result run_in_private_mounts(const std::string& root, const std::function<bool()>& setup,
                                 const std::function<int()>& body);

// For setup of run_in_private_mounts: mounts a tmpfs of the given size ("256k",
// or full mount options holding a '=') at a host path; prints the reason and
// answers false when that is refused.
bool mount_tmpfs(const std::string& where, const std::string& size);

// Runs the installer's entry function chrooted into root with the arguments.
run_result run_entry(const std::string& root, const std::vector<std::string>& args, const std::string& input = "");

// Runs a program (by path) with arguments, without changing root.
run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& input = "", const std::vector<std::string>& env = {});

// Runs the real installer binary.
run_result run_installer(const std::vector<std::string>& args, const std::string& input = "",
                         const std::vector<std::string>& env = {});

// Recursive removal of a host directory.
void remove_tree(const std::string& path);

// Whole file as a string ("" when it cannot be read).
std::string read_host_file(const std::string& path);
void write_host_file(const std::string& path, const std::string& content);
