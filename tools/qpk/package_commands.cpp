#include "qpk/package_commands.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

#include "qpk/command_line.h"
#include "qpk/exit_status.h"
#include "qpk/install_checks.h"
#include "qpk/signing_commands.h"
#include "qpk/tree.h"
#include "qpk/version_text.h"
#include "store/package_format.h"

namespace qpk {

namespace {

const char* const build_help =
    "usage: qpk build [options] -o OUTPUT [DIRECTORY]\n"
    "Makes a package whose file archive holds the directories and regular files below DIRECTORY.\n"
    "  -o, --output FILE          the package file to write (required)\n"
    "  -d, --description FILE     settings, one \"key = value\" a line, keys named like the long options\n"
    "  --name NAME                package name, 1 to 16 characters (required)\n"
    "  --version VERSION          6.40, 6.40.1, 6.40beta3, 6.40rc1 or 6.40alpha2 (required)\n"
    "  --build-time SECONDS       build time (default: $SOURCE_DATE_EPOCH, else now)\n"
    "  --arch NAME                architecture part (without one the installer reads i386)\n"
    "  --note TEXT                note part, shown in the installer's listing\n"
    "  --text24 TEXT, --text2 TEXT  parts of type 24 and 2\n"
    "  --depends NAME[:MIN[:MAX[:PRECEDENCE]]]  add a dependency (repeatable; empty or 0 bound: open)\n"
    "  --provides REQUIREMENT     add a provision (repeatable)\n"
    "  --conflicts REQUIREMENT    add a conflict (repeatable)\n"
    "  --boot, --no-meta          set the boot (1) or no-meta (2) header flag\n"
    "  --flags N                  header flags as a number (the flags above are added)\n"
    "  --short-header             write the 32-byte header part without header flags\n"
    "  --image FILE               add an image part holding FILE\n"
    "  --class PATH=N             install PATH only on board variant N (0: on every board; repeatable)\n"
    "  --second-magic             write a second-kind package (magic 0xA1100FFB)\n"
    "  --key FILE                 sign with this private key file (without it: unsigned, warned)\n"
    "  --level N                  with --key: 2 (default, both signatures) or 1 (Curve25519 only)\n"
    "  --sha256                   start with a hash switch: the signature covers a SHA-256 digest\n"
    "  --signature-length N       132 (default) or 68; with --key, 68 is --level 1\n"
    "  --trailing-arch NAME       add an architecture part after the signature\n"
    "  -h, --help                 show this help\n"
    "Refused: names and entries the installer refuses, symbolic links, pipes, sockets, devices.\n"
    "Exit status: 0 written, 1 refused or failed (nothing written), 2 bad arguments.\n";

const char* const bundle_help =
    "usage: qpk bundle [options] --image FILE -o OUTPUT MEMBER...\n"
    "Makes a bundle: a bundle header, its description, then each MEMBER package file in order.\n"
    "  -o, --output FILE          the bundle file to write (required)\n"
    "  -d, --description FILE     settings as for \"qpk build\" (\"member = file.qpk\" adds a member)\n"
    "  --name NAME                bundle name, 1 to 16 characters (required)\n"
    "  --version VERSION          bundle version (required)\n"
    "  --build-time SECONDS       build time (default: $SOURCE_DATE_EPOCH, else now)\n"
    "  --image FILE               image part (required: the installer keeps a bundle by its image)\n"
    "  --arch, --note, --text24, --text2, --boot, --no-meta, --flags, --short-header  as for build\n"
    "  --disabled NAME            a member installed disabled unless the user chose (repeatable)\n"
    "  --second-magic             write the bundle with magic 0xA1100FFB\n"
    "  --trailing-arch NAME       add an architecture part after the last member\n"
    "  --key FILE                 sign every member again with this private key file\n"
    "  --level N                  with --key: 2 (default) or 1\n"
    "  --sha256                   with --key: start with a hash switch (SHA-256 digests)\n"
    "  -h, --help                 show this help\n"
    "Exit status: 0 written, 1 refused or failed (nothing written), 2 bad arguments.\n";

const option_def common_options[] = {
    {"output", true, false, true},     {"description", true, false, true}, {"name", true, false, false},
    {"version", true, false, false},   {"build-time", true, false, false}, {"arch", true, false, false},
    {"note", true, false, false},      {"text24", true, false, false},     {"text2", true, false, false},
    {"flags", true, false, false},     {"boot", false, false, false},      {"no-meta", false, false, false},
    {"short-header", false, false, false}, {"image", true, false, true},   {"second-magic", false, false, false},
    {"trailing-arch", true, false, false}, {"key", true, false, true},     {"level", true, false, false},
    {"sha256", false, false, false},
};

const option_def build_only_options[] = {
    {"depends", true, true, false}, {"provides", true, true, false},  {"conflicts", true, true, false},
    {"class", true, true, false},   {"directory", true, false, true}, {"signature-length", true, false, false},
};

const option_def bundle_only_options[] = {
    {"disabled", true, true, false},
    {"member", true, true, true},
};

// The build time: --build-time, else SOURCE_DATE_EPOCH, so that the same
// tree gives the same bytes, else now. Returns -1 to go on, or an exit status.
int take_build_time(const command_line& line, std::uint32_t& build_time) {
    std::uint64_t number = 0;
    if (line.has("build-time")) {
        if (!parse_number(line.get("build-time"), 0xFFFFFFFF, number))
            return line.usage_error("bad build time \"" + line.get("build-time") + "\"");
    } else if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch != nullptr) {
        if (!parse_number(epoch, 0xFFFFFFFF, number))
            return line.usage_error("bad SOURCE_DATE_EPOCH \"" + std::string(epoch) + "\"");
    } else {
        number = static_cast<std::uint64_t>(std::time(nullptr));
    }
    build_time = static_cast<std::uint32_t>(number);
    return -1;
}

// The settings that packages and bundles share. Returns -1 to go on, or
// an exit status after a report.
int take_description(const command_line& line, description_fields& contents, std::FILE* err, const char* command) {
    auto usage = [&](const std::string& message) { return line.usage_error(message); };
    if (!line.has("output")) return usage("no output file given (-o)");
    contents.name = line.get("name");
    if (std::string problem = package_name_problem(contents.name); !problem.empty())
        return contents.name.empty() || contents.name.size() > name_field_size ? usage(problem)
                                                                                 : failure(err, command, problem);
    if (!line.has("version")) return usage("no version given (--version)");
    if (!parse_version_text(line.get("version"), contents.version))
        return usage("bad version \"" + line.get("version") + "\" (examples: 6.40, 6.40.1, 6.40beta3, 6.40rc1)");
    if (int status = take_build_time(line, contents.build_time); status >= 0) return status;
    if (line.has("arch")) contents.architecture = line.get("arch");
    if (line.has("note")) contents.note = line.get("note");
    if (line.has("text24")) contents.text24 = line.get("text24");
    if (line.has("text2")) contents.text2 = line.get("text2");
    std::uint64_t number = 0;
    if (line.has("flags")) {
        if (!parse_number(line.get("flags"), 0xFFFFFFFF, number))
            return usage("bad header flags \"" + line.get("flags") + "\"");
        contents.header_flags = static_cast<std::uint32_t>(number);
    }
    if (line.flag("boot")) contents.header_flags |= header_flag_boot;
    if (line.flag("no-meta")) contents.header_flags |= header_flag_no_meta;
    if (line.flag("short-header")) {
        if (contents.header_flags != 0) return usage("a short header part carries no header flags");
        contents.header_flags_field = false;
    }
    contents.second_magic = line.flag("second-magic");
    if (line.has("image")) {
        std::string data;
        std::string error;
        if (!read_whole_file(line.get("image"), data, error)) return failure(err, command, error);
        contents.image = data;
    }
    return -1;
}

int requirement_list(const command_line& line, const std::string& key, std::optional<std::vector<requirement>>& list) {
    if (!line.has(key)) return -1;
    list.emplace();
    for (const std::string& text : line.all(key)) {
        requirement req;
        std::string error;
        if (!parse_requirement_text(text, req, error)) return line.usage_error("--" + key + ": " + error);
        list->push_back(req);
    }
    return -1;
}

// The signature level of --level and --key: 0 (unsigned) without --key.
// Returns -1 to go on, or an exit status after a report.
int take_level(const command_line& line, int& level) {
    level = 0;
    if (line.has("level")) {
        std::string text = line.get("level");
        if (text != "1" && text != "2") return line.usage_error("the signature level is 1 or 2");
        if (!line.has("key")) return line.usage_error("--level needs --key");
        level = text == "1" ? 1 : 2;
    } else if (line.has("key")) {
        level = 2;
    }
    return -1;
}

// Sets the processor classes of --class on the tree's entries. Returns -1
// to go on, or an exit status after a report.
int take_classes(const command_line& line, const std::string& directory, std::vector<file_item>& files) {
    for (const std::string& text : line.all("class")) {
        std::size_t equals = text.rfind('=');
        std::uint64_t value = 0;
        if (equals == std::string::npos || !parse_number(text.substr(equals + 1), 255, value))
            return line.usage_error("--class takes PATH=N with N from 0 to 255: \"" + text + "\"");
        std::string path = text.substr(0, equals);
        while (!path.empty() && path[0] == '/') path.erase(0, 1);
        bool found = false;
        for (file_item& file : files) {
            if (file.name == path) {
                file.processor_class = static_cast<std::uint8_t>(value);
                found = true;
            }
        }
        if (!found) return line.usage_error("--class: no entry " + path + " below " + directory);
    }
    return -1;
}

// Reads the tree into the file archive, refusing what the installer would
// pass over or refuse, and warning of empty directories, which it does not
// make. Returns -1 to go on, or an exit status after a report.
int take_tree(const command_line& line, const std::string& directory, package_contents& contents, std::FILE* err) {
    std::vector<file_item> files;
    std::string error;
    if (!read_tree(directory, files, error)) return failure(err, "build", error);
    if (int status = take_classes(line, directory, files); status >= 0) return status;
    if (std::string problem = entry_problem(contents.name, files); !problem.empty())
        return failure(err, "build", problem);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const bool directory_entry = (files[i].mode & file_type_mask) == file_type_directory;
        if (directory_entry && (i + 1 == files.size() || !files[i + 1].name.starts_with(files[i].name + "/")))
            warn(err, "build", files[i].name + ": an empty directory; the installer makes none");
    }
    contents.files = std::move(files);
    return -1;
}

