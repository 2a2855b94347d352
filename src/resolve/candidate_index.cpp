#include "resolve/candidate_index.h"

#include <algorithm>

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

template <typename T>
void add_once(std::vector<T>& list, T item) {
    if (list.empty() || list.back() != item) list.push_back(item);
}

}  // namespace

candidate_index::candidate_index(const installer_context& ctx) {
    // The program is single-threaded; only an index made while another is
    // alive needs tables of its own.
    static tables kept;
    if (kept.in_use) {
        own_ = std::make_unique<tables>();
        tables_ = own_.get();
    } else {
        tables_ = &kept;
        kept.in_use = true;
    }
    stamp_ = ++tables_->stamp;
    std::vector<package_record*>& records = tables_->records;
    records.swap(tables_->previous_records);
    tables_->own_slots.swap(tables_->previous_own_slots);
    records.clear();
    tables_->own_slots.clear();
    std::size_t previous_at = 0;
    for (const auto& owned : ctx.packages) {
        package_record* record = owned.get();
        const std::size_t position = records.size();
        records.push_back(record);
        slot& own = fill_own(*record, previous_at);
        tables_->own_slots.push_back(&own);
        if (!own.first_named) own.first_named = record;
        add_once(own.bearers, record);
        for (const requirement& provision : record->provisions) add_once(fill(provision.name).bearers, record);
        // conflicts_with never holds for a placeholder, either way.
        if (record->is_placeholder()) continue;
        add_once(own.bear, position);
        add_once(own.named, position);
        if (is_plain(*record)) continue;
        borne_names(*record, [&](const std::string& name) { add_once(fill(name).bear, position); });
        auto named = [&](const std::string& name) { add_once(fill(name).named, position); };
        named_names(*record, named);
    }
}

candidate_index::~candidate_index() {
    if (!own_) tables_->in_use = false;
}

candidate_index::slot& candidate_index::fill(const std::string& name) {
    auto entry = tables_->slots.try_emplace(name).first;
    entry->second.name = &entry->first;
    fill(entry->second);
    return entry->second;
}

candidate_index::slot& candidate_index::fill_own(const package_record& record, std::size_t& at) {
    // Between two plans records are only taken out of the list or added at
    // its end: the records of the previous index come in the same order.
    const std::vector<package_record*>& previous = tables_->previous_records;
    std::size_t next = at;
    while (next < previous.size() && previous[next] != &record) ++next;
    // A record the previous index did not have is new, and so are those after
    // it: they are not looked for there again, which would cost a pass over
    // the rest of it for each of them.
    at = next == previous.size() ? next : next + 1;
    if (next < previous.size()) {
        // A record made where a destroyed one was may bear another name.
        slot* kept = tables_->previous_own_slots[next];
        if (*kept->name == record.name) {
            fill(*kept);
            return *kept;
        }
    }
    return fill(record.name);
}

void candidate_index::fill(slot& found) {
    if (found.stamp != stamp_) {
        found.stamp = stamp_;
        found.first_named = nullptr;
        found.bearers.clear();
        found.bear.clear();
        found.named.clear();
    }
}

const candidate_index::slot* candidate_index::find(const std::string& name) const {
    auto found = tables_->slots.find(name);
    return found == tables_->slots.end() || found->second.stamp != stamp_ ? nullptr : &found->second;
}

std::vector<package_record*> candidate_index::collect(const requirement& req, bool include_disabled) const {
    std::vector<package_record*> candidates;
    const slot* found = find(req.name);
    if (!found) return candidates;
    // A record that neither bears nor provides the name can match no
    // requirement of it, so only the bearers need the full test.
    for (package_record* record : found->bearers) {
        if (record->is_placeholder()) continue;
        if (!matches(*record, req) && !provides(*record, req)) continue;
        if (record->disabled && !include_disabled) continue;
        candidates.push_back(record);
    }
    return candidates;
}

package_record* candidate_index::first_named(const std::string& name) const {
    const slot* found = find(name);
    return found ? found->first_named : nullptr;
}

void candidate_index::conflict_partners(std::size_t position, std::vector<package_record*>& partners) const {
    partners.clear();
    const package_record& record = *tables_->records[position];
    if (record.is_placeholder()) return;
    const slot& own = *tables_->own_slots[position];
    if (is_plain(record)) {
        // Its own name is the only name either way: the union of the two
        // lists of that name, both in package-list order.
        auto b = own.bear.begin(), n = own.named.begin();
        while (b != own.bear.end() || n != own.named.end()) {
            std::size_t next;
            if (n == own.named.end() || (b != own.bear.end() && *b < *n)) next = *b++;
            else if (b == own.bear.end() || *n < *b) next = *n++;
            else next = (++b, *n++);
            if (next != position) partners.push_back(tables_->records[next]);
        }
        return;
    }
    std::vector<std::size_t> positions;
    const auto gather = [&](const std::string& name, std::vector<std::size_t> slot::*list) {
        if (const slot* found = find(name))
            positions.insert(positions.end(), (found->*list).begin(), (found->*list).end());
    };
    // conflicts_with(record, X): X bears a name that record names.
    auto named = [&](const std::string& name) { gather(name, &slot::bear); };
    named_names(record, named);
    // conflicts_with(X, record): X names a name that record bears.
    borne_names(record, [&](const std::string& name) { gather(name, &slot::named); });
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    for (std::size_t at : positions)
        if (at != position) partners.push_back(tables_->records[at]);
}
