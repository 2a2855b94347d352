// "--simulate": a run that decides everything an upgrade run or a stream
// install would decide, over a file system that changes nothing, and prints
// what it decided as a plan instead of applying it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "console/context.h"
#include "manifest/manifest.h"
#include "platform/dry_run_disk.h"

class simulation {
public:
    // Begins once the database is loaded: remembers the installed records,
    // puts the file system that changes nothing in place and keeps the run's
    // messages off the console (the refusals among them go into the plan).
    simulation(installer_context& ctx, bool json);
    ~simulation();  // the real file system again
    simulation(const simulation&) = delete;
    simulation& operator=(const simulation&) = delete;

    // Where the run applies its manifest (or saves it): what the run
    // decided takes effect when the manifest holds anything.
    void would_apply(const file_manifest& manifest);
    // Prints the plan, one line per package (or the JSON document) and
    // returns status, the run's exit status.
    int finish(int status);

private:
    struct installed {
        std::string name;
        std::uint32_t version = 0, build_time = 0;
        bool disabled = false;
    };
    static std::vector<installed> installed_set(const installer_context& ctx);

    installer_context& ctx_;
    bool json_, quiet_;
    std::FILE* console_;
    std::FILE* discard_;
    std::vector<installed> before_;
    bool applied_ = false;
    dry_run_disk disk_;
};