int run_build(int argc, char** argv, std::FILE* out, std::FILE* err) {
    command_line line("build", err, {common_options, build_only_options});
    std::vector<std::string> positional;
    if (int status = line.parse(argc, argv, positional, build_help, out); status >= 0) return status;
    if (positional.size() > 1) return line.usage_error("more than one directory given");

    package_contents contents;
    if (int status = take_description(line, contents, err, "build"); status >= 0) return status;
    for (const char* key : {"depends", "provides", "conflicts"}) {
        auto& list = std::string(key) == "depends"    ? contents.dependencies
                     : std::string(key) == "provides" ? contents.provisions
                                                      : contents.conflicts;
        if (int status = requirement_list(line, key, list); status >= 0) return status;
    }
    if (std::string problem = requirement_problem(contents); !problem.empty()) return failure(err, "build", problem);
    contents.sha256 = line.flag("sha256");
    if (line.has("signature-length")) {
        std::string text = line.get("signature-length");
        if (text != "132" && text != "68") return line.usage_error("the signature length is 132 or 68");
        contents.signature_length = static_cast<std::uint32_t>(std::stoul(text));
    }
    int level = 0;
    if (int status = take_level(line, level); status >= 0) return status;
    package_signer signer;
    if (level != 0) {
        // A 68-byte part holds only the Curve25519 signature: it asks for level 1.
        if (!line.has("level") && contents.signature_length == short_signature_size) level = 1;
        const std::uint32_t length = level == 2 ? long_signature_size : short_signature_size;
        if (line.has("signature-length") && contents.signature_length != length)
            return line.usage_error("a level-" + std::to_string(level) + " signature part has " +
                                    std::to_string(length) + " bytes, not " + line.get("signature-length"));
        contents.signature_length = length;
        if (int status = load_signer(line.get("key"), level, signer, err, "build"); status >= 0) return status;
    }
    if (line.has("trailing-arch"))
        contents.after_signature.push_back({part_type::architecture, line.get("trailing-arch")});

    std::string directory = positional.empty() ? line.get("directory") : positional[0];
    if (directory.empty() && line.has("class")) return line.usage_error("--class needs a directory");
    if (!directory.empty())
        if (int status = take_tree(line, directory, contents, err); status >= 0) return status;

    std::string file = build_package(contents, level != 0 ? signer.function() : nullptr);
    std::string error;
    if (file.empty()) return failure(err, "build", signer.failure());
    if (!write_file(line.get("output"), file, error)) return failure(err, "build", error);
    if (level == 0)
        warn(err, "build", line.get("output") + " is unsigned: the installer refuses it until \"qpk sign\" signs it");
    return exit_ok;
}

