// Line and column of findings. Most values are views of the text, and the
// document notes where each tag is first written, so their places follow
// from offsets and an index of line starts made once per document that has
// findings. Values that are not slices of the text (lists, tables,
// rewritten text fields, quoted placeholders) are found by reading the text
// once more without building anything, only when some finding needs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/document.hpp"
#include "core/version.hpp"
#include "validate/finding.hpp"

namespace quarzel::validate {

// Positions of offsets into a text as the lexer counts them (lines 1-based
// from `first_line`, columns 1-based in code points), found by reading the
// text forward from the last offset asked: offsets asked in rising order
// cost one pass over the text up to the last of them (an offset before the
// last one's line reads again from the start).
class LineIndex {
public:
    LineIndex(std::string_view text, std::uint32_t first_line)
        : text_(text), first_line_(first_line) {}
    void position(std::uint64_t offset, std::uint32_t& line, std::uint32_t& column);

private:
    std::string_view text_;
    std::uint32_t first_line_;
    std::size_t read_ = 0;        // the text is read up to here
    std::size_t line_start_ = 0;  // where the line holding `read_` starts
    std::uint32_t newlines_ = 0;  // line breaks before `read_`
};

// Fills the line and column of each finding that locates a tag or value of
// `doc`, which was built from `detected.text`.
void resolve_positions(std::vector<Finding>& findings, const ParsedCif& doc,
                       const VersionResult& detected);

}  // namespace quarzel::validate
