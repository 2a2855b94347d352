#include "store/repository.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>

#include "store/database.h"
#include "store/package_format.h"
#include "stream/package_istream.h"

namespace {

constexpr const char* database_directory = "/flash/var/pdb/";
constexpr const char* outside_image_directory = "/rw/pckg/.images/";

// Only regular files are opened as package files. The file stream would
// hang opening a FIFO, and reading a directory makes its buffer throw.
bool is_regular_file(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Entries whose names begin with "." are never packages: ".", "..", and
// whatever other tools keep hidden beside the packages.
bool is_listed(const dirent* entry) { return entry->d_name[0] != '\0' && entry->d_name[0] != '.'; }

// The directory is closed on every way out.
class directory_reader {
public:
    explicit directory_reader(const std::string& path) : dir_(::opendir(path.c_str())) {}
    ~directory_reader() {
        if (dir_) ::closedir(dir_);
    }
    directory_reader(const directory_reader&) = delete;
    directory_reader& operator=(const directory_reader&) = delete;

    bool is_open() const { return dir_ != nullptr; }
    // The next entry that may name a package, or null at the end.
    const dirent* next() {
        while (const dirent* entry = ::readdir(dir_))
            if (is_listed(entry)) return entry;
        return nullptr;
    }

private:
    DIR* dir_;
};

}  // namespace

void read_package_image(installer_context& ctx, const std::string& entry_name, std::istream& source) {
    auto record = new_package_record(entry_name);
    // Without hashing and tee the stream seeks over the parts it does not
    // want, so the image and file archive parts are never read.
    package_istream stream(source, false);
    add_wanted_types(stream, image_wanted_types);
    stream.next_part();

    // The name from the header becomes a path under /flash/var/pdb/ for
    // everything that later reads, rewrites or removes the package. A name
    // that is no single entry there ("", "..", "a/b") could lead outside the
    // database, so such an image counts as one that holds no package, and
    // the record directory describes the package instead.
    const bool is_bundle = stream.current_type == part_type::bundle_header;
    read_description(*record, stream);
    if (!is_valid_record_name(record->name)) {
        ctx.packages.push_back(new_package_record(entry_name));
        return;
    }
    if (is_bundle) {
        const requirement bundle{record->name, record->version, record->version, 0};
        while (stream.current_type == part_type::package_header && !stream.fail()) {
            auto member = new_package_record("");
            // A member read only in part is still a member of the installed
            // bundle; the selection rules judge it by what could be read.
            read_description(*member, stream);
            member->bundle_reference = bundle;
            // A member has no record directory of its own to fall back on:
            // one whose name could lead outside the database is left out.
            if (is_valid_record_name(member->name)) ctx.packages.push_back(std::move(member));
        }
    }
    ctx.packages.push_back(std::move(record));
}

bool load_images(installer_context& ctx, const std::string& image_directory, bool outside_database) {
    directory_reader database(database_directory);
    if (!database.is_open()) return false;
    while (const dirent* entry = database.next()) {
        const std::string name = entry->d_name;
        const std::string path =
            outside_database ? image_directory + name : std::string(database_directory) + name + "/image";
        if (!is_regular_file(path)) continue;
        std::ifstream image(path, std::ios::binary);
        if (!image.is_open()) continue;
        read_package_image(ctx, name, image);
    }
    return true;
}

void load_repository(installer_context& ctx, bool quiet, const std::string& architecture) {
    ctx.quiet = quiet;
    ctx.architecture = architecture;
    if (!load_images(ctx, database_directory, false)) {
        report_warning(ctx, "could not open repo");
        return;
    }
    load_images(ctx, outside_image_directory, true);

    directory_reader database(database_directory);
    if (!database.is_open()) return;
    for (const auto& record : ctx.packages) load_record_state(*record);
    while (const dirent* entry = database.next()) {
        const std::string name = entry->d_name;
        if (find_package_index(ctx, name) >= 0) continue;
        auto record = new_package_record(name);
        load_record_state(*record);
        ctx.packages.push_back(std::move(record));
    }
}

void scan_download_dir(installer_context& ctx, const std::string& directory, candidate_list& candidates) {
    directory_reader reader(directory);
    if (!reader.is_open()) return;
    while (const dirent* entry = reader.next()) {
        const std::string name = entry->d_name;
        const std::string path = directory + name;
        if (!ends_with(path, ".qpk") && !ends_with(path, ".vpk")) continue;
        auto record = new_download_record();
        if (read_download_file(*record, path))
            candidates.push_back(std::move(record));
        else
            report_error(ctx, "broken package %s", name.c_str());
    }
}

bool read_download_file(download_record& record, const std::string& path) {
    record.path = path;
    if (!is_regular_file(path)) return false;
    std::ifstream file(path, std::ios::binary);
    // The bytes pass through the running hash as they would when installing,
    // though no signature is checked here.
    package_istream stream(file, true);
    struct stat st;
    // A file still being written, or cut short, disagrees with its header.
    if (::stat(path.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) != stream.total_size()) return false;

    add_wanted_types(stream, scan_wanted_types);
    stream.next_part();
    // Names become paths under /flash/var/pdb/ when the package is installed
    // and its file kept as its image: a name that is no single entry there
    // makes the file broken here already.
    if (!read_description(record, stream) || !is_valid_record_name(record.name)) return false;
    if (!record.bundle) return true;

    if (stream.current_type == part_type::image) stream.next_part();
    while (stream.current_type == part_type::package_header) {
        auto member = std::make_unique<package_description>();
        if (!read_description(*member, stream) || !is_valid_record_name(member->name)) return false;
        record.sub_packages.push_back(std::move(member));
        if (stream.current_type == part_type::image) stream.next_part();
    }
    return !record.sub_packages.empty();
}