// Whether a signature part holds anything but zero bytes.
bool signature_written(const std::string& file, const located_part& part) {
    return file.compare(part.offset, part.length, std::string(part.length, '\0')) != 0;
}

// Members keep their signatures in an unsigned bundle, but a member hashed
// with SHA-1 on its own is hashed with SHA-256 after a member that switched
// the hash: its signature then no longer holds in the bundle.
void warn_about_moved_digests(const std::vector<std::string>& members, const std::vector<std::string>& paths,
                              const std::string& bundle, std::FILE* err) {
    std::vector<digest_buffer> in_bundle;
    std::string error;
    if (!signature_digests(bundle, in_bundle, error)) return;
    std::size_t at = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
        std::vector<digest_buffer> own;
        std::vector<located_part> parts;
        if (!signature_digests(members[i], own, error) || !split_parts(members[i], parts, error)) return;
        bool same = true;
        for (const digest_buffer& digest : own) {
            same = same && at < in_bundle.size() && in_bundle[at] == digest;
            ++at;
        }
        // A member whose signature parts are zero bytes has nothing to lose.
        bool signed_member = false;
        for (const located_part& part : parts)
            signed_member = signed_member || (part.type == part_type::signature && signature_written(members[i], part));
        if (!signed_member)
            warn(err, "bundle", paths[i] + " is unsigned: the installer refuses the bundle until \"qpk sign\" signs it");
        else if (!same)
            warn(err, "bundle",
                 paths[i] + ": its signature does not hold in the bundle (the hash switch of a member before it "
                            "changes its digest); sign the bundle with --key");
    }
}

