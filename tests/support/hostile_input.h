// Bytes that may be anything, read the way the installer reads a package
// file, through every reader it has: the download scan, the image loader,
// the reading of an installation (bundle member loop, default-disabled list,
// image part, file archive extraction, signature check), and the package
// stream itself part by part over sources that can and cannot seek, with
// and without hashing. Whatever the bytes are, nothing may crash, hang or
// grow without bound, and what the readers report must hold together; the
// report names every check that did not hold. Shared by the mutation tests
// (tests/stream/hostile_input_test.cpp) and the fuzz targets (fuzz/).
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

// A signature part that a reader checked.
struct signature_seen {
    std::uint32_t offset = 0;  // of the part's data in the file
    int level = 0;
    std::array<unsigned char, 32> digest{};  // the digest buffer the check compared

    bool operator==(const signature_seen&) const = default;
};

struct reading_report {
    bool download_accepted = false;  // read_download_file took the bytes as a package file
    // The reading of an installation took the package (or every member of
    // the bundle) through its image part, its file archive and a signature
    // of at least level 1, and found the end of the file at the size the
    // file header declares (a file cut short, even between two bundle
    // members, is not complete).
    bool install_complete = false;
    std::vector<signature_seen> install_signatures;  // checked by that reading, in file order
    std::vector<signature_seen> walk_signatures;     // checked by the part-by-part walk with hashing on
    std::size_t file_entries = 0;                    // file entries the extraction loop went through
    std::size_t image_records = 0;                   // records the image loader made from the bytes
    std::vector<std::string> violations;             // the checks that did not hold
};

// Reads bytes through every reader; files go into scratch.
reading_report read_as_installer(const std::string& bytes, const scratch_directory& scratch);

// Reads bytes as the inflated content of the file archive of a package
// whose signature is too short to be checked: the fuzzer reaches the file
// entries far better this way.
reading_report read_as_file_archive(const std::string& inflated);

// Loads bytes as a saved file manifest, saves it and loads it again; the
// checks that did not hold.
std::vector<std::string> read_as_manifest(const std::string& bytes, const scratch_directory& scratch);

}  // namespace hostile
