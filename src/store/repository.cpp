#include "store/repository.h"

#include <dirent.h>
#include <sys/stat.h>

#include <string_view>
#include <unordered_set>

#include "platform/regular_file.h"
#include "platform/router_paths.h"
#include "store/database.h"
#include "store/package_format.h"
#include "stream/package_istream.h"

namespace {

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
    // The next entry that may be a record directory: a plain file left in
    // the database (such as a stream install's image) is none.
    const dirent* next_directory() {
        while (const dirent* entry = next())
            if (is_directory(entry)) return entry;
        return nullptr;
    }

private:
    bool is_directory(const dirent* entry) const {
        if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) return entry->d_type == DT_DIR;
        struct stat st;
        return ::fstatat(::dirfd(dir_), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }

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
        ctx.packages.add(new_package_record(entry_name));
        return;
    }
    std::vector<std::unique_ptr<package_record>> members;
    if (is_bundle) {
        const requirement bundle{record->name, record->version, record->version, 0};
        for (std::size_t read = 0; stream.current_type == part_type::package_header && !stream.fail(); ++read) {
            if (read == max_bundle_members) {
                // Too many members for any real bundle: the file is broken
                // and counts as one that holds no package, so the record
                // directory describes the package.
                report_error(ctx, "broken package %s", entry_name.c_str());
                ctx.packages.add(new_package_record(entry_name));
                return;
            }
            auto member = new_package_record("");
            // A member read only in part is still a member of the installed
            // bundle; the selection rules judge it by what could be read.
            read_description(*member, stream);
            member->bundle_reference = bundle;
            // A member has no record directory of its own to fall back on:
            // one whose name could lead outside the database is left out.
            if (is_valid_record_name(member->name)) members.push_back(std::move(member));
        }
    }
    for (auto& member : members) ctx.packages.add(std::move(member));
    ctx.packages.add(std::move(record));
}

bool load_images(installer_context& ctx, const std::string& image_directory, bool outside_database) {
    directory_reader database(database_directory);
    if (!database.is_open()) return false;
    while (const dirent* entry = database.next_directory()) {
        const std::string name = entry->d_name;
        const std::string path =
            outside_database ? image_directory + name : record_directory(name) + "image";
        regular_istream image(path);
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
    // The names loaded so far, looked up once per directory entry: a search
    // of the whole list each time would make loading grow with the square of
    // the database. The names stay put: the records are not changed here.
    std::unordered_set<std::string_view> loaded;
    for (const auto& record : ctx.packages) loaded.insert(record->name);
    while (const dirent* entry = database.next_directory()) {
        const std::string name = entry->d_name;
        if (loaded.count(name) != 0) continue;
        auto record = new_package_record(name);
        load_record_state(*record);
        loaded.insert(ctx.packages.add(std::move(record)).name);
    }
}

void scan_download_dir(installer_context& ctx, const std::string& directory, candidate_list& candidates) {
    directory_reader reader(directory);
    if (!reader.is_open()) return;
    while (const dirent* entry = reader.next()) {
        const std::string name = entry->d_name;
        const std::string path = directory + name;
        if (!path.ends_with(".qpk") && !path.ends_with(".vpk")) continue;
        auto record = new_download_record();
        if (read_download_file(*record, path))
            candidates.push_back(std::move(record));
        else
            report_error(ctx, "broken package %s", name.c_str());
    }
}

bool read_download_file(download_record& record, const std::string& path) {
    record.path = path;
    regular_istream file(path);
    if (!file.is_open()) return false;
    // No signature is checked here, so nothing is hashed: with hashing off the
    // stream seeks over the parts it does not want instead of reading them,
    // and the scan reads no further than the last description part rather
    // than the whole file (the file archive is read once, when installing).
    package_istream stream(file, false);
    // A file still being written, or cut short, disagrees with its header.
    if (static_cast<std::uint64_t>(file.status().st_size) != stream.total_size()) return false;

    add_wanted_types(stream, scan_wanted_types);
    stream.next_part();
    // Names become paths under /flash/var/pdb/ when the package is installed
    // and its file kept as its image: a name that is no single entry there
    // makes the file broken here already.
    if (!read_description(record, stream) || !is_valid_record_name(record.name)) return false;
    if (!record.bundle) return true;

    if (stream.current_type == part_type::image) stream.next_part();
    while (stream.current_type == part_type::package_header) {
        if (record.sub_packages.size() == max_bundle_members) return false;
        auto member = std::make_unique<package_description>();
        if (!read_description(*member, stream) || !is_valid_record_name(member->name)) return false;
        record.sub_packages.push_back(std::move(member));
        if (stream.current_type == part_type::image) stream.next_part();
    }
    return !record.sub_packages.empty();
}
