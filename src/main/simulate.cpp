#include "main/simulate.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "console/json_writer.h"
#include "resolve/version.h"

namespace {

// Marks where the run's own messages begin: the lines carried over from the
// post-install log are put ahead of everything collected before.
const std::string run_begins = "\x01 simulation";

// Console output of the simulated run goes nowhere.
ssize_t swallow(void*, const char*, size_t size) { return static_cast<ssize_t>(size); }

struct plan_line {
    std::string action, name, from, to;  // to: the version afterwards; from: before
    bool disabled = false;
    std::string reason;  // of a refusal
};

std::string text_of(const plan_line& line) {
    const std::string disabled = line.disabled ? " (disabled)" : "";
    if (line.action == "refused") return "refused: " + line.reason;
    if (line.action == "upgrade" || line.action == "downgrade")
        return line.action + " " + line.name + " " + line.from + " -> " + line.to;
    return line.action + " " + line.name + "-" + (line.to.empty() ? line.from : line.to) +
           (line.action == "install" ? disabled : "");
}

void write_json(std::FILE* out, const std::vector<plan_line>& plan, int status) {
    json_writer json;
    json.begin_object();
    json.key("plan");
    json.begin_array();
    for (const plan_line& line : plan) {
        json.begin_object();
        json.key("action");
        json.string(line.action);
        if (line.action == "refused") {
            json.key("reason");
            json.string(line.reason);
        } else {
            json.key("name");
            json.string(line.name);
            if (!line.from.empty()) {
                json.key("from");
                json.string(line.from);
            }
            if (!line.to.empty()) {
                json.key("to");
                json.string(line.to);
            }
            json.key("disabled");
            json.boolean(line.disabled);
        }
        json.end_object();
    }
    json.end_array();
    json.key("status");
    json.number(static_cast<std::uint64_t>(status & 0xFF));
    json.end_object();
    std::fputs(json.text().c_str(), out);
}

}  // namespace

simulation::simulation(installer_context& ctx, bool json)
    : ctx_(ctx), json_(json), quiet_(ctx.quiet), console_(ctx.out), before_(installed_set(ctx)) {
    cookie_io_functions_t nowhere{};
    nowhere.write = swallow;
    discard_ = ::fopencookie(nullptr, "w", nowhere);
    // Messages are collected even with "-q": they are the reasons of the plan.
    ctx.quiet = false;
    if (discard_) ctx.out = discard_;
    ctx.messages.push_back(run_begins);
    use_disk(&disk_);
}

simulation::~simulation() {
    use_disk(nullptr);
    ctx_.out = console_;
    ctx_.quiet = quiet_;
    if (discard_) std::fclose(discard_);
}

std::vector<simulation::installed> simulation::installed_set(const installer_context& ctx) {
    // The first record of a name is the one every scan finds.
    std::vector<installed> set;
    for (const auto& record : ctx.packages) {
        if (record->name.empty()) continue;  // a marker of this run, never stored
        if (std::any_of(set.begin(), set.end(), [&](const installed& i) { return i.name == record->name; }))
            continue;
        set.push_back({record->name, record->version, record->build_time, record->disabled});
    }
    std::sort(set.begin(), set.end(), [](const installed& a, const installed& b) { return a.name < b.name; });
    return set;
}

void simulation::would_apply(const file_manifest& manifest) { applied_ = !is_empty(manifest); }

int simulation::finish(int status) {
    std::vector<plan_line> plan;
    // The run's errors and warnings: each refuses a package, an action or
    // the run, and says why.
    auto begins = std::find(ctx_.messages.begin(), ctx_.messages.end(), run_begins);
    for (auto it = begins; it != ctx_.messages.end(); ++it)
        for (const char* prefix : {"ERROR: ", "WARNING: "})
            if (it->starts_with(prefix)) plan.push_back({"refused", "", "", "", false, it->substr(std::strlen(prefix))});

    if (applied_) {
        const std::vector<installed> after = installed_set(ctx_);
        auto old = before_.begin();
        auto now = after.begin();
        while (old != before_.end() || now != after.end()) {
            if (now == after.end() || (old != before_.end() && old->name < now->name)) {
                plan.push_back({"uninstall", old->name, format_version(old->version), "", old->disabled, ""});
                ++old;
                continue;
            }
            if (old == before_.end() || now->name < old->name) {
                plan.push_back({"install", now->name, "", format_version(now->version), now->disabled, ""});
                ++now;
                continue;
            }
            const auto was = std::make_pair(old->version, old->build_time);
            const auto is = std::make_pair(now->version, now->build_time);
            if (was != is)
                plan.push_back({was < is ? "upgrade" : "downgrade", now->name, format_version(old->version),
                                format_version(now->version), now->disabled, ""});
            if (old->disabled != now->disabled)
                plan.push_back({now->disabled ? "disable" : "enable", now->name, "", format_version(now->version),
                                now->disabled, ""});
            ++old;
            ++now;
        }
    }

    if (json_) {
        write_json(console_, plan, status);
    } else {
        for (const plan_line& line : plan) std::fprintf(console_, "%s\n", text_of(line).c_str());
    }
    std::fflush(console_);
    return status;
}
