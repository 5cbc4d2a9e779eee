// Data blocks (tags, loops, value texts) written as a BinaryCIF file.
//
// Each loop becomes a category per category of its tags (the text before
// a tag's dot), with the loop's rows; tags outside loops are gathered into
// one-row categories by the same name. A tag without a dot (CIF 1.1 style,
// "_cell_length_a") is a column named by the whole tag, which readers of
// quarzel take as the tag itself; its category is the loop's common prefix
// ending at an underscore ("_atom_site" for "_atom_site_label", ...), or
// for an item the tag up to its second underscore ("_cell").
#pragma once

#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bcif/classify.hpp"

namespace quarzel::bcif {

struct FrameIn {
    std::string_view name;
    std::vector<std::string_view> tag_order;
    std::vector<std::vector<std::string_view>> loops;
    std::vector<std::vector<std::string_view>> values;  // values[i]: those of tag_order[i]
};

struct WriteOptions {
    // The declared type of a tag (Auto when not set).
    std::function<Declared(std::string_view tag)> declared;
    // How to spell a tag or block name in the file (as given when not set,
    // or when it returns an empty text).
    std::function<std::string(std::string_view name)> spelling;
    std::string encoder = "quarzel";
};

// A block that cannot be written (its message names the block and tag).
struct WriteError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string write_file(std::span<const FrameIn> blocks, const WriteOptions& options);

// The category of an unlooped tag and of a loop's tags without a dot.
std::string item_category(std::string_view tag);
std::string loop_category(std::span<const std::string_view> dotless_tags);

}  // namespace quarzel::bcif
