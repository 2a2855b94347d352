#include "store/installing.h"

#include <sys/stat.h>

#include "manifest/file_helpers.h"
#include "store/database.h"

namespace {

constexpr const char* boot_image_path = "/flash/bootimage";

// Whether a path below /flash now belongs to someone else: another record
// of the package list lists it, or this run staged new content for it.
bool taken_by_another(const installer_context& ctx, const package_record& record, const file_manifest& manifest,
                      const std::string& entry) {
    auto staged = manifest.entries.find("/flash" + entry);
    if (staged != manifest.entries.end() && staged->second.kind != entry_kind::remove) return true;
    for (const auto& other : ctx.packages)
        if (other.get() != &record && other->files.count(entry) != 0) return true;
    return false;
}

}  // namespace

bool install_package(installer_context& ctx, package_record& record, file_manifest&, package_istream&) {
    broken_package(ctx, record);
    return false;
}

bool extract_files(installer_context& ctx, package_record& record, file_manifest&, package_istream&) {
    broken_package(ctx, record);
    return false;
}

int required_signature_level(const std::string&, std::uint32_t) { return 2; }

bool claim_record_directory(const package_record& record, file_manifest& manifest) {
    return claim_path(manifest, record_directory(record));
}

bool claim_and_write_meta(installer_context& ctx, const package_record& record, file_manifest& manifest) {
    return claim_record_directory(record, manifest) && write_record_meta(ctx, record, manifest);
}

void uninstall_files(installer_context& ctx, package_record& record, file_manifest& manifest) {
    // Entries of a files list that would lead out of /flash (a hostile or
    // damaged database) are never removed.
    for (const std::string& entry : record.files)
        if (is_clean_flash_path("/flash" + entry) && !taken_by_another(ctx, record, manifest, entry))
            stage_remove(manifest, "/flash" + entry);
    record.files.clear();
    // A name that is no record directory (the unnamed default-disable
    // markers) must not turn into a removal of the database itself.
    if (is_valid_record_name(record.name)) {
        const std::string dir = record_directory(record);
        stage_remove(manifest, dir);
        stage_remove(manifest, dir + "image");
    }
    struct stat st;
    if (record.is_boot_package() && ::stat(boot_image_path, &st) == 0 && st.st_nlink == 1)
        stage_remove(manifest, boot_image_path);
    record.scheduled_action = action_none;
}

void show_installing(installer_context&, const package_record&, package_istream&) {}
