// The action planner and filter_candidates against the plain forms they were made fast from: every step a scan of
// the whole package list, every look-up a call of collect_candidates or find_package, every package compared with
// every other. Random package lists (seeded, so a failure repeats) must come out of both alike: the same answer,
// plan lists, scheduled actions, order and messages.
#include <gtest/gtest.h>

#include <random>
#include <unordered_set>

#include "platform/hardware.h"
#include "platform/probes.h"
#include "resolve/action_planner.h"
#include "resolve/candidate_index.h"
#include "resolve/selection.h"
#include "resolve/version.h"
#include "support/package_line.h"

namespace {

bool removing(const package_record& r) {
    return r.scheduled_action == action_uninstall || r.scheduled_action == action_disable;
}

struct reference_steps {
    installer_context& ctx;
    bool report;
    std::uint64_t changes = 0;
    std::vector<std::pair<const package_record*, std::uint64_t>> activating;

    void set_action(package_record& r, action_kind action) {
        if (r.scheduled_action != action) ++changes;
        r.scheduled_action = action;
    }
    void follow_bundles() {
        for (const auto& m : ctx.packages) {
            const package_record* b = m->bundle_reference.name.empty() ? nullptr : find_package(ctx, m->bundle_reference.name);
            const action_kind action = b ? b->scheduled_action : action_none;
            if (action == action_disable && m->scheduled_action != action_uninstall) m->scheduled_action = action_disable;
            if (action == action_uninstall) m->scheduled_action = action_uninstall;
            if (action == action_enable && m->disabled) m->scheduled_action = action_enable;
        }
    }
    void activate_dependencies(package_record& r) {
        for (const auto& [under_way, at] : activating)
            if (under_way == &r && at == changes) return;
        activating.emplace_back(&r, changes);
        if (!r.bundle_reference.name.empty())
            if (package_record* b = find_package(ctx, r.bundle_reference.name)) make_dependency_active(*b, r);
        for (const requirement& req : r.dependencies) {
            std::vector<package_record*> c = collect_candidates(ctx, req, true);
            if (candidate_status(c) == candidate_active) continue;
            if (c.empty()) break;
            filter_candidates(ctx, c, no_minimum_version, false);
            if (!c.empty()) make_dependency_active(*c.back(), r);
        }
        activating.pop_back();
    }
    void make_dependency_active(package_record& d, const package_record& p) {
        if (removing(d)) {
            if (report)
                report_warning(ctx, "can not %s %s: %s depends on it", action_word(d.scheduled_action),
                               name_version_text(d).c_str(), p.name.c_str());
            set_action(d, action_none);
        } else {
            if (!d.disabled) return;
            set_action(d, action_enable);
        }
        activate_dependencies(d);
    }
    void resolve_conflicts(package_record& p) {
        for (const auto& owned : ctx.packages) {
            package_record& x = *owned;
            if (&x == &p || !active_after_plan(x)) continue;
            if (conflicts_with(p, x)) {
                if (x.scheduled_action == action_none) x.scheduled_action = action_disable;
                continue;
            }
            if (p.scheduled_action != action_enable || !conflicts_with(x, p)) continue;
            if (x.scheduled_action == action_none) {
                x.scheduled_action = action_disable;
            } else if (x.scheduled_action == action_enable) {
                if (report)
                    report_warning(ctx, "can not enable %s: %s conflicts with it", p.name.c_str(),
                                   name_version_text(x).c_str());
                p.scheduled_action = action_none;
                return;
            }
        }
    }
    bool drop_one_orphan() {
        for (const auto& p : ctx.packages)
            for (const requirement& req : p->dependencies) {
                int status = candidate_status(collect_candidates(ctx, req, true));
                if (status == candidate_none && p->scheduled_action != action_uninstall)
                    return p->scheduled_action = action_uninstall, true;
                if (status == candidate_inactive && active_after_plan(*p))
                    return p->scheduled_action = action_disable, true;
            }
        return false;
    }
    void settle_bundles() {
        for (const auto& b : ctx.packages) {
            if (!b->bundle || b->scheduled_action == action_uninstall || b.get() == ctx.bundle_being_installed) continue;
            bool active = false, inactive = false;
            for (const auto& m : ctx.packages) {
                if (m->is_placeholder() || m->bundle_reference.name != b->name) continue;
                if ((active = active_after_plan(*m))) break;
                if (m->disabled ? m->scheduled_action != action_enable && m->scheduled_action != action_uninstall
                                : m->scheduled_action == action_disable)
                    inactive = true;
            }
            if (active) continue;
            if (!inactive || !b->disabled) b->scheduled_action = action_uninstall;
            else if (b->scheduled_action == action_enable) b->scheduled_action = action_none;
        }
    }
};

record_list reference_propagate(installer_context& ctx, bool report, record_list& enabling) {
    reference_steps steps{ctx, report, 0, {}};
    steps.follow_bundles();
    for (const auto& r : ctx.packages)
        if (active_after_plan(*r)) steps.activate_dependencies(*r);
    for (const auto& r : ctx.packages)
        if (active_after_plan(*r)) steps.resolve_conflicts(*r);
    while (steps.drop_one_orphan()) {
    }
    steps.settle_bundles();
    enabling.clear();
    for (const auto& r : ctx.packages)
        if (r->scheduled_action == action_enable) enabling.push_back(r.get());
    record_list enabled = enabling;
    filter_candidates(ctx, enabled, no_minimum_version, false);
    return enabled;
}

bool reference_plan(installer_context& ctx, record_list& removal, record_list& enable, bool report) {
    std::vector<action_kind> requested;
    for (const auto& r : ctx.packages) requested.push_back(r->scheduled_action);
    const auto restore = [&] {
        for (std::size_t i = 0; i < requested.size(); ++i) ctx.packages[i]->scheduled_action = requested[i];
    };
    record_list enabling;
    record_list enabled = reference_propagate(ctx, false, enabling);
    for (bool withdrawn = true; withdrawn;) {
        withdrawn = false;
        const std::unordered_set<package_record*> kept(enabled.begin(), enabled.end());
        for (std::size_t i = 0; i < ctx.packages.size(); ++i)
            if (ctx.packages[i]->scheduled_action == action_enable && !kept.contains(ctx.packages[i].get()) &&
                requested[i] == action_enable)
                requested[i] = action_none, withdrawn = true;
        if (withdrawn) restore(), enabled = reference_propagate(ctx, false, enabling);
    }
    if (report) restore(), enabled = reference_propagate(ctx, true, enabling);
    const std::unordered_set<package_record*> kept(enabled.begin(), enabled.end());
    for (package_record* r : enabling)
        if (!kept.contains(r)) r->scheduled_action = action_none;
    if (!ctx.packages.empty() && !any_active(ctx)) {
        for (const auto& r : ctx.packages) r->scheduled_action = action_none;
        if (report) report_error(ctx, "can not uninstall or disable all packages");
        return false;
    }
    for (const auto& r : ctx.packages)
        if (removing(*r)) removal.insert(removal.begin(), r.get());
    enable.insert(enable.begin(), enabled.rbegin(), enabled.rend());
    return true;
}

std::vector<std::size_t> reference_filter(installer_context& ctx, const std::vector<const package_description*>& list,
                                          std::uint32_t minimum, bool report) {
    const bool downgrade = minimum != no_minimum_version, flagged = flagged_state();
    std::vector<std::size_t> survivors, placed;
    for (std::size_t x = 0; x < list.size(); ++x) {
        const package_description& c = *list[x];
        if (downgrade && c.version < minimum) {
            report_warning(ctx, "ommitting package %s: not allowed", name_version_text(c).c_str());
            continue;
        }
        bool dropped = false;
        for (std::size_t y = 0; y < list.size() && !dropped; ++y) {
            const package_description& o = *list[y];
            if (y == x) continue;
            if (flagged && o.build_time > c.build_time) {
                dropped = true;
                if (report)
                    report_warning(ctx, "ommiting older package %s: router in flagged state", name_version_text(c).c_str());
                break;
            }
            if ((downgrade && o.version < minimum) || (!named_or_contains(c, o.name) && !named_or_contains(o, c.name)))
                continue;
            const int order = directional_compare(o, c, downgrade);
            if (order > 0 && report)
                report_warning(ctx, downgrade ? "omitting package %s: older package is already provided"
                                              : "omitting package %s: newer package is already provided",
                               name_version_text(c).c_str());
            dropped = order > 0 || (order == 0 && (!c.bundle || o.bundle));
        }
        if (!dropped) survivors.push_back(x);
    }
    for (std::size_t x : survivors) {
        std::size_t at = placed.size();
        while (at > 0 && !depends_on(*list[x], *list[placed[at - 1]]) && !conflicts_with(*list[placed[at - 1]], *list[x]))
            --at;
        placed.insert(placed.begin() + static_cast<std::ptrdiff_t>(at), x);
    }
    return placed;
}

// A random package line over a few names, so that dependencies, provisions, conflicts and bundles meet.
std::string random_line(std::mt19937& random, bool record = true) {
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const auto name = [&] { return std::string(1, static_cast<char>('a' + pick(6))); };
    const auto bound = [&] { return pick(3) == 0 ? ":2.0" : pick(4) == 0 ? "::1.0" : ""; };
    std::string text = name() + (pick(3) == 0 ? "-2.0" : "");
    for (int n = pick(3); n > 0; --n) text += " >" + name() + bound();
    if (pick(3) == 0) text += " +" + name() + "::" + (pick(3) == 0 ? "" : "0") + ":" + std::to_string(pick(3) - 1);
    for (int n = pick(3); n > 0; --n) text += " !" + name() + bound();
    if (pick(6) == 0) text += " bundle";
    if (pick(5) == 0) text += " @" + std::to_string(pick(3));
    if (pick(6) == 0) text += " {" + name() + (pick(2) ? "-2.0" : "") + (pick(2) ? " >" + name() : "") + "}";
    if (pick(5) == 0) text += " ^" + name();
    if (pick(12) == 0) text += " placeholder";
    if (!record) return text;
    if (pick(3) == 0) text += " off";
    static const char* const actions[] = {"", "", "", " do=uninstall", " do=enable", " do=disable"};
    return text + actions[pick(6)];
}

// Both planners on two copies of one list: the answer, the plan lists as positions in the list, every scheduled
// action and the messages. With `later` lines, the list is planned again after every other record has been
// removed and those have been added: the index that follows the list must see the changes.
std::string outcome(bool fast, const std::vector<std::string>& lines, bool report,
                    const std::vector<std::string>& later = {}) {
    installer_context ctx;
    ctx.out = std::tmpfile();
    for (const std::string& l : lines) ctx.packages.add(line::object(l));
    std::string out;
    for (int round = 0; round < (later.empty() ? 1 : 2); ++round) {
        if (round == 1) {
            std::vector<package_record*> doomed;
            for (std::size_t i = 0; i < ctx.packages.size(); i += 2) doomed.push_back(ctx.packages[i].get());
            for (package_record* r : doomed) ctx.packages.remove(r);
            for (const std::string& l : later) ctx.packages.add(line::object(l));
        }
        std::vector<package_record*> order;
        for (const auto& r : ctx.packages) order.push_back(r.get());
        record_list removal, enable;
        const bool planned =
            fast ? plan_actions(ctx, removal, enable, report) : reference_plan(ctx, removal, enable, report);
        out += planned ? " planned" : " refused";
        const auto positions = [&](const char* label, const record_list& list) {
            out += label;
            for (const package_record* r : list) out += " " + std::to_string(std::find(order.begin(), order.end(), r) - order.begin());
        };
        positions(" removal:", removal);
        positions(" enable:", enable);
        out += " actions:";
        for (const auto& r : ctx.packages) out += std::to_string(static_cast<int>(r->scheduled_action));
    }
    for (const std::string& m : ctx.messages) out += "\n" + m;
    std::fclose(ctx.out);
    return out;
}

TEST(PlannerEquivalenceTest, RandomListsPlanAsThePlainScans) {
    std::mt19937 random(26);
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::string> lines;
        for (int n = 1 + static_cast<int>(random() % 9); n > 0; --n) lines.push_back(random_line(random));
        const bool report = round % 2 == 0;
        std::vector<std::string> later;
        for (int n = round % 3 == 0 ? static_cast<int>(random() % 5) : 0; n > 0; --n) later.push_back(random_line(random));
        std::string listed;
        for (const std::string& l : lines) listed += l + "\n";
        for (const std::string& l : later) listed += "later: " + l + "\n";
        ASSERT_EQ(outcome(true, lines, report, later), outcome(false, lines, report, later))
            << "round " << round << ":\n" << listed;
    }
}

