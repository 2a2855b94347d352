#include "qpk/commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "qpk/exit_status.h"
#include "qpk/inspect.h"
#include "qpk/signing_commands.h"
#include "qpk/tree.h"
#include "qpk/version_text.h"
#include "qpk/writer.h"
#include "store/package_format.h"

namespace qpk {

namespace {

const char* const main_help =
    "usage: qpk <command> [options]\n"
    "\n"
    "Makes and inspects package files (.qpk, .vpk) for the router's installer.\n"
    "\n"
    "commands:\n"
    "  build     make a package file from a directory tree (signed with --key)\n"
    "  bundle    make a bundle file from member package files (signed with --key)\n"
    "  inspect   show the parts, descriptions, file entries and signature digests\n"
    "            of a package file\n"
    "  verify    check the signatures of a package file as the installer does\n"
    "  keygen    make a signing key pair: a private and a public key file\n"
    "\n"
    "\"qpk <command> --help\" describes the options of a command.\n";

const char* const build_help =
    "usage: qpk build [options] -o OUTPUT [DIRECTORY]\n"
    "\n"
    "Makes a package whose file archive holds every directory, regular file and\n"
    "symbolic link below DIRECTORY, with their modes. Without DIRECTORY the\n"
    "package has no file archive. With --key the signature part is signed with\n"
    "that private key file; without it the part is written as zero bytes.\n"
    "\n"
    "options:\n"
    "  -o, --output FILE         the package file to write (required)\n"
    "  -d, --description FILE    read settings from FILE: one \"key = value\" per line,\n"
    "                            keys named like the long options (\"boot = yes\",\n"
    "                            \"directory = tree\"), \"#\" starts a comment; paths in\n"
    "                            it are relative to FILE; options given on the\n"
    "                            command line win, lists are added to\n"
    "  --name NAME               package name, 1 to 16 characters (required)\n"
    "  --version VERSION         6.40, 6.40.1, 6.40beta3, 6.40rc1, 6.40alpha2 (required)\n"
    "  --build-time SECONDS      build time, Unix seconds (default: now)\n"
    "  --arch NAME               architecture part (without one the installer reads i386)\n"
    "  --note TEXT               note part, shown in the installer's listing\n"
    "  --text24 TEXT             part of type 24\n"
    "  --text2 TEXT              part of type 2\n"
    "  --depends REQUIREMENT     add a dependency; REQUIREMENT is\n"
    "                            NAME[:MIN[:MAX[:PRECEDENCE]]], an empty or 0 bound\n"
    "                            is open (repeatable)\n"
    "  --provides REQUIREMENT    add a provision (repeatable)\n"
    "  --conflicts REQUIREMENT   add a conflict (repeatable)\n"
    "  --boot                    set the boot package header flag (1)\n"
    "  --no-meta                 set the no-meta header flag (2)\n"
    "  --flags N                 header flags as a number (the flags above are added)\n"
    "  --short-header            write the 32-byte header part without header flags\n"
    "  --image FILE              add an image part holding FILE\n"
    "  --class PATH=N            processor class N (0-255) for the entry PATH\n"
    "                            (repeatable; default 0, every processor)\n"
    "  --second-magic            write a second-kind package (magic 0xA1100FFB)\n"
    "  --key FILE                sign with the private key file FILE (see \"qpk keygen\")\n"
    "  --level N                 with --key: 2 (default) signs with both signatures,\n"
    "                            the installer's level 2 (a 132-byte signature part);\n"
    "                            1 with the Curve25519 signature alone, level 1 (a\n"
    "                            68-byte part)\n"
    "  --sha256                  start with a hash switch part, so that the\n"
    "                            signature covers a SHA-256 digest\n"
    "  --signature-length N      132 (default) or 68; with --key, 68 is --level 1\n"
    "  --trailing-arch NAME      add an architecture part after the signature\n"
    "  -h, --help                show this help\n";

const char* const bundle_help =
    "usage: qpk bundle [options] -o OUTPUT MEMBER...\n"
    "\n"
    "Makes a bundle: a bundle header and its description, then each MEMBER\n"
    "package file from its package header through its signature, in the order\n"
    "given. With --key every member is signed again with that private key file\n"
    "(its signature part made the size of the level); without it the members\n"
    "keep their own signatures.\n"
    "\n"
    "options:\n"
    "  -o, --output FILE         the bundle file to write (required)\n"
    "  -d, --description FILE    read settings from FILE, as for \"qpk build\"\n"
    "                            (\"member = file.qpk\" adds a member)\n"
    "  --name NAME               bundle name, 1 to 16 characters (required)\n"
    "  --version VERSION         bundle version (required)\n"
    "  --build-time SECONDS      build time, Unix seconds (default: now)\n"
    "  --arch NAME, --note TEXT, --text24 TEXT, --text2 TEXT\n"
    "                            description parts, as for \"qpk build\"\n"
    "  --boot, --no-meta, --flags N, --short-header\n"
    "                            header flags, as for \"qpk build\"\n"
    "  --image FILE              add an image part holding FILE\n"
    "  --disabled NAME           a member installed disabled unless the user chose\n"
    "                            its state before (repeatable); written as the\n"
    "                            default-disabled member list\n"
    "  --second-magic            write the bundle with magic 0xA1100FFB\n"
    "  --trailing-arch NAME      add an architecture part after the last member\n"
    "  --key FILE                sign every member with the private key file FILE\n"
    "  --level N                 with --key: 2 (default, both signatures, 132-byte\n"
    "                            parts) or 1 (Curve25519 only, 68-byte parts)\n"
    "  --sha256                  with --key: start with a hash switch part, so that\n"
    "                            every member's signature covers a SHA-256 digest\n"
    "  -h, --help                show this help\n";

const char* const inspect_help =
    "usage: qpk inspect FILE\n"
    "\n"
    "Shows the part table of a package file (offset of each part's data, type,\n"
    "length), the description of each package and bundle header as the installer\n"
    "reads it, the default-disabled member list of a bundle, the entries of each\n"
    "file archive (mode in octal, processor class, size, name) and the digest\n"
    "that each signature covers. Exits with 1 when the file cannot be read or is\n"
    "malformed.\n"
    "\n"
    "options:\n"
    "  -h, --help                show this help\n";

struct option_def {
    const char* name;
    bool takes_value;
    bool repeatable;
    bool is_path;
};

const option_def common_options[] = {
    {"output", true, false, true},     {"description", true, false, true}, {"name", true, false, false},
    {"version", true, false, false},   {"build-time", true, false, false}, {"arch", true, false, false},
    {"note", true, false, false},      {"text24", true, false, false},     {"text2", true, false, false},
    {"flags", true, false, false},     {"boot", false, false, false},      {"no-meta", false, false, false},
    {"short-header", false, false, false}, {"image", true, false, true},   {"second-magic", false, false, false},
    {"trailing-arch", true, false, false},
};

const option_def build_only_options[] = {
    {"depends", true, true, false}, {"provides", true, true, false},         {"conflicts", true, true, false},
    {"class", true, true, false},   {"sha256", false, false, false},        {"signature-length", true, false, false},
    {"directory", true, false, true},  {"key", true, false, true},            {"level", true, false, false},
};

const option_def bundle_only_options[] = {
    {"disabled", true, true, false},
    {"member", true, true, true},
    {"key", true, false, true},
    {"level", true, false, false},
    {"sha256", false, false, false},
};

class command_line {
public:
    command_line(const char* command, std::FILE* err) : command_(command), err_(err) {}

