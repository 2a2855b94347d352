// The inputs and measurements of bench/compare.sh, in one small program:
//
//   bench_tool many DIR COUNT          COUNT small signed packages in DIR
//   bench_tool bundle FILE COUNT       a signed bundle of COUNT small members
//   bench_tool files FILE COUNT        one signed package of COUNT small files
//   bench_tool sized FILE MIB          one signed package of MIB MiB in 64
//                                      files, half text, half random bytes
//   bench_tool database ROOT COUNT     a package database of COUNT records
//                                      under ROOT/flash/var/pdb
//   bench_tool measure [-i IN] -- PROGRAM ARG...
//                                      runs PROGRAM (standard input from IN,
//                                      output discarded) and prints
//                                      "wall_s cpu_s peak_kib exit_status"
//
// Packages are signed with the development key of the source tree.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_files.h"
#include "qpk/writer.h"
#include "signing/key_file.h"
#include "signing/signer.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t version_1_0 = 0x01006600;  // 1.0
constexpr std::uint32_t build_time = 1700000000;

const signing::private_keys& keys() {
    static signing::private_keys loaded{};
    static bool read = [] {
        std::string error;
        if (signing::read_private_key_file(SOURCE_DIR "/keys/development.private", loaded, error)) return true;
        std::fprintf(stderr, "bench_tool: %s\n", error.c_str());
        std::exit(1);
    }();
    (void)read;
    return loaded;
}

std::string sign(const qpk::digest_buffer& digest, std::size_t length) {
    std::vector<std::uint8_t> signature;
    signing::sign_digest(keys(), digest.data(), 2, signature);
    signature.resize(length);
    return std::string(signature.begin(), signature.end());
}

bool write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return !data.empty() && out.good();
}

std::string numbered(const char* prefix, long n) { return prefix + std::to_string(n); }

// A small package: one directory and one short file of its own.
std::string small_package(const std::string& name) {
    qpk::package_contents c;
    c.name = name;
    c.version = version_1_0;
    c.build_time = build_time;
    c.files = std::vector<qpk::file_item>{qpk::directory_entry(name),
                                          qpk::regular_file(name + "/conf", "setting of " + name + "\n")};
    return qpk::build_package(c, sign);
}

int many(const std::string& dir, long count) {
    fs::create_directories(dir);
    for (long i = 0; i < count; ++i) {
        const std::string name = numbered("p", i);
        if (!write_file(dir + "/" + name + ".qpk", small_package(name))) return 1;
    }
    return 0;
}

int bundle(const std::string& path, long count) {
    qpk::bundle_contents c;
    c.name = "velnor";
    c.version = version_1_0;
    c.build_time = build_time;
    for (long i = 0; i < count; ++i) c.members.push_back(small_package(numbered("m", i)));
    std::string file, error;
    if (!qpk::build_bundle(c, file, error, sign)) {
        std::fprintf(stderr, "bench_tool: %s\n", error.c_str());
        return 1;
    }
    return write_file(path, file) ? 0 : 1;
}

int files(const std::string& path, long count) {
    qpk::package_contents c;
    c.name = "many";
    c.version = version_1_0;
    c.build_time = build_time;
    std::vector<qpk::file_item> items;
    // 100 files to a directory, as a package of many small files has them.
    for (long i = 0; i < count; ++i) {
        const std::string dir = numbered("many/d", i / 100);
        if (i % 100 == 0) items.push_back(qpk::directory_entry(dir));
        items.push_back(qpk::regular_file(dir + numbered("/f", i), numbered("", i) + "\n"));
    }
    c.files = std::move(items);
    return write_file(path, qpk::build_package(c, sign)) ? 0 : 1;
}

int sized(const std::string& path, long mib) {
    qpk::package_contents c;
    c.name = "bench";
    c.version = 0x07026600;  // 7.2
    c.build_time = build_time;
    std::vector<qpk::file_item> items{qpk::directory_entry("data")};
    for (qpk::file_item& item : bench_files(static_cast<std::size_t>(mib) << 20)) items.push_back(std::move(item));
    c.files = std::move(items);
    return write_file(path, qpk::build_package(c, sign)) ? 0 : 1;
}

// Record directories as the installer writes them: a version file and an
// empty files list; every tenth record depends on the one before.
int database(const std::string& root, long count) {
    for (long i = 0; i < count; ++i) {
        const std::string dir = root + "/flash/var/pdb/" + numbered("r", i);
        fs::create_directories(dir);
        if (!write_file(dir + "/version", std::to_string(version_1_0) + " " + std::to_string(build_time) + "\n"))
            return 1;
        std::ofstream(dir + "/files");
        if (i % 10 == 9)
            write_file(dir + "/deps", numbered("r", i - 1) + " " + std::to_string(version_1_0) + " 0\n");
    }
    return 0;
}

int measure(const char* input, char** argv) {
    const auto start = std::chrono::steady_clock::now();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        int in = input ? ::open(input, O_RDONLY) : ::open("/dev/null", O_RDONLY);
        int null = ::open("/dev/null", O_WRONLY);
        if (in < 0 || null < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execv(argv[0], argv);
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) return 1;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    std::printf("%.4f %.4f %ld %d\n", wall, cpu, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128);
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: bench_tool many DIR COUNT | bundle FILE COUNT | files FILE COUNT | sized FILE MIB |\n"
                 "       database ROOT COUNT | measure [-i INPUT] -- PROGRAM ARG...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    if (command == "measure") {
        const char* input = nullptr;
        int at = 2;
        if (at + 1 < argc && std::strcmp(argv[at], "-i") == 0) {
            input = argv[at + 1];
            at += 2;
        }
        if (at < argc && std::strcmp(argv[at], "--") == 0) ++at;
        return at < argc ? measure(input, argv + at) : usage();
    }
    if (argc != 4) return usage();
    const std::string target = argv[2];
    const long n = std::atol(argv[3]);
    if (command == "many") return many(target, n);
    if (command == "bundle") return bundle(target, n);
    if (command == "files") return files(target, n);
    if (command == "sized") return sized(target, n);
    if (command == "database") return database(target, n);
    return usage();
}
