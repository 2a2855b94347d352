// A sorted set of paths held compactly: the bytes of every path one after
// another in one arena, and where each path lies there, in byte-wise order of
// the paths. A package may list tens of thousands of files; a tree of strings
// would spend a node and one or two allocations on each.
//
// New paths go first into a small sorted batch that is merged into the main
// order when it fills up, so that adding the paths of a package in any order
// never moves the whole order for each path. Whether a path is held is asked
// of a hash table of the same spans: a package's deep paths share long
// beginnings, which a search in the order would compare again at every step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

class path_set {
    struct span {
        std::uint32_t offset;
        std::uint32_t length;
    };

public:
    // Yields each path as a new string, in byte-wise order.
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::string;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::string;

        const_iterator() = default;
        std::string operator*() const { return std::string(set_->view(*at_)); }
        const_iterator& operator++() {
            ++at_;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++at_;
            return before;
        }
        bool operator==(const const_iterator& other) const { return at_ == other.at_; }

    private:
        friend class path_set;
        const_iterator(const path_set* set, std::vector<span>::const_iterator at) : set_(set), at_(at) {}
        const path_set* set_ = nullptr;
        std::vector<span>::const_iterator at_;
    };

    path_set() = default;
    path_set(std::initializer_list<std::string> paths);
    path_set& operator=(std::initializer_list<std::string> paths);

    // Adds the path unless the set holds it; whether it was added.
    bool insert(std::string_view path);
    std::size_t count(std::string_view path) const;
    std::size_t size() const { return order_.size() + batch_.size(); }
    bool empty() const { return size() == 0; }
    void clear();
    // Whether the set holds a path that begins with prefix.
    bool has_prefix(std::string_view prefix) const;

    const_iterator begin() const;
    const_iterator end() const;

    bool operator==(const path_set& other) const;

private:
    std::string_view view(span s) const { return std::string_view(arena_).substr(s.offset, s.length); }
    // The first span of a sorted list whose path is not below path.
    std::vector<span>::const_iterator lower_bound(const std::vector<span>& list, std::string_view path) const;
    // Merges the batch into the main order.
    void settle() const;
    // Enters the span into the hash table, which is large enough.
    void enter(span s);

    std::string arena_;
    // Both in byte-wise order of their paths; a path is in one of them.
    mutable std::vector<span> order_;
    mutable std::vector<span> batch_;
    // Open addressing, at most half full; an unused slot has no_span.
    std::vector<span> table_;
};
