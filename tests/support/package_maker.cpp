#include "support/package_maker.h"

#include <stdexcept>

#include "qpk/version_text.h"
#include "store/package_format.h"
#include "support/sample_packages.h"

namespace maker {

namespace {

const qpk::sign_function& development_signer() {
    static const qpk::sign_function sign = samples::signer(SOURCE_DIR "/keys/development.private");
    return sign;
}

std::uint32_t version_of(const std::string& text) {
    std::uint32_t version = 0;
    if (!qpk::parse_version_text(text, version)) throw std::invalid_argument("version " + text);
    return version;
}

std::optional<std::vector<requirement>> requirements(const std::vector<std::string>& texts) {
    if (texts.empty()) return std::nullopt;
    std::vector<requirement> list(texts.size());
    std::string error;
    for (std::size_t i = 0; i < texts.size(); ++i)
        if (!qpk::parse_requirement_text(texts[i], list[i], error)) throw std::invalid_argument(error);
    return list;
}

std::string signed_file(std::string file, int level) {
    std::string error;
    if (level != 0 && !qpk::sign_parts(file, development_signer(), error)) throw std::runtime_error(error);
    return file;
}

}  // namespace

qpk::package_contents contents(const recipe& package) {
    qpk::package_contents c;
    c.name = package.name;
    c.version = version_of(package.version);
    c.build_time = package.build_time;
    c.header_flags = package.flags;
    c.architecture = package.architecture;
    c.dependencies = requirements(package.depends);
    c.provisions = requirements(package.provides);
    c.conflicts = requirements(package.conflicts);
    if (!package.files.empty() || package.archive) c.files = package.files;
    c.image = package.image;
    c.signature_length = package.level == 1 ? short_signature_size : long_signature_size;
    c.second_magic = package.second_kind;
    c.after_signature = package.after_signature;
    return c;
}

std::string package(const recipe& package) {
    const qpk::package_contents c = contents(package);
    std::vector<qpk::raw_part> parts = qpk::package_parts(c);
    for (qpk::raw_part& part : parts)
        if (part.type == part_type::file_archive && package.archive) part.data = qpk::zlib_compress(*package.archive);
    return signed_file(qpk::encode_container(parts, c.second_magic), package.level);
}

std::string bundle(const recipe& header, const std::vector<recipe>& members, const std::vector<std::string>& disabled) {
    qpk::bundle_contents b;
    b.name = header.name;
    b.version = version_of(header.version);
    b.build_time = header.build_time;
    b.image = header.image;
    if (!disabled.empty()) b.default_disabled = requirements(disabled);
    for (const recipe& member : members) b.members.push_back(qpk::build_package(contents(member)));
    std::string out, error;
    if (!qpk::build_bundle(b, out, error)) throw std::runtime_error(error);
    return signed_file(out, header.level);
}

}  // namespace maker
