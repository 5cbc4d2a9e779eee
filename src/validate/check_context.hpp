// What the parts of the checker share while they look at one frame (a data
// block or save frame) of a document. Private to src/validate.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/builder.hpp"
#include "core/document.hpp"
#include "validate/checker.hpp"

namespace quarzel::validate::detail {

// A value for messages: quoted, long ones cut short.
std::string shown(std::string_view value);

// Item names joined by '+'.
std::string join_items(const RuleSet& rules, const std::vector<std::uint32_t>& items);

// The text a stored value stands for (quoted placeholders as their
// character); `null` when it is a bare `?` or `.`.
inline std::string_view scalar_text(const ValueRef& ref, bool& null) {
    null = ref.text.size() == 1 && (ref.text[0] == '?' || ref.text[0] == '.');
    // The builder keeps a quoted "?" or "." as three characters.
    if (ref.text.size() == 3 && ref.text[0] == '"') [[unlikely]]
        return stored_value_text(ref.text);
    return ref.text;
}

class ColumnHashes;

struct Frame {
    const FrameData* data = nullptr;
    std::uint32_t block = kNoIndex;
    std::uint32_t frame = kNoIndex;
    std::vector<std::uint32_t> items;   // per tag position: its item or kNone
    std::vector<std::int32_t> loop_of;  // per tag position: its loop or -1
};

class Context {
public:
    Context(const RuleSet& rules, const Options& options, std::vector<Finding>& out)
        : rules(rules), options(options), out_(out) {}

    // A finding about `frame`, its dictionary and rule taken from `dict`
    // and `check` (or an item's override).
    Finding& add(const Frame& frame, Code code, Severity severity, std::string message,
                 std::uint32_t dict, std::string_view rule);
    Finding& add_for_item(const Frame& frame, Code code, Severity severity, std::string message,
                          std::uint32_t item, Check check);

    const RuleSet& rules;
    const Options& options;

private:
    std::vector<Finding>& out_;
};

// Per-tag scan of a frame: unknown, deprecated and aliased names, looped
// or not, and every value of the known ones.
void check_tags(Context& cx, Frame& frame);
// The values of one tag against its item.
void check_values(Context& cx, const Frame& frame, std::size_t position);
// Loops and categories of a frame: loops of one category, mandatory and
// key items, unique keys, DDL1 references.
// `hashes`: the block's columns hashed as keys, shared with check_links.
void check_categories(Context& cx, const Frame& frame, ColumnHashes& hashes);
// Links of a data block (its own items and its save frames').
void check_links(Context& cx, const std::vector<Frame>& frames, ColumnHashes& hashes);
// DDLm definition scopes of a dictionary's block and frames.
void check_scopes(Context& cx, const std::vector<Frame>& frames);

}  // namespace quarzel::validate::detail
