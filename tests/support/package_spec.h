// Packages written as one line, for tests of the resolution rules: "name [version] [@build] [+dep] [=provision] [!conflict]
// [{member spec}] [arch=text] [off] [placeholder] [do=uninstall|enable|disable]" A requirement is qpk's
// "name[:min[:max[:precedence]]]"; the version defaults to 1.0. Members make the package a bundle.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qpk/version_text.h"
#include "resolve/version.h"
#include "store/package.h"

namespace spec_detail {

// The blank-separated words of text, a braced member counting as one.
inline std::vector<std::string> words(const std::string& text) {
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

inline requirement req(const std::string& text) {
    requirement r;
    std::string error;
    if (!qpk::parse_requirement_text(text, r, error)) throw std::invalid_argument(error);
    return r;
}

}  // namespace spec_detail

template <class T = package_record>
std::unique_ptr<T> spec(const std::string& text) {
    auto p = std::make_unique<T>();
    const std::vector<std::string> w = spec_detail::words(text);
    p->name = w.at(0);
    p->version = make_version(1, 0, 'f', 0);
    for (std::size_t i = 1; i < w.size(); ++i) {
        const std::string& word = w[i];
        const std::string rest = word.substr(1);
        if (word[0] == '@') p->build_time = static_cast<std::uint32_t>(std::stoul(rest));
        else if (word[0] == '+') p->dependencies.push_back(spec_detail::req(rest));
        else if (word[0] == '=') p->provisions.push_back(spec_detail::req(rest));
        else if (word[0] == '!') p->conflicts.push_back(spec_detail::req(rest));
        else if (word[0] == '{') p->bundle = true, p->sub_packages.push_back(spec<package_description>(word.substr(1, word.size() - 2)));
        else if (word.rfind("arch=", 0) == 0) p->architecture = word.substr(5);
        else if (word == "placeholder") p->version = p->build_time = placeholder_value;
        else if constexpr (std::is_same_v<T, package_record>) {
            if (word == "off") p->disabled = true;
            else if (word.rfind("do=", 0) == 0) p->scheduled_action = word == "do=uninstall" ? action_uninstall : word == "do=enable" ? action_enable : action_disable;
            else if (!qpk::parse_version_text(word, p->version)) throw std::invalid_argument(word);
        } else if (!qpk::parse_version_text(word, p->version)) throw std::invalid_argument(word);
    }
    return p;
}
