// Small valid package files of every shape the installer reads, made with the writer library and signed with a given
// private key file: the starting points of the hostile-input tests and of the fuzz corpus (fuzz/make_seeds.cpp).
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "qpk/writer.h"
#include "resolve/version.h"
#include "signing/signer.h"
#include "store/package_format.h"
#include "support/host_files.h"

namespace samples {

// Signs each signature part with the keys of the file: level 2 (both signatures) for a part of 132 bytes or more, else
// level 1; zeros after.
inline qpk::sign_function signer(const std::string& private_key_file) {
    auto keys = std::make_shared<signing::private_keys>();
    std::string error;
    if (!signing::read_private_key_file(private_key_file, *keys, error)) throw std::runtime_error(error);
    return [keys](const qpk::digest_buffer& digest, std::size_t length) {
        std::vector<std::uint8_t> signature;
        if (!signing::sign_digest(*keys, digest.data(), length >= 132 ? 2 : 1, signature))
            throw std::runtime_error("signing failed");
        signature.resize(length);
        return std::string(signature.begin(), signature.end());
    };
}

#ifdef SOURCE_DIR
inline const std::string development_private_key = SOURCE_DIR "/keys/development.private";
inline const std::string development_public_key = SOURCE_DIR "/keys/development.public";
inline const qpk::sign_function& development_signer() {
    static const qpk::sign_function sign = signer(development_private_key);
    return sign;
}
#endif

// Requirements on the names, each with bounds and a precedence of its own.
inline std::vector<requirement> requirements(const std::vector<std::string>& names) {
    std::vector<requirement> list;
    for (std::uint32_t n = 1; n <= names.size(); ++n)
        list.push_back({names[n - 1], make_version(1, n, 'f', 0), make_version(9, n, 'f', 0), std::int32_t(n)});
    return list;
}

// A name, version, build time and one file.
inline qpk::package_contents plain(const std::string& name, std::uint32_t version, std::uint32_t built = 0) {
    qpk::package_contents c;
    c.name = name;
    c.version = version;
    c.build_time = built;
    c.files = std::vector<qpk::file_item>{qpk::regular_file("bin/" + name, "contents of " + name)};
    return c;
}

// Every description part, three small files, and optionally an architecture part and an empty dependency list after
// the signature.
inline qpk::package_contents single_contents(const std::string& name, bool trailing_parts) {
    qpk::package_contents c = plain(name, make_version(6, 48, 'f', 1), 1700000000);
    c.text24 = "text 24";
    c.architecture = "powerpc";
    c.text2 = "text 2";
    c.note = "a small package";
    c.dependencies = requirements({"system"});
    c.provisions = requirements({"feature"});
    c.conflicts = requirements({"rival", "other"});
    c.files = std::vector<qpk::file_item>{qpk::regular_file("etc/" + name, "config\n"),
                                          qpk::regular_file("/bin/" + name, "\x7f" "ELF", 0755),
                                          qpk::directory_entry("var/" + name)};
    if (trailing_parts) c.after_signature = {{part_type::architecture, "powerpc"}, {part_type::dependency_list, ""}};
    return c;
}

inline std::string single(const qpk::sign_function& sign, bool trailing_parts = false, bool sha256 = false,
                          std::uint32_t signature_length = 132) {
    qpk::package_contents c = single_contents("small", trailing_parts);
    c.sha256 = sha256;
    c.signature_length = signature_length;
    return qpk::build_package(c, sign);
}

// File entries of every kind: a file larger than an inflate window and a copy step, a directory, a link, files for one
// board variant, an empty file.
inline std::vector<qpk::file_item> archive_files() {
    return {qpk::regular_file("usr/lib/large", byte_pattern(70000)),
            qpk::directory_entry("usr/share"),
            qpk::symlink_entry("usr/lib/link", "large"),
            qpk::regular_file("boot/board3", "only on variant 3", 0644, 3),
            qpk::regular_file("boot/board4", "only on variant 4", 0644, 4),
            qpk::regular_file("etc/empty", "")};
}

// An image part and a file archive of those entries.
inline std::string with_archive(const qpk::sign_function& sign) {
    qpk::package_contents c = plain("archive", make_version(7, 2, 'f', 0), 1700000001);
    c.header_flags = 1;
    c.image = byte_pattern(300);
    c.files = archive_files();
    return qpk::build_package(c, sign);
}

inline qpk::bundle_contents bundle_of(const std::string& name, std::uint32_t version, std::uint32_t built,
                                      std::vector<std::string> members) {
    qpk::bundle_contents b;
    b.name = name;
    b.version = version;
    b.build_time = built;
    b.members = std::move(members);
    return b;
}

inline std::string build_bundle(const qpk::bundle_contents& b, const qpk::sign_function& sign = nullptr) {
    std::string out, error;
    if (!qpk::build_bundle(b, out, error, sign)) throw std::runtime_error(error);
    return out;
}

// Description, image part, default-disabled list, two members (one with a 68-byte signature part) and an architecture
// part after them.
inline std::string bundle(const qpk::sign_function& sign) {
    qpk::package_contents first = single_contents("first", false);
    qpk::package_contents second = single_contents("second", false);
    first.note.reset();
    second.text24.reset();
    second.signature_length = 68;
    qpk::bundle_contents b = bundle_of("bundle", make_version(6, 49, 'f', 0), 1700000002,
                                       {qpk::build_package(first), qpk::build_package(second)});
    b.note = "a bundle";
    b.architecture = "powerpc";
    b.image = "bundle image";
    b.default_disabled = requirements({"second"});
    b.after_members = {{part_type::architecture, "powerpc"}};
    return build_bundle(b, sign);
}

// The second magic, a 32-byte header part without flags, no archive.
inline std::string second_kind(const qpk::sign_function& sign) {
    qpk::package_contents c;
    c.name = "sixteen-char-nam";
    c.version = make_version(6, 40, 'f', 0);
    c.second_magic = true;
    c.header_flags_field = false;
    return qpk::build_package(c, sign);
}

}  // namespace samples
