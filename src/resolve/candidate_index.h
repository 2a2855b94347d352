// The records of the package list by the names they stand for: their own name
// and every name they provide. The planners ask for the candidates of many
// requirements over a list that stays the same while they plan; going through
// the whole list for each of them would make a plan quadratic in its size.
//
// An index is made for every plan, and a plan runs after every package an
// upgrade installs, so the index keeps its tables from one plan to the next
// (emptied, with their room kept), and a record still in the list finds the
// slot of its own name where it was: making the index costs a look-up only
// for other names and new records, and allocates nothing once those are
// known.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "console/context.h"
#include "store/package.h"

class candidate_index {
public:
    // Indexes the package list as it stands. Records added to or taken out of
    // the list afterwards are not seen, and a record taken out must not be
    // looked up through an index built before.
    explicit candidate_index(const installer_context& ctx);
    ~candidate_index();
    candidate_index(const candidate_index&) = delete;
    candidate_index& operator=(const candidate_index&) = delete;

    // The same records, in the same order, as collect_candidates(ctx, req,
    // include_disabled).
    std::vector<package_record*> collect(const requirement& req, bool include_disabled) const;

    // The same record as find_package(ctx, name): the first of that name.
    package_record* first_named(const std::string& name) const;

    // Every other record X of the list for which conflicts_with(record, X) or
    // conflicts_with(X, record) may hold, in package-list order (some of them
    // may turn out unrelated), for the record at that position of the list;
    // into partners. Those relations only ever hold between a package and
    // another that bears (by its name, a provision or a member) a name the
    // first one names (its own, a conflict, a provision or one of its
    // members' names), so the rest of the list can be passed over.
    void conflict_partners(std::size_t position, std::vector<package_record*>& partners) const;

private:
    // What the index knows under one name, valid only for the index whose
    // stamp it carries.
    struct slot {
        std::uint64_t stamp = 0;
        // The name, the key of the slot in the table.
        const std::string* name = nullptr;
        // The first record of this name.
        package_record* first_named = nullptr;
        // Records whose own name or a provision is this name, in package-list
        // order, each once.
        std::vector<package_record*> bearers;
        // For conflict_partners: positions of the records that bear this
        // name, and of those that name it.
        std::vector<std::size_t> bear;
        std::vector<std::size_t> named;
    };
    struct tables {
        std::unordered_map<std::string, slot> slots;
        std::vector<package_record*> records;
        // The slot of each record's own name, by position.
        std::vector<slot*> own_slots;
        // Both as the previous index left them: a record still in the list
        // keeps its slot while its name is the slot's name.
        std::vector<package_record*> previous_records;
        std::vector<slot*> previous_own_slots;
        std::uint64_t stamp = 0;
        bool in_use = false;
    };

    // The slot of a name, emptied first when an earlier index filled it.
    slot& fill(const std::string& name);
    // The slot of a record's own name (fill(record.name)), from the previous
    // index when that had the record; at is where the search there goes on.
    slot& fill_own(const package_record& record, std::size_t& at);
    void fill(slot& found);
    // The slot of a name, or null when this index has nothing under it.
    const slot* find(const std::string& name) const;

    // The tables kept between plans, or tables of its own while another
    // index holds those.
    tables* tables_;
    std::unique_ptr<tables> own_;
    std::uint64_t stamp_;
};
