#include "qpk/signing_commands.h"

#include "qpk/command_line.h"
#include "qpk/exit_status.h"
#include "qpk/tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "resolve/version.h"
#include "signing/signer.h"
#include "store/package_format.h"
#include "stream/little_endian.h"
#include "stream/package_istream.h"
#include "verify/builtin_keys.h"

namespace qpk {

namespace {

const char* const keygen_help =
    "usage: qpk keygen [--table KEYFILE] -o BASE\n"
    "Makes a signing key pair: BASE.private (owner-only; qpk signs with it, keep it secret) and\n"
    "BASE.public (an installer build takes it: -DINSTALLER_PUBLIC_KEY_FILE=BASE.public).\n"
    "Neither file may exist yet. Both sides share the level-1 signature hash's constant table.\n"
    "  -o, --output BASE          the two files' names without .private and .public (required)\n"
    "  --table KEYFILE            copy the table of this key file (default: a fresh random table)\n"
    "  -h, --help                 show this help\n"
    "Exit status: 0 written, 1 a file exists or cannot be written, 2 bad arguments.\n";

const char* const verify_help_start =
    "usage: qpk verify [--public-key KEYFILE] FILE\n"
    "Checks every signature part of the package or bundle FILE as the installer does; one line each:\n"
    "  NAME-VERSION: signature at offset N, L bytes: level V, WORDS\n"
    "  level 2, trusted: the EdDSA signature holds\n"
    "  level 1, trusted at level 1 only: only the Curve25519 signature holds\n"
    "  level 0, unsigned: the signature part holds only zero bytes (\"qpk sign\" signs it)\n"
    "  level 0, not trusted: no signature holds (another key, or changed after signing)\n"
    "  --public-key KEYFILE       check against this public key file (default: the built-in keys, ";

const char* const verify_help_end =
    ")\n"
    "  -h, --help                 show this help\n"
    "Exit status: 0 every signature reaches level 1 or 2, 1 one does not, none exists or the file\n"
    "cannot be read, 2 bad arguments.\n";

const char* const sign_help =
    "usage: qpk sign --key FILE [--level N] [-o OUTPUT] PACKAGE\n"
    "Signs every signature part of an existing package or bundle file again, without rebuilding it.\n"
    "  --key FILE                 the private key file to sign with (required)\n"
    "  --level N                  2 (default, both signatures, 132-byte parts) or 1 (Curve25519, 68)\n"
    "  -o, --output FILE          write the signed file there (default: replace PACKAGE)\n"
    "  -h, --help                 show this help\n"
    "Exit status: 0 signed, 1 unreadable or malformed file, bad key or failed write, 2 bad arguments.\n";

const option_def sign_options[] = {
    {"key", true, false, true},
    {"level", true, false, false},
    {"output", true, false, true},
};

// What a level says, in words; an unsigned part holds zero bytes only.
const char* level_words(int level, bool written) {
    if (level == 2) return "trusted";
    if (level == 1) return "trusted at level 1 only";
    return written ? "not trusted" : "unsigned";
}

// Writes a file that must not exist yet, with the given permissions.
bool write_new_file(const std::string& path, const std::string& text, mode_t mode, std::string& error) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
    if (fd < 0) {
        error = errno == EEXIST ? path + " exists; key files are never overwritten"
                                : "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    bool ok = done == text.size();
    if (!ok) error = "cannot write " + path + ": " + std::strerror(errno);
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = "cannot write " + path + ": " + std::strerror(errno);
    }
    if (!ok) ::unlink(path.c_str());
    return ok;
}


// Splits "--name=value" or takes the value from the next argument.
bool option_value(int argc, char** argv, int& i, const std::string& arg, const std::string& name,
                  std::string& value) {
    if (arg.rfind(name + "=", 0) == 0) {
        value = arg.substr(name.size() + 1);
        return true;
    }
    if (i + 1 >= argc) return false;
    value = argv[++i];
    return true;
}

// The name-version text of the package header part at the stream's
// current part.
std::string header_name(package_istream& in) {
    unsigned char header[name_field_size + 4];
    if (!in.read(reinterpret_cast<char*>(header), sizeof header)) {
        in.clear();
        return "(short package header)";
    }
    std::string name(reinterpret_cast<const char*>(header), name_field_size);
    name.resize(std::strlen(name.c_str()));
    return name + "-" + format_version(get_le32(header + name_field_size));
}

}  // namespace

