#include "store/package_list.h"

#include <algorithm>
#include <utility>

package_record& package_list::add(owned record) {
    package_record& added = *record;
    held_.insert(&added);
    records_.push_back(std::move(record));
    if (follower_) follower_->added(added);
    return added;
}

bool package_list::remove(const package_record* record) {
    if (held_.erase(record) == 0) return false;
    if (follower_) follower_->removing(*record);
    records_.erase(std::find_if(records_.begin(), records_.end(), [record](const owned& r) { return r.get() == record; }));
    return true;
}

package_record* package_list::first_named(const std::string& name) const {
    for (const owned& record : records_)
        if (record->name == name) return record.get();
    return nullptr;
}

void package_list::clear() {
    follower_.reset();
    records_.clear();
    held_.clear();
}
