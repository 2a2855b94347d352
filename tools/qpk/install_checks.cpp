#include "qpk/install_checks.h"

#include "store/database.h"
#include "store/installing.h"
#include "store/package_format.h"

namespace qpk {

std::string package_name_problem(const std::string& name) {
    if (name.empty() || name.size() > name_field_size) return "a package name has 1 to 16 characters";
    if (!is_valid_record_name(name))
        return "the installer refuses the package name \"" + name +
               "\": a package name has no leading \".\", no \"/\", blank or line end, and is not \"image\"";
    return "";
}

std::string requirement_problem(const description_fields& contents) {
    package_record record;
    record.dependencies = contents.dependencies.value_or(std::vector<requirement>{});
    record.provisions = contents.provisions.value_or(std::vector<requirement>{});
    record.conflicts = contents.conflicts.value_or(std::vector<requirement>{});
    if (!meta_files_can_hold(record)) return "the installer refuses a requirement name that is empty or not one word";
    return "";
}

std::string entry_problem(const std::string& name, const std::vector<file_item>& files) {
    for (const file_item& file : files) {
        if ((file.mode & file_type_mask) != file_type_regular) continue;
        const std::string inside = (file.name.starts_with('/') ? "" : "/") + file.name;
        package_record record;
        record.files.insert(inside);
        if (!is_installable_name(file.name, "/flash" + inside) ||
            !is_installable_name(file.name, "/flash/x/" + name + inside) || !meta_files_can_hold(record))
            return "the installer refuses the entry \"" + file.name + "\" as a broken package";
    }
    return "";
}

}  // namespace qpk
