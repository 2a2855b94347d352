// A temporary router root for tests, and ways to run code or the real binary inside it. Nothing outside the root is
// touched.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct run_result {
    std::string out, err;   // standard output and error
    int status = -1;        // exit status, or 128 + signal
    std::string left = "";  // what a run on small disks left (scenario::run_on_small_disks)
};

class temp_root {
public:
    temp_root();  // lays out /flash/boot, /flash/var/pdb, /ram, /rw/pckg and /tmp
    ~temp_root();
    temp_root(const temp_root&) = delete;
    temp_root& operator=(const temp_root&) = delete;

    const std::string& path() const { return root_; }
    std::string host(const std::string& inside) const { return root_ + inside; }  // "/flash/x" -> "<root>/flash/x"
    void write_file(const std::string& inside, const std::string& content) const;  // makes the directories too
    std::string read_file(const std::string& inside) const;
    bool exists(const std::string& inside) const;
    void make_dir(const std::string& inside) const;
    std::vector<std::string> list_dir(const std::string& inside) const;  // sorted, without "." and ".."

private:
    std::string root_;
};

// Runs body in a forked child changed into root (unless it is empty), with input on its standard input and its output
// captured; body's result is the child's exit status. In a private mount namespace, setup runs there before the root
// change; status 77, with the reason on standard error, where the namespace or a mount is refused.
run_result run_in_child(const std::string& root, const std::function<int()>& body, const std::string& input = "");
run_result run_in_private_mounts(const std::string& root, const std::function<bool()>& setup,
                                 const std::function<int()>& body, const std::string& input = "");

// For setup: mounts a tmpfs at a host path with the given size ("256k") or mount options ("nr_inodes=64"); prints the
// reason and answers false when refused.
bool mount_tmpfs(const std::string& where, const std::string& size);

// The installer's entry function in a child changed into root, any program by path, or the real installer binary.
run_result run_entry(const std::string& root, const std::vector<std::string>& args, const std::string& input = "");
run_result run_program(const std::string& program, const std::vector<std::string>& args, const std::string& input = "",
                       const std::vector<std::string>& env = {});
run_result run_installer(const std::vector<std::string>& args, const std::string& input = "",
                         const std::vector<std::string>& env = {});

void remove_tree(const std::string& path);
std::string read_host_file(const std::string& path);  // "" when it cannot be read
void write_host_file(const std::string& path, const std::string& content);