    void allow(const option_def* begin, const option_def* end) { definitions_.insert(definitions_.end(), begin, end); }

    const option_def* find(const std::string& name) const {
        for (const option_def& def : definitions_)
            if (name == def.name) return &def;
        return nullptr;
    }

    int usage_error(const std::string& message) const {
        std::fprintf(err_, "qpk %s: %s\nRun \"qpk %s --help\" for its options.\n", command_, message.c_str(), command_);
        return exit_usage;
    }

    // Takes the settings of a description file; they come before the
    // command line's own.
    bool read_description_file(const std::string& path, std::string& error) {
        std::ifstream in(path);
        if (!in) {
            error = "cannot open " + path + ": " + std::strerror(errno);
            return false;
        }
        std::string base;
        std::size_t slash = path.rfind('/');
        if (slash != std::string::npos) base = path.substr(0, slash + 1);
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            std::string where = path + ":" + std::to_string(number) + ": ";
            std::string text = trim(line);
            if (text.empty() || text[0] == '#') continue;
            std::size_t equals = text.find('=');
            std::string key = trim(text.substr(0, equals));
            std::string value = equals == std::string::npos ? "" : trim(text.substr(equals + 1));
            const option_def* def = find(key);
            if (!def || key == "description") {
                error = where + "unknown key \"" + key + "\"";
                return false;
            }
            if (def->takes_value && equals == std::string::npos) {
                error = where + "\"" + key + "\" needs \"= value\"";
                return false;
            }
            if (!def->takes_value) {
                if (equals == std::string::npos || value == "yes" || value == "true" || value == "1")
                    value = "yes";
                else if (value == "no" || value == "false" || value == "0")
                    value = "no";
                else {
                    error = where + "\"" + key + "\" takes yes or no";
                    return false;
                }
            }
            if (def->is_path && !value.empty() && value[0] != '/') value = base + value;
            set(*def, value);
        }
        return true;
    }

