#include "resolve/candidate_index.h"

#include <algorithm>
#include <memory>

#include "resolve/version.h"

namespace {

// Calls each(name) for every name a package bears: the names under which
// conflicts_with(a, package) looks at it as b.
template <typename F>
void borne_names(const package_description& package, F&& each) {
    each(package.name);
    for (const requirement& provision : package.provisions) each(provision.name);
    for (const auto& member : package.sub_packages) each(member->name);
}

// Calls each(name) for every name a package names as a in
// conflicts_with(a, b), its members' included.
template <typename F>
void named_names(const package_description& package, F& each) {
    each(package.name);
    for (const requirement& req : package.conflicts) each(req.name);
    for (const requirement& provision : package.provisions) each(provision.name);
    for (const auto& member : package.sub_packages) named_names(*member, each);
}

// A package that names and bears nothing but its own name.
bool is_plain(const package_description& package) {
    return package.provisions.empty() && package.conflicts.empty() && package.sub_packages.empty();
}

// For a search by ordinal.
constexpr auto before = [](const candidate_index::item& item, std::uint64_t ordinal) { return item.ordinal < ordinal; };

// The names of a record come one after another, so a record met twice under
// one name is the last item there.
template <typename T>
void add_once(std::vector<T>& list, T item) {
    if (list.empty() || list.back().record != item.record) list.push_back(item);
}

}  // namespace

candidate_index& candidate_index::of(package_list& list) {
    if (!list.follower()) {
        auto index = std::make_unique<candidate_index>();
        for (const auto& record : list) index->added(*record);
        list.follow(std::move(index));
    }
    return static_cast<candidate_index&>(*list.follower());
}

void candidate_index::added(package_record& record) {
    const item it{next_ordinal_++, &record};
    slot& own = slots_[record.name];
    entries_[&record] = entry{it.ordinal, &own};
    if (!record.dependencies.empty() || !record.bundle_reference.name.empty() || record.bundle)
        involve(it);
    own.own_named.push_back(it);
    add_once(own.bearers, it);
    for (const requirement& provision : record.provisions) add_once(slots_[provision.name].bearers, it);
    // conflicts_with never holds for a placeholder, either way.
    if (record.is_placeholder()) return;
    // A plain record names its own name too, but whoever bears that name
    // finds it under bear, and whoever names it bears it as well.
    file(&slot::bear, record.name, it);
    if (is_plain(record)) return;
    involve(it);
    borne_names(record, [&](const std::string& name) { file(&slot::bear, name, it); });
    auto named = [&](const std::string& name) { file(&slot::named, name, it); };
    named_names(record, named);
}

void candidate_index::involve(const item& it) {
    // Mostly the newest record, which goes at the end.
    auto at = std::lower_bound(involved_.begin(), involved_.end(), it.ordinal, before);
    if (at == involved_.end() || at->ordinal != it.ordinal) involved_.insert(at, it);
}

void candidate_index::file(std::vector<item> slot::*list, const std::string& name, const item& it) {
    slot& s = slots_[name];
    add_once(s.*list, it);
    if (s.shared) {
        involve(it);
        return;
    }
    const auto other = [&](const item& i) { return i.record != it.record; };
    if (std::none_of(s.bear.begin(), s.bear.end(), other) && std::none_of(s.named.begin(), s.named.end(), other))
        return;
    s.shared = true;
    for (const std::vector<item>* filed : {&s.bear, &s.named})
        for (const item& i : *filed) involve(i);
}

void candidate_index::removing(const package_record& record) {
    auto found = entries_.find(&record);
    auto at = std::lower_bound(involved_.begin(), involved_.end(), found->second.ordinal, before);
    if (at != involved_.end() && at->ordinal == found->second.ordinal) involved_.erase(at);
    entries_.erase(found);
    // Every name added() filed the record under is one of these.
    auto purge = [&](const std::string& name) {
        auto found = slots_.find(name);
        if (found == slots_.end()) return;
        slot& s = found->second;
        const auto is_record = [&](const item& i) { return i.record == &record; };
        for (std::vector<item>* list : {&s.own_named, &s.bearers, &s.bear, &s.named}) std::erase_if(*list, is_record);
        // Nothing refers to an empty slot: its name is no record's own.
        if (s.own_named.empty() && s.bearers.empty() && s.bear.empty() && s.named.empty()) slots_.erase(found);
    };
    borne_names(record, purge);
    named_names(record, purge);
}

const candidate_index::slot* candidate_index::find(const std::string& name) const {
    auto found = slots_.find(name);
    return found == slots_.end() ? nullptr : &found->second;
}

std::vector<package_record*> candidate_index::collect(const requirement& req, bool include_disabled) const {
    std::vector<package_record*> candidates;
    const slot* found = find(req.name);
    if (!found) return candidates;
    // A record that neither bears nor provides the name can match no
    // requirement of it, so only the bearers need the full test.
    for (const item& bearer : found->bearers) {
        package_record* record = bearer.record;
        if (record->is_placeholder()) continue;
        if (!matches(*record, req) && !provides(*record, req)) continue;
        if (record->disabled && !include_disabled) continue;
        candidates.push_back(record);
    }
    return candidates;
}

package_record* candidate_index::first_named(const std::string& name) const {
    const slot* found = find(name);
    return found && !found->own_named.empty() ? found->own_named.front().record : nullptr;
}

void candidate_index::conflict_partners(const package_record& record, std::vector<package_record*>& partners) const {
    partners.clear();
    if (record.is_placeholder()) return;
    const slot& own = *entries_.at(&record).own;
    if (is_plain(record)) {
        // Its own name is the only name either way: the union of the two
        // lists of that name, both in package-list order.
        auto b = own.bear.begin(), n = own.named.begin();
        while (b != own.bear.end() || n != own.named.end()) {
            const item* next;
            if (n == own.named.end() || (b != own.bear.end() && b->ordinal < n->ordinal)) next = &*b++;
            else if (b == own.bear.end() || n->ordinal < b->ordinal) next = &*n++;
            else next = (++b, &*n++);
            if (next->record != &record) partners.push_back(next->record);
        }
        return;
    }
    std::vector<item> found;
    const auto gather = [&](const std::string& name, std::vector<item> slot::*list) {
        if (const slot* s = find(name)) found.insert(found.end(), (s->*list).begin(), (s->*list).end());
    };
    // conflicts_with(record, X): X bears a name that record names.
    auto named = [&](const std::string& name) { gather(name, &slot::bear); };
    named_names(record, named);
    // conflicts_with(X, record): X names a name that record bears.
    borne_names(record, [&](const std::string& name) { gather(name, &slot::named); });
    std::sort(found.begin(), found.end(), [](const item& a, const item& b) { return a.ordinal < b.ordinal; });
    found.erase(std::unique(found.begin(), found.end(), [](const item& a, const item& b) { return a.ordinal == b.ordinal; }),
                found.end());
    for (const item& at : found)
        if (at.record != &record) partners.push_back(at.record);
}
