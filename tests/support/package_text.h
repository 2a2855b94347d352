// Package objects as one line of text that names every field not at its default, so that a test compares whole objects and a
// mismatch shows the field: "name version build_time", then flags, texts, image, bundle, lists, members; for a record its files,
// bundle and state.
#pragma once

#include <string>
#include <vector>

#include "store/package.h"

inline std::string requirement_list_text(const std::vector<requirement>& list) {
    std::string text;
    for (const requirement& r : list)
        text += " " + r.name + ":" + std::to_string(r.minimum) + ":" + std::to_string(r.maximum) + ":" + std::to_string(r.precedence);
    return text;
}

inline std::string package_text(const package_description& d) {
    std::string text = d.name + " " + std::to_string(d.version) + " " + std::to_string(d.build_time);
    if (d.header_flags) text += " flags" + std::to_string(d.header_flags);
    for (const auto& [label, field] : {std::pair{" t24", &d.text24}, {" arch", &d.architecture}, {" t2", &d.text2}, {" note", &d.note}})
        if (!field->empty()) text += std::string(label) + "=[" + *field + "]";
    text += std::string(d.image ? " image" : "") + (d.bundle ? " bundle" : "");
    for (const auto& [label, list] : {std::pair{" deps", &d.dependencies}, {" prov", &d.provisions}, {" conf", &d.conflicts}})
        if (!list->empty()) text += label + requirement_list_text(*list);
    for (const auto& member : d.sub_packages) text += " {" + package_text(*member) + "}";
    if (const auto* r = dynamic_cast<const package_record*>(&d)) {
        for (const std::string& f : r->files) text += " " + f;
        if (!r->bundle_reference.name.empty()) text += " in" + requirement_list_text({r->bundle_reference});
        text += std::string(r->disabled ? " disabled" : "") + (r->user_set ? " user" : "") +
                (r->scheduled_action ? " action" + std::to_string(r->scheduled_action) : "");
    }
    return text;
}