// The index answers every requirement of a random list with the records collect_candidates finds, in its order,
// and gives each record every record it conflicts with either way, once and in list order, having followed the list
// from empty through every record added and the first one removed.
TEST(PlannerEquivalenceTest, RandomListsCollectAsThePlainScan) {
    std::mt19937 random(28);
    for (int round = 0; round < 2000; ++round) {
        installer_context ctx;
        const candidate_index& index = candidate_index::of(ctx.packages);
        for (int n = 1 + static_cast<int>(random() % 9); n > 0; --n) ctx.packages.add(line::object(random_line(random)));
        if (round % 2 == 0) ctx.packages.remove(ctx.packages[0].get());
        for (const auto& r : ctx.packages)
            for (const auto* list : {&r->dependencies, &r->conflicts, &r->provisions})
                for (const requirement& req : *list)
                    for (bool disabled : {false, true})
                        ASSERT_EQ(index.collect(req, disabled), collect_candidates(ctx, req, disabled))
                            << "round " << round << " " << req.name << " " << disabled;
        std::vector<package_record*> partners, order;
        for (const auto& r : ctx.packages) order.push_back(r.get());
        for (const auto& r : ctx.packages) {
            index.conflict_partners(*r, partners);
            std::vector<package_record*> in_order;
            for (package_record* x : order)
                if (std::find(partners.begin(), partners.end(), x) != partners.end()) in_order.push_back(x);
            ASSERT_EQ(partners, in_order) << "round " << round << " " << r->name;
            for (package_record* x : order) {
                const bool related = x != r.get() && (conflicts_with(*r, *x) || conflicts_with(*x, *r));
                ASSERT_TRUE(!related || std::find(partners.begin(), partners.end(), x) != partners.end())
                    << "round " << round << " " << r->name << " " << x->name;
            }
        }
    }
}

}  // namespace

