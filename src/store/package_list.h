// The package list of a run: the installed records and those being installed,
// in the order the planners go through them. It owns the records: one is
// destroyed only when it is removed from the list, and whether a record is
// still there is asked of the list itself.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "store/package.h"

// What is derived from a package list and kept up to date with it, told of
// every change instead of being made anew for each use.
class package_list_follower {
public:
    virtual ~package_list_follower() = default;
    // After the record was appended to the list.
    virtual void added(package_record& record) = 0;
    // Before the record is taken out of the list and destroyed.
    virtual void removing(const package_record& record) = 0;
};

class package_list {
public:
    using owned = std::unique_ptr<package_record>;
    using const_iterator = std::vector<owned>::const_iterator;

    const_iterator begin() const { return records_.begin(); }
    const_iterator end() const { return records_.end(); }
    std::size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    const owned& operator[](std::size_t position) const { return records_[position]; }
    const owned& back() const { return records_.back(); }

    // Appends the record and returns it.
    package_record& add(owned record);
    // Removes and destroys that record; false when the list does not hold it.
    bool remove(const package_record* record);
    // Whether the list still holds that record; the pointer is only compared,
    // so it may be one the list has destroyed.
    bool contains(const package_record* record) const { return held_.count(record) != 0; }
    // The first record named name, or null.
    package_record* first_named(const std::string& name) const;
    void clear();

    // The follower the list tells of its changes from now on, or null; a
    // record's names, provisions, conflicts and members must not change
    // while it is in a followed list.
    package_list_follower* follower() const { return follower_.get(); }
    void follow(std::unique_ptr<package_list_follower> follower) { follower_ = std::move(follower); }

private:
    std::vector<owned> records_;
    std::unordered_set<const package_record*> held_;
    std::unique_ptr<package_list_follower> follower_;
};
