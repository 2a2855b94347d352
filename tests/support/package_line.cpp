#include "support/package_line.h"

#include <stdexcept>

#include "qpk/version_text.h"
#include "resolve/version.h"
#include "support/sample_packages.h"

namespace line {

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    int depth = 0;
    for (char c : text) {
        if (c == ' ' && depth == 0) {
            if (!out.empty() && !out.back().empty()) out.emplace_back();
            continue;
        }
        if (out.empty()) out.emplace_back();
        depth += (c == '{') - (c == '}');
        out.back() += c;
    }
    if (!out.empty() && out.back().empty()) out.pop_back();
    return out;
}

requirement req(const std::string& text) {
    requirement r;
    std::string error;
    if (!qpk::parse_requirement_text(text, r, error)) throw std::invalid_argument(error);
    return r;
}

namespace {

// The name and version of the first word; a name whose last "-" is followed by no version is all name.
void head(const std::string& word, std::string& name, std::uint32_t& version) {
    const std::size_t dash = word.rfind('-');
    name = word;
    version = make_version(1, 0, 'f', 0);
    if (dash != std::string::npos && qpk::parse_version_text(word.substr(dash + 1), version))
        name = word.substr(0, dash);
}

// Applies the words that describe any package; false for a word it does not know.
bool describe(package_description& p, const std::string& word) {
    const std::string rest = word.substr(1);
    if (word[0] == '@') p.build_time = static_cast<std::uint32_t>(std::stoul(rest));
    else if (word[0] == '#') p.header_flags = static_cast<std::uint32_t>(std::stoul(rest));
    else if (word[0] == '>') p.dependencies.push_back(req(rest));
    else if (word[0] == '+') p.provisions.push_back(req(rest));
    else if (word[0] == '!') p.conflicts.push_back(req(rest));
    else if (word[0] == '%') p.image = true;
    else if (word.starts_with("arch=")) p.architecture = word.substr(5);
    else if (word.starts_with("note=")) p.note = word.substr(5);
    else if (word == "bundle") p.bundle = true;
    else if (word == "placeholder") p.version = p.build_time = placeholder_value;
    else if (word[0] == '{') {
        p.bundle = true;
        p.sub_packages.push_back(object<package_description>(word.substr(1, word.size() - 2)));
    } else return false;
    return true;
}

action_kind action_of(const std::string& word) {
    for (action_kind action : {action_uninstall, action_enable, action_disable})
        if (word == action_word(action)) return action;
    throw std::invalid_argument(word);
}

std::optional<std::vector<requirement>> list(const std::vector<requirement>& requirements) {
    if (requirements.empty()) return std::nullopt;
    return requirements;
}

// A bound as the notation writes it: empty when open.
std::string bound(std::uint32_t version) { return version ? format_version(version) : ""; }

std::string requirement_word(char mark, const requirement& r) {
    std::string text = std::string(1, mark) + r.name;
    if (r.minimum || r.maximum || r.precedence) text += ":" + bound(r.minimum);
    if (r.maximum || r.precedence) text += ":" + bound(r.maximum);
    if (r.precedence) text += ":" + std::to_string(r.precedence);
    return text;
}

}  // namespace

template <class T>
std::unique_ptr<T> object(const std::string& text) {
    auto p = std::make_unique<T>();
    const std::vector<std::string> w = words(text);
    head(w.at(0), p->name, p->version);
    for (std::size_t i = 1; i < w.size(); ++i) {
        const std::string& word = w[i];
        if (describe(*p, word) || word[0] == '/' || word == "second-kind") {
            if constexpr (std::is_same_v<T, package_record>)
                if (word[0] == '/') p->files.insert(word);
        } else if constexpr (std::is_same_v<T, package_record>) {
            if (word == "off") p->disabled = true;
            else if (word == "user") p->user_set = true;
            else if (word[0] == '^') p->bundle_reference = req(word.substr(1));
            else if (word.starts_with("do=")) p->scheduled_action = action_of(word.substr(3));
            else throw std::invalid_argument(word);
        } else if (word != "off" && word != "user" && word[0] != '^' && !word.starts_with("do=")) {
            throw std::invalid_argument(word);
        }
    }
    return p;
}