TEST(PlannerEquivalenceTest, RandomOffersFilterAsEveryPairCompared) {
    std::mt19937 random(22);
    platform::fake_hardware hw;
    platform::set_hardware(&hw);
    for (int round = 0; round < 3000; ++round) {
        hw.flagged = round % 5 == 0;
        std::vector<std::unique_ptr<package_description>> owned;
        std::vector<const package_description*> list;
        std::string listed;
        for (int n = static_cast<int>(random() % 10); n > 0; --n) {
            const std::string offered = random_line(random, false);
            listed += offered + "\n";
            owned.push_back(line::object<package_description>(offered));
            list.push_back(owned.back().get());
        }
        const std::uint32_t minimum = round % 3 == 0 ? make_version(2, 0, 'f', 0) : no_minimum_version;
        const auto run = [&](bool fast) {
            installer_context ctx;
            ctx.out = std::tmpfile();
            std::string out;
            for (std::size_t i : fast ? filter_candidate_order(ctx, list, minimum, round % 2 == 0)
                                      : reference_filter(ctx, list, minimum, round % 2 == 0))
                out += std::to_string(i) + " ";
            for (const std::string& m : ctx.messages) out += "\n" + m;
            std::fclose(ctx.out);
            return out;
        };
        ASSERT_EQ(run(true), run(false)) << "round " << round << ":\n" << listed;
    }
    platform::set_hardware(nullptr);
}
