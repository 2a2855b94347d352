#include "store/package.h"

const char* action_word(action_kind action) {
    switch (action) {
        case action_kind::uninstall: return "uninstall";
        case action_kind::enable: return "enable";
        case action_kind::disable: return "disable";
        case action_kind::none: break;
    }
    return "";
}

std::unique_ptr<package_record> new_package_record(const std::string& name) {
    auto record = std::make_unique<package_record>();
    record->name = name;
    return record;
}

std::unique_ptr<download_record> new_download_record() { return std::make_unique<download_record>(); }