// What the installer needs of each member: one single package with a
// signature part, named as a package may be and not like the bundle, and no
// more members than it reads. A member is taken through its last signature
// part: the parts a stand-alone package may carry after its signature would
// end the members for the installer, which would then refuse the bundle.
// Returns -1 to go on, or an exit status.
int take_members(bundle_contents& contents, const std::vector<std::string>& paths, std::FILE* err) {
    std::size_t headers = 0;
    std::set<std::string> names;
    for (std::size_t i = 0; i < contents.members.size(); ++i) {
        std::string& member = contents.members[i];
        std::vector<located_part> parts;
        std::string error;
        if (!split_parts(member, parts, error)) return failure(err, "bundle", paths[i] + ": " + error);
        std::vector<raw_part> kept;
        std::size_t through = 0;  // parts up to and including the last signature
        const std::size_t headers_before = headers;
        for (const located_part& part : parts) {
            kept.push_back({part.type, member.substr(part.offset, part.length)});
            if (part.type == part_type::signature) through = kept.size();
            if (part.type == part_type::bundle_header)
                return failure(err, "bundle", paths[i] + ": a bundle cannot be a member of a bundle");
            if (part.type != part_type::package_header) continue;
            ++headers;
            std::string name = member.substr(part.offset, std::min<std::size_t>(part.length, name_field_size));
            name.resize(std::strlen(name.c_str()));
            if (name == contents.name)
                return failure(err, "bundle", paths[i] + ": the installer refuses a member named like its bundle");
            if (std::string problem = package_name_problem(name); !problem.empty())
                return failure(err, "bundle", paths[i] + ": " + problem);
            names.insert(name);
        }
        if (headers == headers_before) return failure(err, "bundle", paths[i] + ": no package header");
        if (through == 0) return failure(err, "bundle", paths[i] + ": no signature part");
        kept.resize(through);
        member = encode_container(kept, false);
    }
    // The installer disables every package of a default-disabled name, a
    // package outside the bundle too.
    for (const requirement& req : contents.default_disabled.value_or(std::vector<requirement>{}))
        if (names.count(req.name) == 0)
            return failure(err, "bundle", "--disabled " + req.name + ": no member of that name; the installer "
                                                                         "would disable any package of that name");
    if (headers > max_bundle_members)
        return failure(err, "bundle", "the installer refuses a bundle of more than " +
                                          std::to_string(max_bundle_members) + " members");
    return -1;
}

