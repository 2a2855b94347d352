// Bytes that may be anything, read the way the installer reads a package file through every reader it has: the download
// scan, the image loader, the reading of an installation (members, default-disabled list, image part, file archive,
// signature), and the package stream part by part over sources that can and cannot seek, with and without hashing.
// Nothing may crash, hang or grow without bound, and what the readers report must hold together. The fuzz targets
// here and tests/stream/hostile_input_test.cpp share it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace hostile {

// A private temporary directory for the readers that take a path.
class scratch_directory {
public:
    scratch_directory();
    ~scratch_directory();
    scratch_directory(const scratch_directory&) = delete;
    scratch_directory& operator=(const scratch_directory&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct signature_seen {        // a signature part a reader checked
    std::uint32_t offset = 0;  // of the part's data
    int level = 0;
    std::array<unsigned char, 32> digest{};  // the digest buffer the check compared
    bool operator==(const signature_seen&) const = default;
};

struct reading_report {
    bool download_accepted = false;
    // The installation took the package (or every bundle member) through a signature of level 1 or more and found the
    // end of the file where the file header says it is: a file cut short, even between members, is not complete.
    bool install_complete = false;
    std::vector<signature_seen> install_signatures, walk_signatures;  // in file order
    std::size_t file_entries = 0, image_records = 0;
    std::vector<std::string> violations;  // the checks that did not hold
};

reading_report read_as_installer(const std::string& bytes, const scratch_directory& scratch);
// The bytes as the inflated file archive of a package whose signature is too short to check.
reading_report read_as_file_archive(const std::string& inflated);
// The bytes as a saved file manifest, saved and loaded again: the checks that did not hold.
std::vector<std::string> read_as_manifest(const std::string& bytes, const scratch_directory& scratch);

}  // namespace hostile
