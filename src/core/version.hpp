// Deciding which CIF version a text declares, and cutting off what precedes
// the text to lex.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace quarzel {

enum class CifVersion : std::uint8_t { Cif11 = 0, Cif20 = 1 };

struct VersionResult {
    // What the lexer reads: the source minus its leading blank lines and the
    // magic line, with line ends normalised (it never holds a CR). It points
    // into the caller's source when that held no CR, otherwise into `storage`.
    std::string_view text;
    std::vector<NativeParseError> errors;  // empty, or one record
    std::uint32_t line_offset = 0;         // source lines before `text`
    CifVersion version = CifVersion::Cif11;
    // Normalised copy of the source, present only when the source held a CR.
    // Heap-held so that `text` stays valid when the result is moved.
    std::unique_ptr<std::string> storage;
};

// Never fails. `source` must outlive the result.
VersionResult detect_version(std::string_view source);

// Whether detect_version passes over `line` (without its line end) as blank
// on its way to the first line that counts.
bool blank_line(std::string_view line) noexcept;

}  // namespace quarzel
