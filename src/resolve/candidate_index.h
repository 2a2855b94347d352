// The records of the package list by the names they stand for: their own name
// and every name they provide. The planners ask for the candidates of many
// requirements over a list that stays the same while they plan; going through
// the whole list for each of them would make a plan quadratic in its size.
//
// A plan runs after every package an upgrade installs, so the index is made
// once, at the first plan, and from then on follows the list: a record added
// or removed costs the index the names of that record only, not a pass over
// the list. Each record gets an ordinal when it is added; the list only ever
// appends, so ordinals order the records as the list does.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/package.h"
#include "store/package_list.h"

class candidate_index final : public package_list_follower {
public:
    // A record and its ordinal.
    struct item {
        std::uint64_t ordinal;
        package_record* record;
    };

    // The index that follows list, made now if the list has none yet.
    static candidate_index& of(package_list& list);

    // The same records, in the same order, as collect_candidates(ctx, req,
    // include_disabled).
    std::vector<package_record*> collect(const requirement& req, bool include_disabled) const;

    // The same record as find_package(ctx, name): the first of that name.
    package_record* first_named(const std::string& name) const;

    // Every other record X of the list for which conflicts_with(record, X) or
    // conflicts_with(X, record) may hold, in package-list order (some of them
    // may turn out unrelated); into partners. Those relations only ever hold
    // between a package and another that bears (by its name, a provision or a
    // member) a name the first one names (its own, a conflict, a provision or
    // one of its members' names), so the rest of the list can be passed over.
    void conflict_partners(const package_record& record, std::vector<package_record*>& partners) const;

    // The records the propagation steps may have to do with, in package-list
    // order: those with dependencies, a bundle or members, and those with a
    // name that another record also bears or names. The steps leave every
    // other record as it is, whatever its scheduled action, so a plan need
    // not go through the whole list.
    const std::vector<item>& involved() const { return involved_; }

    void added(package_record& record) override;
    void removing(const package_record& record) override;

private:
    // What the index knows under one name, each list in package-list order.
    struct slot {
        // Records of this name.
        std::vector<item> own_named;
        // Records whose own name or a provision is this name, each once.
        std::vector<item> bearers;
        // For conflict_partners: the records that bear this name, and those
        // that name it.
        std::vector<item> bear;
        std::vector<item> named;
        // Two records have met in bear or named: every record filed there
        // is involved, and stays so.
        bool shared = false;
    };
    struct entry {
        std::uint64_t ordinal;
        slot* own;
    };

    // Adds the record to involved_ unless it is there.
    void involve(const item& it);
    // Files the record under a name in bear or named.
    void file(std::vector<item> slot::*list, const std::string& name, const item& it);
    const slot* find(const std::string& name) const;

    std::unordered_map<std::string, slot> slots_;
    // The ordinal and the slot of the own name of each record.
    std::unordered_map<const package_record*, entry> entries_;
    std::vector<item> involved_;
    std::uint64_t next_ordinal_ = 0;
};