template std::unique_ptr<package_description> object<package_description>(const std::string&);
template std::unique_ptr<package_record> object<package_record>(const std::string&);
template std::unique_ptr<download_record> object<download_record>(const std::string&);

qpk::package_contents contents(const std::string& text) {
    const auto p = object<package_record>(text);
    qpk::package_contents c;
    c.name = p->name;
    c.version = p->version;
    c.build_time = p->build_time;
    c.header_flags = p->header_flags;
    if (!p->architecture.empty()) c.architecture = p->architecture;
    if (!p->note.empty()) c.note = p->note;
    c.dependencies = list(p->dependencies);
    c.provisions = list(p->provisions);
    c.conflicts = list(p->conflicts);
    for (const std::string& word : words(text)) {
        if (word[0] == '%') c.image = word.substr(1);
        if (word == "second-kind") c.second_magic = true;
    }
    const std::string content = name_version_text(*p);
    for (const std::string& path : p->files) {
        if (!c.files) c.files.emplace();
        c.files->push_back(qpk::regular_file(path, content));
    }
    return c;
}

std::string file(const qpk::package_contents& contents, int level) {
    qpk::package_contents c = contents;
    c.signature_length = level == 1 ? 68 : 132;
    return qpk::build_package(c, level ? samples::development_signer() : nullptr);
}

std::string file(const std::string& text, int level) {
    const auto p = object<package_record>(text);
    if (!p->bundle) return file(contents(text), level);
    const qpk::package_contents header = contents(text);
    qpk::bundle_contents b;
    static_cast<qpk::description_fields&>(b) = header;
    b.dependencies = b.provisions = b.conflicts = std::nullopt;
    std::vector<requirement> disabled;
    for (const std::string& word : words(text)) {
        if (word[0] != '{') continue;
        const std::string member = word.substr(1, word.size() - 2);
        b.members.push_back(file(member, 0));
        if (object<package_record>(member)->disabled) disabled.push_back({object(member)->name, 0, 0, 0});
    }
    b.default_disabled = list(disabled);
    std::string out, error;
    if (!qpk::build_bundle(b, out, error, level ? samples::development_signer() : nullptr))
        throw std::runtime_error(error);
    return out;
}

std::string text(const package_description& p) {
    std::string out = p.name + "-" + format_version(p.version);
    if (p.build_time) out += " @" + std::to_string(p.build_time);
    if (p.header_flags) out += " #" + std::to_string(p.header_flags);
    for (const auto& [label, field] : {std::pair{" t24=[", &p.text24}, {" arch=[", &p.architecture},
                                       {" t2=[", &p.text2}, {" note=[", &p.note}})
        if (!field->empty()) out += label + *field + "]";
    if (p.image) out += " %";
    if (p.bundle && p.sub_packages.empty()) out += " bundle";
    for (const auto& [mark, list] : {std::pair{'>', &p.dependencies}, {'+', &p.provisions}, {'!', &p.conflicts}})
        for (const requirement& r : *list) out += " " + requirement_word(mark, r);
    for (const auto& member : p.sub_packages) out += " {" + text(*member) + "}";
    if (const auto* r = dynamic_cast<const package_record*>(&p)) {
        for (const std::string& f : r->files) out += " " + f;
        if (!r->bundle_reference.name.empty()) out += " " + requirement_word('^', r->bundle_reference);
        if (r->disabled) out += " off";
        if (r->user_set) out += " user";
        if (r->scheduled_action != action_none) out += std::string(" do=") + action_word(r->scheduled_action);
    }
    return out;
}

std::string number(const std::string& text) {
    std::uint32_t version = 0;
    if (!qpk::parse_version_text(text, version)) throw std::invalid_argument("version " + text);
    return std::to_string(version);
}

}  // namespace line
