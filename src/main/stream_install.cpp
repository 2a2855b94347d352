#include "main/stream_install.h"

#include <unistd.h>

#include <cstdio>
#include <streambuf>
#include <string>

#include "manifest/manifest.h"
#include "platform/regular_file.h"
#include "resolve/action_planner.h"
#include "resolve/install_planner.h"

namespace {

// The copy of standard input: the package file as it arrived, which becomes
// the package image. The database names it without the doubled slash.
constexpr const char* image_path = "/flash/var/pdb//image";
constexpr const char* copied_image_path = "/flash/var/pdb/image";
constexpr const char* boot_image_path = "/flash/bootimage";

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

int stream_install_mode(installer_context& ctx, std::istream& input, std::uint32_t mask) {
    file_manifest manifest;
    apply_actions(ctx, manifest, 1);
    std::string record_dir;
    bool boot = false;
    int result = 0;
    {
        regular_ostream image(image_path, false);
        if (!image.is_open()) {
            std::fputs("ERROR: could not open image\n", stdout);
            std::fflush(stdout);
            // What the scheduled actions staged must not stay behind on flash.
            cancel_manifest(manifest);
            return -1;
        }
        checked_copy copy(image.rdbuf());
        result = install_from_stream(ctx, manifest, input, mask, user_set_states{}, &copy, &record_dir, &boot);
        if (copy.pubsync() != 0 && result == 0) {
            report_error(ctx, "could not write image");
            result = 1;
        }
    }
    if (result == 0) {
        if (record_dir.empty()) {
            // No package keeps this copy as its image: a whole package on
            // flash for nothing.
            stage_remove(manifest, copied_image_path);
        } else if (boot) {
            stage_move(manifest, copied_image_path, boot_image_path);
            stage_symlink(manifest, boot_image_path, record_dir + "image");
        } else {
            stage_move(manifest, copied_image_path, record_dir + "image");
        }
        if (!apply_manifest(manifest, false)) {
            report_error(ctx, "could not apply the changes of this run");
            result = 1;
        }
    } else {
        // Nothing that the scheduled actions or the failed installation
        // staged is applied; the partial copy would be listed as a package
        // named "image" by later runs.
        cancel_manifest(manifest);
        ::unlink(copied_image_path);
    }
    write_post_install_log(ctx);
    return result;
}
