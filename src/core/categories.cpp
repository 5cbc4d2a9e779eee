#include "core/categories.hpp"

#include "core/lowercase.hpp"

namespace quarzel {

std::string_view dotted_category(std::string_view tag) noexcept {
    const std::size_t dot = tag.find('.');
    if (dot == std::string_view::npos || tag.empty()) return {};
    return tag.substr(1, dot - 1);
}

std::string loop_prefix_category(std::span<const std::string_view> tags) {
    std::string_view prefix = tags.front();
    for (std::string_view t : tags) {
        std::size_t n = 0;
        while (n < prefix.size() && n < t.size() && prefix[n] == t[n]) ++n;
        prefix = prefix.substr(0, n);
    }
    // Up to the last underscore after the leading one.
    const std::size_t cut = prefix.size() > 1 ? prefix.rfind('_') : std::string_view::npos;
    if (cut != std::string_view::npos && cut > 1) return std::string(prefix.substr(1, cut - 1));
    std::string_view first = tags.front();
    if (!first.empty() && first[0] == '_') first.remove_prefix(1);
    return std::string(first);
}

std::vector<std::string> loop_categories(std::span<const std::string_view> tags,
                                         const TagCategories& dictionary) {
    std::vector<std::string_view> plain;
    for (std::string_view tag : tags)
        if (dotted_category(tag).empty() && !dictionary.contains(std::string(tag)))
            plain.push_back(tag);
    const std::string plain_category = plain.empty() ? std::string() : loop_prefix_category(plain);
    std::vector<std::string> out;
    out.reserve(tags.size());
    for (std::string_view tag : tags) {
        std::string category(dotted_category(tag));
        if (category.empty()) {
            auto it = dictionary.find(std::string(tag));
            category = it != dictionary.end() ? it->second : plain_category;
        }
        out.push_back(std::move(category));
    }
    return out;
}

Selection::Selection(std::span<const std::string> categories,
                     std::optional<std::span<const std::string>> blocks, TagCategories dictionary)
    : dictionary_(std::move(dictionary)) {
    for (const std::string& c : categories) categories_.insert(lower(c));
    if (blocks) {
        blocks_.emplace();
        for (const std::string& b : *blocks) blocks_->insert(lower(b));
    }
}

}  // namespace quarzel
