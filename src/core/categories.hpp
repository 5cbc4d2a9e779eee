// Categories of tags, and which categories and blocks a selective reading
// keeps. A tag with a dot belongs to the category between its leading
// underscore and the dot (`_atom_site.label`: `atom_site`). A tag without
// one (CIF 1.1 core style) belongs, when it stands alone, to `_items`, and in
// a loop to the category a dictionary gives it or else to the longest common
// prefix of the loop's tags without a dot that ends at an underscore
// (`_geom_bond_distance` beside `_geom_bond_atom_site_label_1`: `geom_bond`).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quarzel {

// The category of the tags without a dot that stand alone.
inline constexpr std::string_view kItemsCategory = "_items";

// The category of a (lower-cased) tag with a dot; empty for a tag without one.
std::string_view dotted_category(std::string_view tag) noexcept;

// The category of the tags without a dot of one loop (lower-cased, at
// least one): the longest common prefix ending at an underscore, without its
// leading and trailing underscores (the first tag without its underscore
// when there is none).
std::string loop_prefix_category(std::span<const std::string_view> tags);

// Lower-cased tag -> category, from a dictionary.
using TagCategories = std::unordered_map<std::string, std::string>;

// The category of each tag of one loop (lower-cased), as above.
std::vector<std::string> loop_categories(std::span<const std::string_view> tags,
                                         const TagCategories& dictionary);

// The category of a tag that stands alone (lower-cased).
inline std::string_view item_category(std::string_view tag) noexcept {
    const std::string_view c = dotted_category(tag);
    return c.empty() ? kItemsCategory : c;
}

// What a selective reading keeps: the named categories (every one when none
// is named) of the named data blocks (every one when none is named). Names
// are compared in lower case, as the document stores them.
class Selection {
public:
    Selection() = default;
    Selection(std::span<const std::string> categories,
              std::optional<std::span<const std::string>> blocks, TagCategories dictionary = {});

    // Keeps no value at all: everything is counted (an index's pass).
    static Selection nothing() {
        Selection s;
        s.none_ = true;
        return s;
    }

    bool every_category() const noexcept { return categories_.empty() && !none_; }
    bool wants_category(std::string_view category) const {
        if (none_) return false;
        return categories_.empty() || categories_.contains(std::string(category));
    }
    // `name` lower-cased.
    bool wants_block(std::string_view name) const {
        return !blocks_ || blocks_->contains(std::string(name));
    }
    const TagCategories& dictionary() const noexcept { return dictionary_; }

private:
    std::unordered_set<std::string> categories_;
    std::optional<std::unordered_set<std::string>> blocks_;
    TagCategories dictionary_;
    bool none_ = false;
};

}  // namespace quarzel
