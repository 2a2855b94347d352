#include "resolve/version.h"

namespace {

int order(std::uint32_t a, std::uint32_t b) { return a > b ? 1 : a < b ? -1 : 0; }

const package_description* sub_package_named(const package_description& package, const std::string& name) {
    for (const auto& sub : package.sub_packages)
        if (sub->name == name) return sub.get();
    return nullptr;
}

}  // namespace

int compare_packages(const package_description& a, const package_description& b) {
    int sign = 1;
    const package_description* first = &a;
    const package_description* second = &b;
    if (a.name != b.name) {
        if (const package_description* sub = sub_package_named(a, b.name)) {
            first = sub;
        } else if (const package_description* sub = sub_package_named(b, a.name)) {
            // The pair becomes (b's sub-package, a), judged from a's side.
            first = sub;
            second = &a;
            sign = -1;
        } else {
            return 0;
        }
    }
    int outcome = order(first->version, second->version);
    if (outcome == 0) outcome = order(first->build_time, second->build_time);
    return outcome * sign;
}

int directional_compare(const package_description& a, const package_description& b, bool reverse) {
    int result = compare_packages(a, b);
    return reverse ? -result : result;
}

bool named_or_contains(const package_description& package, const std::string& name) {
    return package.name == name || sub_package_named(package, name) != nullptr;
}

bool matches(const package_description& package, const requirement& req) {
    return package.name == req.name && package.version >= req.minimum &&
           (req.maximum == 0 || package.version <= req.maximum);
}

bool overlaps(const requirement& provision, const requirement& req) {
    if (provision.name != req.name) return false;
    if (provision.minimum != 0 && req.maximum != 0 && provision.minimum > req.maximum) return false;
    if (provision.maximum != 0 && req.minimum != 0 && provision.maximum < req.minimum) return false;
    return true;
}

bool provides(const package_description& package, const requirement& req) {
    for (const requirement& provision : package.provisions)
        if (overlaps(provision, req)) return true;
    return false;
}
