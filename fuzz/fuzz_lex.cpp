// Version detection and lexing: every token is a slice of the text, positions
// never go backwards, error ranges are in bounds, and pulling tokens one by
// one gives the same result as tokenising at once.
#include "core/lexer.hpp"
#include "core/version.hpp"
#include "fuzz_common.hpp"

using namespace quarzel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto in = fuzz::split(data, size);
    VersionResult v = detect_version(in.text);
    fuzz::check(v.text.find('\r') == std::string_view::npos, "CR left in the lexer's text");
    fuzz::check(v.errors.size() <= 1, "more than one version error");
    CifVersion version =
        (in.flags & 1) ? v.version : ((in.flags & 2) ? CifVersion::Cif20 : CifVersion::Cif11);

    Lexer lexer(v.text, version, v.line_offset);
    TokenList all = tokenise(Lexer(v.text, version, v.line_offset));
    Token t;
    std::size_t i = 0;
    std::uint32_t last_line = 0, last_column = 0;
    const bool valid = fuzz::valid_utf8(in.text);
    const char* begin = v.text.data();
    const char* end = begin + v.text.size();
    while (lexer.next(t)) {
        fuzz::check(i < all.tokens.size(), "next() yields more tokens than tokenise");
        const Token& u = all.tokens[i++];
        fuzz::check(t.value == u.value && t.line == u.line && t.column == u.column &&
                        t.type == u.type && t.value_type == u.value_type &&
                        t.error_count == u.error_count,
                    "next() and tokenise disagree", t.value);
        fuzz::check(
            t.value.empty() || (t.value.data() >= begin && t.value.data() + t.value.size() <= end),
            "token value outside the text");
        fuzz::check(t.line > v.line_offset && t.column >= 1, "position before the text");
        fuzz::check(!valid || t.line > last_line || (t.line == last_line && t.column > last_column),
                    "token positions go backwards");
        last_line = t.line;
        last_column = t.column;
        fuzz::check((t.type == TokenType::Value) == (t.value_type != ValueType::None),
                    "value type does not match token type");
        fuzz::check(!t.value.empty() || t.type == TokenType::Value, "empty tag or keyword");
        auto errs = lexer.errors_of(t);
        fuzz::check(t.error_begin + t.error_count <= lexer.errors().size(),
                    "error range out of bounds");
        for (const auto& e : errs) {
            fuzz::check(!e.message.empty(), "error without a message");
            fuzz::check(e.line >= t.line, "error before its token");
        }
        bool ascii = true;
        for (char c : t.value) ascii &= static_cast<unsigned char>(c) < 0x80;
        fuzz::check(ascii == t.ascii, "ascii flag wrong", t.value);
    }
    fuzz::check(i == all.tokens.size(), "tokenise yields more tokens than next()");
    return 0;
}