    // Parses argv[first..]; positional arguments are collected apart.
    // Returns -1 to go on, or an exit status.
    int parse(int argc, char** argv, int first, std::vector<std::string>& positional, bool& help) {
        std::vector<std::pair<const option_def*, std::string>> given;
        for (int i = first; i < argc; ++i) {
            std::string arg = argv[i];
            if (arg == "-h" || arg == "--help") {
                help = true;
                return exit_ok;
            }
            if (arg == "--") {
                for (++i; i < argc; ++i) positional.push_back(argv[i]);
                break;
            }
            if (arg.size() > 1 && arg[0] == '-') {
                std::string name;
                std::string value;
                bool has_value = false;
                if (arg == "-o") {
                    name = "output";
                } else if (arg == "-d") {
                    name = "description";
                } else if (arg.rfind("--", 0) == 0) {
                    name = arg.substr(2);
                    std::size_t equals = name.find('=');
                    if (equals != std::string::npos) {
                        value = name.substr(equals + 1);
                        name = name.substr(0, equals);
                        has_value = true;
                    }
                } else {
                    return usage_error("unknown option " + arg);
                }
                const option_def* def = find(name);
                if (!def || (name == "member" || name == "directory")) return usage_error("unknown option " + arg);
                if (def->takes_value && !has_value) {
                    if (i + 1 >= argc) return usage_error("option " + arg + " needs a value");
                    value = argv[++i];
                } else if (!def->takes_value) {
                    if (has_value) return usage_error("option --" + name + " takes no value");
                    value = "yes";
                }
                given.emplace_back(def, value);
            } else {
                positional.push_back(arg);
            }
        }
        for (const auto& [def, value] : given) {
            if (std::string(def->name) != "description") continue;
            std::string error;
            if (!read_description_file(value, error)) {
                std::fprintf(err_, "qpk %s: %s\n", command_, error.c_str());
                return exit_failure;
            }
        }
        // The command line's scalars replace what the file said.
        std::map<std::string, bool> replaced;
        for (const auto& [def, value] : given) {
            if (!def->repeatable && !replaced[def->name]) {
                values_.erase(def->name);
                replaced[def->name] = true;
            }
            set(*def, value);
        }
        return -1;
    }

    bool has(const std::string& key) const { return values_.count(key) != 0; }
    std::string get(const std::string& key) const {
        auto it = values_.find(key);
        return it == values_.end() || it->second.empty() ? std::string() : it->second.back();
    }
    std::vector<std::string> all(const std::string& key) const {
        auto it = values_.find(key);
        return it == values_.end() ? std::vector<std::string>() : it->second;
    }
    bool flag(const std::string& key) const { return get(key) == "yes"; }

private:
    static std::string trim(const std::string& text) {
        std::size_t begin = text.find_first_not_of(" \t\r");
        if (begin == std::string::npos) return "";
        std::size_t end = text.find_last_not_of(" \t\r");
        return text.substr(begin, end - begin + 1);
    }

    void set(const option_def& def, const std::string& value) {
        std::vector<std::string>& slot = values_[def.name];
        if (!def.repeatable) slot.clear();
        slot.push_back(value);
    }

    const char* command_;
    std::FILE* err_;
    std::vector<option_def> definitions_;
    std::map<std::string, std::vector<std::string>> values_;
};

bool parse_number(const std::string& text, std::uint64_t limit, std::uint64_t& value) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || errno != 0 || parsed > limit) return false;
    value = parsed;
    return true;
}


