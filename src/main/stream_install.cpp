#include "main/stream_install.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <streambuf>
#include <string>

#include "main/exit_status.h"
#include "main/package_image.h"
#include "manifest/manifest.h"
#include "platform/file_system.h"
#include "platform/regular_file.h"
#include "platform/router_paths.h"
#include "resolve/action_planner.h"
#include "resolve/install_planner.h"
#include "store/database.h"

namespace {

// The copy of standard input: the package file as it arrived, which becomes
// the package image. Each run makes one of its own ("tmp" and six letters or
// digits after this prefix), so that no two runs ever write into one copy;
// the leading "." keeps the database loader from taking it for a record.
constexpr const char* copy_prefix = ".imagetmp";

// Copies that a run killed before its end left behind. Only one run at a
// time gets this far, so none of them is in use.
void remove_stale_copies() {
    DIR* dir = disk().opendir(database_directory);
    if (!dir) return;
    const std::size_t prefix = std::strlen(copy_prefix);
    while (const dirent* entry = disk().readdir(dir))
        if (std::strncmp(entry->d_name, copy_prefix, prefix) == 0 && std::strlen(entry->d_name) == prefix + 6)
            disk().unlink((std::string(database_directory) + entry->d_name).c_str());
    disk().closedir(dir);
}

// A new copy file for this run, readable like any package image; empty when
// none can be made, or when a symbolic link on the way would put it
// somewhere else than on flash.
std::string new_copy_path() {
    std::string path = std::string(database_directory) + copy_prefix + "XXXXXX";
    if (!reaches_without_links(path)) return "";
    const int fd = create_temporary(std::string(database_directory, std::strlen(database_directory) - 1), path, nullptr,
                                    copy_prefix);
    if (fd < 0) return "";
    const mode_t mask = ::umask(0);
    ::umask(mask);
    disk().close(fd);
    disk().chmod(path.c_str(), 0666 & ~mask);
    return path;
}

// Passes what the package stream reads on to the copy and remembers whether
// any of it was lost (a full flash): a copy with a hole must never become a
// package image, which later runs would find broken and uninstall.
class checked_copy : public std::streambuf {
public:
    explicit checked_copy(std::streambuf* to) : to_(to) {}
    bool lost() const { return lost_; }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        const std::streamsize put = to_->sputn(s, n);
        lost_ |= put != n;
        return put;
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        lost_ |= traits_type::eq_int_type(to_->sputc(traits_type::to_char_type(c)), traits_type::eof());
        return c;
    }
    int sync() override {
        lost_ |= to_->pubsync() != 0;
        return lost_ ? -1 : 0;
    }

private:
    std::streambuf* to_;
    bool lost_ = false;
};

}  // namespace

int stream_install_mode(installer_context& ctx, std::istream& input, std::uint32_t mask, simulation* simulated) {
    file_manifest manifest;
    apply_actions(ctx, manifest, planner_verbosity::disables_and_enables);
    std::string record_dir;
    bool boot = false;
    int result = 0;
    remove_stale_copies();
    const std::string copied_image_path = new_copy_path();
    {
        regular_ostream image(copied_image_path, false);
        if (copied_image_path.empty() || !image.is_open()) {
            std::fputs("ERROR: could not open image\n", stdout);
            std::fflush(stdout);
            // What the scheduled actions staged goes with the manifest.
            return exit_code(exit_status::no_image);
        }
        checked_copy copy(image.rdbuf());
        // The install result is the exit status.
        result = static_cast<int>(
            install_from_stream(ctx, manifest, input, mask, user_set_states{}, &copy, &record_dir, &boot));
        if (copy.pubsync() != 0 && result == exit_code(exit_status::success)) {
            report_error(ctx, "could not write image");
            result = exit_code(exit_status::failed);
        }
    }
    if (result == exit_code(exit_status::success)) {
        if (record_dir.empty()) {
            // No package keeps this copy as its image: a whole package on
            // flash for nothing.
            stage_remove(manifest, copied_image_path);
        } else {
            keep_as_image(manifest, copied_image_path, record_dir + "image", boot);
        }
        if (simulated) {
            simulated->would_apply(manifest);
        } else if (!apply_manifest(manifest, false)) {
            report_error(ctx, "could not apply the changes of this run");
            result = exit_code(exit_status::failed);
        }
    } else {
        // Nothing that the scheduled actions or the failed installation
        // staged is applied, and the partial copy goes.
        cancel_manifest(manifest);
        disk().unlink(copied_image_path.c_str());
    }
    if (!simulated) write_post_install_log(ctx);
    return result;
}