bool package_signer::load(const std::string& path, int level, std::string& error) {
    if (level != 1 && level != 2) {
        error = "the signature level is 1 or 2";
        return false;
    }
    level_ = level;
    if (!signing::read_private_key_file(path, keys_, error)) return false;
    verify::public_keys pub;
    if (!signing::public_keys_of(keys_, pub)) {
        error = path + ": the keys cannot sign (a Curve25519 private key of 0?)";
        return false;
    }
    return true;
}

int load_signer(const std::string& path, int level, package_signer& signer, std::FILE* err, const char* command) {
    std::string error;
    return signer.load(path, level, error) ? -1 : failure(err, command, error);
}

std::uint32_t package_signer::part_length() const {
    return level_ == 2 ? long_signature_size : short_signature_size;
}

sign_function package_signer::function() {
    return [this](const digest_buffer& digest, std::size_t length) -> std::string {
        if (length < part_length()) {
            failure_ = "a signature part of " + std::to_string(length) + " bytes cannot hold a level-" +
                       std::to_string(level_) + " signature";
            return {};
        }
        std::vector<std::uint8_t> signature;
        if (!signing::sign_digest(keys_, digest.data(), level_, signature)) {
            failure_ = "signing failed";
            return {};
        }
        std::string data(length, '\0');
        std::memcpy(data.data(), signature.data(), signature.size());
        return data;
    };
}

int run_keygen(int argc, char** argv, std::FILE* out, std::FILE* err) {
    std::string base;
    std::string table_file;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(keygen_help, out);
            return exit_ok;
        }
        if (arg == "-o" || arg == "--output" || arg.rfind("--output=", 0) == 0) {
            if (!option_value(argc, argv, i, arg, "--output", base))
                return usage_error(err, "keygen", "option " + arg + " needs a value");
        } else if (arg == "--table" || arg.rfind("--table=", 0) == 0) {
            if (!option_value(argc, argv, i, arg, "--table", table_file))
                return usage_error(err, "keygen", "option " + arg + " needs a value");
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage_error(err, "keygen", "unknown option " + arg);
        } else {
            return usage_error(err, "keygen", "unexpected argument " + arg + " (give the files with -o BASE)");
        }
    }
    if (base.empty()) return usage_error(err, "keygen", "no output given (-o BASE)");

    std::uint32_t table[verify::sign_hash_table_words];
    std::string error;
    if (!table_file.empty()) {
        if (!signing::read_key_file_table(table_file, table, error)) {
            std::fprintf(err, "qpk keygen: %s\n", error.c_str());
            return exit_failure;
        }
    } else if (!signing::random_table(table)) {
        std::fprintf(err, "qpk keygen: no random table\n");
        return exit_failure;
    }
    signing::private_keys priv;
    verify::public_keys pub;
    if (!signing::generate_private_keys(table, priv) || !signing::public_keys_of(priv, pub)) {
        std::fprintf(err, "qpk keygen: key generation failed\n");
        return exit_failure;
    }

    const std::string private_path = base + ".private";
    const std::string public_path = base + ".public";
    // Neither file is written when either exists: a pair is made whole or not at all.
    struct stat st;
    for (const std::string& path : {private_path, public_path}) {
        if (::lstat(path.c_str(), &st) == 0) {
            std::fprintf(err, "qpk keygen: %s exists; key files are never overwritten\n", path.c_str());
            return exit_failure;
        }
    }
    const std::string private_text =
        "# Private key file made by qpk keygen. Keep it secret: only qpk reads it.\n" +
        signing::format_private_keys(priv);
    const std::string public_text =
        "# Public key file made by qpk keygen, for -DINSTALLER_PUBLIC_KEY_FILE.\n" +
        signing::format_public_keys(pub);
    if (!write_new_file(private_path, private_text, 0600, error)) {
        std::fprintf(err, "qpk keygen: %s\n", error.c_str());
        return exit_failure;
    }
    if (!write_new_file(public_path, public_text, 0644, error)) {
        ::unlink(private_path.c_str());
        std::fprintf(err, "qpk keygen: %s\n", error.c_str());
        return exit_failure;
    }
    std::fprintf(out, "%s: private key file\n%s: public key file\n", private_path.c_str(), public_path.c_str());
    return exit_ok;
}