bool write_file(const std::string& path, const std::string& data, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// The settings that packages and bundles share. Returns -1 to go on, or
// an exit status after a report.
int take_description(const command_line& line, description_fields& contents, std::FILE* err, const char* command) {
    auto usage = [&](const std::string& message) { return line.usage_error(message); };
    if (!line.has("output")) return usage("no output file given (-o)");
    contents.name = line.get("name");
    if (contents.name.empty() || contents.name.size() > name_field_size)
        return usage("the name must have 1 to 16 characters");
    if (!line.has("version")) return usage("no version given (--version)");
    if (!parse_version_text(line.get("version"), contents.version))
        return usage("bad version \"" + line.get("version") + "\" (examples: 6.40, 6.40.1, 6.40beta3, 6.40rc1)");
    std::uint64_t number = 0;
    if (line.has("build-time")) {
        if (!parse_number(line.get("build-time"), 0xFFFFFFFF, number))
            return usage("bad build time \"" + line.get("build-time") + "\"");
        contents.build_time = static_cast<std::uint32_t>(number);
    } else {
        contents.build_time = static_cast<std::uint32_t>(std::time(nullptr));
    }
    if (line.has("arch")) contents.architecture = line.get("arch");
    if (line.has("note")) contents.note = line.get("note");
    if (line.has("text24")) contents.text24 = line.get("text24");
    if (line.has("text2")) contents.text2 = line.get("text2");
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
        if (!read_whole_file(line.get("image"), data, error)) {
            std::fprintf(err, "qpk %s: %s\n", command, error.c_str());
            return exit_failure;
        }
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

// Reads the private key file of --key for signing at level. Returns -1 to
// go on, or an exit status after a report.
int load_signer(const command_line& line, int level, package_signer& signer, std::FILE* err, const char* command) {
    std::string error;
    if (!signer.load(line.get("key"), level, error)) {
        std::fprintf(err, "qpk %s: %s\n", command, error.c_str());
        return exit_failure;
    }
    return -1;
}

int run_build(int argc, char** argv, std::FILE* out, std::FILE* err) {
    command_line line("build", err);
    line.allow(std::begin(common_options), std::end(common_options));
    line.allow(std::begin(build_only_options), std::end(build_only_options));
    std::vector<std::string> positional;
    bool help = false;
    if (int status = line.parse(argc, argv, 2, positional, help); status >= 0) {
        if (help) std::fputs(build_help, out);
        return status;
    }
    if (positional.size() > 1) return line.usage_error("more than one directory given");

    package_contents contents;
    if (int status = take_description(line, contents, err, "build"); status >= 0) return status;
    for (const char* key : {"depends", "provides", "conflicts"}) {
        auto& list = std::string(key) == "depends"    ? contents.dependencies
                     : std::string(key) == "provides" ? contents.provisions
                                                      : contents.conflicts;
        if (int status = requirement_list(line, key, list); status >= 0) return status;
    }
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
        if (int status = load_signer(line, level, signer, err, "build"); status >= 0) return status;
    }
    if (line.has("trailing-arch"))
        contents.after_signature.push_back({part_type::architecture, line.get("trailing-arch")});

    std::string directory = positional.empty() ? line.get("directory") : positional[0];
    std::vector<std::string> classes = line.all("class");
    if (directory.empty() && !classes.empty()) return line.usage_error("--class needs a directory");
    if (!directory.empty()) {
        std::vector<file_item> files;
        std::string error;
        if (!read_tree(directory, files, error)) {
            std::fprintf(err, "qpk build: %s\n", error.c_str());
            return exit_failure;
        }
        for (const std::string& text : classes) {
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
        contents.files = std::move(files);
    }

    std::string file = build_package(contents, level != 0 ? signer.function() : nullptr);
    std::string error;
    if (file.empty()) {
        std::fprintf(err, "qpk build: %s\n", signer.failure().c_str());
        return exit_failure;
    }
    if (!write_file(line.get("output"), file, error)) {
        std::fprintf(err, "qpk build: %s\n", error.c_str());
        return exit_failure;
    }
    return exit_ok;
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
        for (const located_part& part : parts) {
            if (part.type != part_type::signature) continue;
            const std::string data = members[i].substr(part.offset, part.length);
            signed_member = signed_member || data.find_first_not_of('\0') != std::string::npos;
        }
        if (!same && signed_member)
            std::fprintf(err,
                         "qpk bundle: warning: %s: its signature does not hold in the bundle (the hash switch of a "
                         "member before it changes its digest); sign the bundle with --key\n",
                         paths[i].c_str());
    }
}

int run_bundle(int argc, char** argv, std::FILE* out, std::FILE* err) {
    command_line line("bundle", err);
    line.allow(std::begin(common_options), std::end(common_options));
    line.allow(std::begin(bundle_only_options), std::end(bundle_only_options));
    std::vector<std::string> positional;
    bool help = false;
    if (int status = line.parse(argc, argv, 2, positional, help); status >= 0) {
        if (help) std::fputs(bundle_help, out);
        return status;
    }
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
    for (const std::string& path : members) {
        std::string data;
        std::string error;
        if (!read_whole_file(path, data, error)) {
            std::fprintf(err, "qpk bundle: %s\n", error.c_str());
            return exit_failure;
        }
        contents.members.push_back(std::move(data));
    }
    package_signer signer;
    if (level != 0) {
        if (int status = load_signer(line, level, signer, err, "bundle"); status >= 0) return status;
        // A malformed member is left as it is, for build_bundle to name it;
        // one without a signature part could not be signed and is refused.
        std::string ignored;
        for (std::size_t i = 0; i < contents.members.size(); ++i) {
            std::vector<located_part> parts;
            if (split_parts(contents.members[i], parts, ignored) &&
                std::none_of(parts.begin(), parts.end(),
                             [](const located_part& part) { return part.type == part_type::signature; })) {
                std::fprintf(err, "qpk bundle: %s: no signature part to sign\n", members[i].c_str());
                return exit_failure;
            }
            set_signature_lengths(contents.members[i], signer.part_length(), ignored);
        }
    }
    std::string file;
    std::string error;
    if (!build_bundle(contents, file, error, level != 0 ? signer.function() : nullptr)) {
        if (!signer.failure().empty()) {
            std::fprintf(err, "qpk bundle: %s\n", signer.failure().c_str());
            return exit_failure;
        }
        // Name the member file rather than its number.
        std::size_t colon = error.find(':');
        std::size_t index = 0;
        if (error.rfind("member ", 0) == 0) index = std::strtoul(error.c_str() + 7, nullptr, 10);
        if (index >= 1 && index <= members.size() && colon != std::string::npos)
            error = members[index - 1] + error.substr(colon);
        std::fprintf(err, "qpk bundle: %s\n", error.c_str());
        return exit_failure;
    }
    if (!write_file(line.get("output"), file, error)) {
        std::fprintf(err, "qpk bundle: %s\n", error.c_str());
        return exit_failure;
    }
    if (level == 0) warn_about_moved_digests(contents.members, members, file, err);
    return exit_ok;
}

int run_inspect(int argc, char** argv, std::FILE* out, std::FILE* err) {
    std::vector<std::string> files;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(inspect_help, out);
            return exit_ok;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(err, "qpk inspect: unknown option %s\nRun \"qpk inspect --help\" for its options.\n",
                         arg.c_str());
            return exit_usage;
        }
        files.push_back(arg);
    }
    if (files.size() != 1) {
        std::fprintf(err, "qpk inspect: give exactly one package file\nRun \"qpk inspect --help\" for its options.\n");
        return exit_usage;
    }
    return inspect_file(files[0], out, err);
}

}  // namespace

int run(int argc, char** argv, std::FILE* out, std::FILE* err) {
    if (argc < 2) {
        std::fputs(main_help, err);
        return exit_usage;
    }
    std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        std::fputs(main_help, out);
        return exit_ok;
    }
    if (command == "build") return run_build(argc, argv, out, err);
    if (command == "bundle") return run_bundle(argc, argv, out, err);
    if (command == "inspect") return run_inspect(argc, argv, out, err);
    if (command == "verify") return run_verify(argc, argv, out, err);
    if (command == "keygen") return run_keygen(argc, argv, out, err);
    std::fprintf(err, "qpk: unknown command \"%s\"\nRun \"qpk --help\" for the commands.\n", command.c_str());
    return exit_usage;
}

}  // namespace qpk