int run_bundle(int argc, char** argv, std::FILE* out, std::FILE* err) {
    command_line line("bundle", err, {common_options, bundle_only_options});
    std::vector<std::string> positional;
    if (int status = line.parse(argc, argv, positional, bundle_help, out); status >= 0) return status;
    bundle_contents contents;
    if (int status = take_description(line, contents, err, "bundle"); status >= 0) return status;
    if (line.has("disabled")) {
        contents.default_disabled.emplace();
        for (const std::string& name : line.all("disabled")) {
            if (name.empty() || name.size() > name_field_size)
                return line.usage_error("--disabled: a member name has 1 to 16 characters");
            contents.default_disabled->push_back(requirement{name, 0, 0, 0});
        }
    }
    if (line.has("trailing-arch"))
        contents.after_members.push_back({part_type::architecture, line.get("trailing-arch")});
    int level = 0;
    if (int status = take_level(line, level); status >= 0) return status;
    contents.sha256 = line.flag("sha256");
    if (contents.sha256 && level == 0)
        return line.usage_error(
            "--sha256 changes the digest that every member's signature covers; give --key to sign them again");
    std::vector<std::string> members = line.all("member");
    members.insert(members.end(), positional.begin(), positional.end());
    if (members.empty()) return line.usage_error("no member package files given");
    // The installer keeps a bundle installed only through its package image,
    // and keeps the package file as the image only when it has an image part:
    // without one the next run takes the bundle for a plain package whose
    // members no longer belong to anything.
    if (!contents.image)
        return failure(err, "bundle",
                       "a bundle needs an image part (--image FILE): without one the installer does not keep the "
                       "bundle file, and its next run no longer knows the bundle's members");
    for (const std::string& path : members) {
        std::string data;
        std::string error;
        if (!read_whole_file(path, data, error)) return failure(err, "bundle", error);
        contents.members.push_back(std::move(data));
    }
    if (int status = take_members(contents, members, err); status >= 0) return status;
    package_signer signer;
    if (level != 0) {
        if (int status = load_signer(line.get("key"), level, signer, err, "bundle"); status >= 0) return status;
        std::string ignored;
        for (std::string& member : contents.members) set_signature_lengths(member, signer.part_length(), ignored);
    }
    std::string file;
    std::string error;
    if (!build_bundle(contents, file, error, level != 0 ? signer.function() : nullptr))
        return failure(err, "bundle", signer.failure().empty() ? error : signer.failure());
    if (!write_file(line.get("output"), file, error)) return failure(err, "bundle", error);
    if (level == 0) warn_about_moved_digests(contents.members, members, file, err);
    return exit_ok;
}

}  // namespace

int run_package_command(const std::string& command, int argc, char** argv, std::FILE* out, std::FILE* err) {
    return command == "build" ? run_build(argc, argv, out, err) : run_bundle(argc, argv, out, err);
}

}  // namespace qpk
