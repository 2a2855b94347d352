#include "store/version_text.h"

#include <cstdio>

std::string format_version(std::uint32_t version) {
    unsigned major = version >> 24;
    unsigned minor = (version >> 16) & 0xFF;
    unsigned char kind = (version >> 8) & 0xFF;
    unsigned number = version & 0xFF;
    char text[80];
    if (kind == 'f') {
        if (number == 0)
            std::snprintf(text, sizeof text, "%u.%u", major, minor);
        else
            std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, number);
    } else {
        const char* kind_text = kind == 'a' ? "alpha" : kind == 'b' ? "beta" : kind == 'c' ? "rc" : "";
        if (number == 0)
            std::snprintf(text, sizeof text, "%u.%u%s", major, minor, kind_text);
        else
            std::snprintf(text, sizeof text, "%u.%u%s%u", major, minor, kind_text, number);
    }
    return text;
}

std::string name_version_text(const package_description& package) {
    return package.name + "-" + format_version(package.version);
}

std::string requirement_text(const requirement& req) {
    if (req.minimum == 0) return req.name;
    return req.name + "-" + format_version(req.minimum);
}
