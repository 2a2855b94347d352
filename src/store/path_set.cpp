#include "store/path_set.h"

#include <algorithm>
#include <functional>

namespace {

// Paths added before the batch is merged: small enough that adding one moves
// little, large enough that merging rarely moves the whole order.
constexpr std::size_t batch_limit = 512;
constexpr std::uint32_t no_span = 0xFFFFFFFF;

}  // namespace

path_set::path_set(std::initializer_list<std::string> paths) {
    for (const std::string& path : paths) insert(path);
}

path_set& path_set::operator=(std::initializer_list<std::string> paths) {
    clear();
    for (const std::string& path : paths) insert(path);
    return *this;
}

std::vector<path_set::span>::const_iterator path_set::lower_bound(const std::vector<span>& list,
                                                                  std::string_view path) const {
    return std::lower_bound(list.begin(), list.end(), path,
                            [this](span s, std::string_view p) { return view(s) < p; });
}

bool path_set::insert(std::string_view path) {
    if (count(path) != 0) return false;
    const span added{static_cast<std::uint32_t>(arena_.size()), static_cast<std::uint32_t>(path.size())};
    arena_.append(path);
    if (2 * (size() + 1) > table_.size()) {
        std::vector<span> old(std::max<std::size_t>(16, 2 * table_.size()), span{0, no_span});
        old.swap(table_);
        for (span s : old)
            if (s.length != no_span) enter(s);
    }
    enter(added);
    batch_.insert(lower_bound(batch_, path), added);
    if (batch_.size() == batch_limit) settle();
    return true;
}

void path_set::enter(span s) {
    const std::size_t mask = table_.size() - 1;
    std::size_t at = std::hash<std::string_view>()(view(s)) & mask;
    while (table_[at].length != no_span) at = (at + 1) & mask;
    table_[at] = s;
}

std::size_t path_set::count(std::string_view path) const {
    if (table_.empty()) return 0;
    const std::size_t mask = table_.size() - 1;
    for (std::size_t at = std::hash<std::string_view>()(path) & mask; table_[at].length != no_span; at = (at + 1) & mask)
        if (table_[at].length == path.size() && view(table_[at]) == path) return 1;
    return 0;
}

bool path_set::has_prefix(std::string_view prefix) const {
    for (const std::vector<span>* list : {&order_, &batch_}) {
        auto found = lower_bound(*list, prefix);
        if (found != list->end() && view(*found).starts_with(prefix)) return true;
    }
    return false;
}

void path_set::clear() {
    arena_.clear();
    order_.clear();
    batch_.clear();
    table_.clear();
}

void path_set::settle() const {
    if (batch_.empty()) return;
    const std::size_t middle = order_.size();
    order_.insert(order_.end(), batch_.begin(), batch_.end());
    std::inplace_merge(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(middle), order_.end(),
                       [this](span a, span b) { return view(a) < view(b); });
    batch_.clear();
}

path_set::const_iterator path_set::begin() const {
    settle();
    return const_iterator(this, order_.begin());
}

path_set::const_iterator path_set::end() const {
    settle();
    return const_iterator(this, order_.end());
}

bool path_set::operator==(const path_set& other) const {
    return size() == other.size() && std::equal(begin(), end(), other.begin());
}