int run_verify(int argc, char** argv, std::FILE* out, std::FILE* err) {
    std::string key_file;
    std::vector<std::string> files;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fprintf(out, "%s%s%s", verify_help_start, verify::builtin_key_file(), verify_help_end);
            return exit_ok;
        }
        if (arg == "--public-key" || arg.rfind("--public-key=", 0) == 0) {
            if (!option_value(argc, argv, i, arg, "--public-key", key_file))
                return usage_error(err, "verify", "option " + arg + " needs a value");
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage_error(err, "verify", "unknown option " + arg);
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 1) return usage_error(err, "verify", "give exactly one package file");
    const std::string& path = files[0];

    std::unique_ptr<verify::public_keys> keys;
    std::string error;
    if (!key_file.empty()) {
        keys = std::make_unique<verify::public_keys>();
        if (!signing::read_public_key_file(key_file, *keys, error)) {
            std::fprintf(err, "qpk verify: %s\n", error.c_str());
            return exit_failure;
        }
    }
    std::string data;
    std::vector<located_part> parts;
    if (!read_whole_regular_file(path, data, error) || !split_parts(data, parts, error)) {
        if (error.rfind("cannot ", 0) != 0) error = path + ": " + error;
        std::fprintf(err, "qpk verify: %s\n", error.c_str());
        return exit_failure;
    }

    // Which signature parts hold more than zero bytes: a part of zero bytes
    // is unsigned rather than not trusted.
    std::map<std::uint32_t, bool> written;
    for (const located_part& part : parts)
        if (part.type == part_type::signature)
            written[part.offset] = data.compare(part.offset, part.length, std::string(part.length, '\0')) != 0;

    // The installer's own reading: its stream, its running hash, its check.
    std::istringstream source(std::move(data));
    package_istream in(source, true);
    in.wanted_types = {part_type::package_header, part_type::signature};
    std::string package = "(no package header)";
    int signatures = 0;
    bool all_hold = true;
    for (int type; (type = in.next_part()) != -1;) {
        if (type == part_type::package_header) {
            package = header_name(in);
            continue;
        }
        const std::uint32_t offset = in.part_offset();
        const std::uint32_t length = in.part_length();
        const int level = keys ? in.verify_signature(*keys) : in.verify_signature();
        std::fprintf(out, "%s: signature at offset %u, %u bytes: level %d, %s\n", package.c_str(), offset, length,
                     level, level_words(level, written[offset]));
        ++signatures;
        all_hold = all_hold && level > 0;
    }
    if (signatures == 0) {
        std::fprintf(err, "qpk verify: %s: no signature part\n", path.c_str());
        return exit_failure;
    }
    return all_hold ? exit_ok : exit_failure;
}

int run_sign(int argc, char** argv, std::FILE* out, std::FILE* err) {
    command_line line("sign", err, {sign_options});
    std::vector<std::string> positional;
    if (int status = line.parse(argc, argv, positional, sign_help, out); status >= 0) return status;
    if (positional.size() != 1) return line.usage_error("give exactly one package file");
    if (!line.has("key")) return line.usage_error("no private key file given (--key)");
    const std::string level = line.has("level") ? line.get("level") : "2";
    if (level != "1" && level != "2") return line.usage_error("the signature level is 1 or 2");
    package_signer signer;
    if (int status = load_signer(line.get("key"), level == "1" ? 1 : 2, signer, err, "sign"); status >= 0)
        return status;
    const std::string& path = positional[0];
    std::string data;
    std::string error;
    std::vector<located_part> parts;
    if (!read_whole_regular_file(path, data, error)) return failure(err, "sign", error);
    if (!split_parts(data, parts, error)) return failure(err, "sign", path + ": " + error);
    if (std::none_of(parts.begin(), parts.end(), [](const located_part& p) { return p.type == part_type::signature; }))
        return failure(err, "sign", path + ": no signature part");
    // Every signature part gets the length of the level; the digests are
    // taken as the parts end up, each just before it is filled.
    if (!set_signature_lengths(data, signer.part_length(), error) || !sign_parts(data, signer.function(), error))
        return failure(err, "sign", signer.failure().empty() ? path + ": " + error : signer.failure());
    if (!write_file(line.has("output") ? line.get("output") : path, data, error)) return failure(err, "sign", error);
    return exit_ok;
}

}  // namespace qpk
