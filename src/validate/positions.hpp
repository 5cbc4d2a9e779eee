// Line and column of findings. Most values are views of the text, and the
// document notes where each tag is first written, so their places follow
// from offsets and an index of line starts made once per document that has
// findings. Values that are not slices of the text (lists, tables,
// rewritten text fields, quoted placeholders) are found by reading the text
// once more without building anything, only when some finding needs them.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/document.hpp"
#include "core/version.hpp"
#include "validate/finding.hpp"

namespace quarzel::validate {

// Offsets of line starts in a text, and positions as the lexer counts them
// (lines 1-based from `first_line`, columns 1-based in code points).
class LineIndex {
public:
    LineIndex(std::string_view text, std::uint32_t first_line);
    void position(std::uint64_t offset, std::uint32_t& line, std::uint32_t& column) const;

private:
    std::string_view text_;
    std::uint32_t first_line_;
    std::vector<std::uint32_t> starts_;  // offsets (beyond 4 GiB: positions are 0)
};

// Fills the line and column of each finding that locates a tag or value of
// `doc`, which was built from `detected.text`.
void resolve_positions(std::vector<Finding>& findings, const ParsedCif& doc,
                       const VersionResult& detected);

}  // namespace quarzel::validate
