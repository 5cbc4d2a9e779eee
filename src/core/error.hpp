// Error records shared by every stage: the lexer's per-token problems and the
// parse-error record that reaches the caller.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quarzel {

enum class ErrorType : std::uint8_t { Lexical, Syntactic, Semantic };

// "lexical", "syntactic" or "semantic".
std::string_view error_type_name(ErrorType type) noexcept;

// One problem found while reading a token. Kept by the lexer in a side list;
// a token refers to its errors by index.
struct LexerError {
    std::string message;
    std::string context;
    std::uint32_t line = 0;
    std::uint32_t column = 0;
};

// One problem in the input, whatever stage found it. Python sees the fields in
// this order: error_type, message, line, column, context, recovery_action.
struct NativeParseError {
    ErrorType error_type = ErrorType::Syntactic;
    std::string message;
    std::uint32_t line = 0;
    std::uint32_t column = 0;
    std::string context;
    std::string recovery_action;
};

// Appends `text` in quoted form: between double quotes, with `"` and `\`
// escaped, tab, CR, LF and NUL as \t \r \n \0, and other control or
// non-printable characters as \u{hex}.
void append_quoted(std::string& out, std::string_view text);
std::string quoted(std::string_view text);

// `[` then each text in quoted form separated by ", " then `]`.
std::string quoted_list(std::span<const std::string_view> texts);
std::string quoted_list(std::span<const std::string> texts);

// The longest prefix of `text` of at most `max_bytes` bytes that does not end
// inside a UTF-8 sequence.
std::string_view utf8_prefix(std::string_view text, std::size_t max_bytes) noexcept;

}  // namespace quarzel
