// The token model shared by the lexer, the parser and the sinks.
#pragma once

#include <cstdint>
#include <string_view>

namespace quarzel {

enum class TokenType : std::uint8_t { Tag = 0, Keyword = 1, Value = 2 };

enum class ValueType : std::uint8_t {
    MultilineString = 0,
    TripleDoubleQuoted = 1,
    TripleSingleQuoted = 2,
    DoubleQuoted = 3,
    SingleQuoted = 4,
    String = 5,
    Placeholder = 6,
    None = 7,  // tags and keywords; never reaches a sink
};

// Python-side member names, indexed by code.
inline constexpr std::string_view kTokenTypeNames[] = {"TAG", "KEYWORD", "VALUE"};
inline constexpr std::string_view kValueTypeNames[] = {
    "MULTILINE_STRING", "TRIPLE_DOUBLE_QUOTED", "TRIPLE_SINGLE_QUOTED",
    "DOUBLE_QUOTED",    "SINGLE_QUOTED",        "STRING",
    "PLACEHOLDER"};

struct Token {
    // The token's text: a view into the lexed text (quoted strings without
    // their delimiters, text fields raw).
    std::string_view value;
    std::uint32_t line = 0;    // 1-based, source lines
    std::uint32_t column = 0;  // 1-based, in code points
    // The token's errors are errors[error_begin, error_begin + error_count) of
    // the lexer (or token list) that produced it.
    std::uint32_t error_begin = 0;
    std::uint32_t error_count = 0;
    TokenType type = TokenType::Value;
    ValueType value_type = ValueType::None;
    bool ascii = true;  // `value` holds only ASCII bytes
};

}  // namespace quarzel
