#include "store/package.h"

const char* action_word(std::uint32_t action) {
    static const char* const words[] = {"", "uninstall", "enable", "disable"};
    return action < 4 ? words[action] : "";
}

std::unique_ptr<package_record> new_package_record(const std::string& name) {
    auto record = std::make_unique<package_record>();
    record->name = name;
    return record;
}

std::unique_ptr<download_record> new_download_record() { return std::make_unique<download_record>(); }
