#include "core/lexer.hpp"

#include <array>
#include <cstdio>
#include <cstring>

#include "core/utf8.hpp"

namespace quarzel {

using namespace lexer_detail;

namespace {

// Bytes that pass the CIF 1.1 character test on their own: tab, LF, CR and
// U+0020..U+007E. Every other byte needs a closer look.
constexpr std::array<bool, 256> make_cif1_plain() {
    std::array<bool, 256> t{};
    for (int b = 0x20; b <= 0x7E; ++b) t[b] = true;
    t['\t'] = t['\n'] = t['\r'] = true;
    return t;
}
constexpr auto kCif1Plain = make_cif1_plain();

// Eight bytes all in ' '..'~' (each then allowed in CIF 1.1 text).
bool printable8(std::uint64_t w) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHigh = kOnes * 0x80;
    const std::uint64_t below_space = (w - kOnes * 0x20) & ~w;
    const std::uint64_t x = w ^ (kOnes * 0x7F);
    const std::uint64_t is_delete = (x - kOnes) & ~x;
    return ((w | below_space | is_delete) & kHigh) == 0;
}

// Some byte of `w` is `c`.
bool has_byte(std::uint64_t w, char c) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    const std::uint64_t x = w ^ (kOnes * static_cast<unsigned char>(c));
    return ((x - kOnes) & ~x & (kOnes * 0x80)) != 0;
}

using ascii::is_ascii;

LexerError make_error(std::string message, std::string context, std::uint32_t line,
                      std::uint32_t column) {
    return LexerError{std::move(message), std::move(context), line, column};
}

// The opening delimiter followed by at most 40 bytes of the content, cut at a
// character boundary.
std::string unterminated_context(std::string_view delimiter, std::string_view content) {
    std::string_view head = utf8_prefix(content, 40);
    std::string out;
    out.reserve(delimiter.size() + head.size());
    out.append(delimiter);
    out.append(head);
    return out;
}

}  // namespace

std::optional<LexerError> check_cif1_char(char32_t c, std::uint32_t line, std::uint32_t column) {
    if (c == 0x09 || c == 0x0A || c == 0x0D || (c >= 0x20 && c <= 0x7E)) return std::nullopt;
    char code[16];
    int n = std::snprintf(code, sizeof code, "%04X", static_cast<unsigned>(c));
    std::string message = "character U+";
    message.append(code, static_cast<std::size_t>(n));
    message += " is not permitted in CIF 1.x";
    std::string context;
    utf8::append(context, c);
    return make_error(std::move(message), std::move(context), line, column);
}

Lexer::Lexer(std::string_view text, CifVersion version, std::uint32_t line_offset)
    : text_(text), line_(line_offset + 1), is_cif2_(version == CifVersion::Cif20) {}

Lexer::Lexer(std::string_view text, CifVersion version, std::uint32_t line_offset,
             std::size_t start)
    : Lexer(text, version, line_offset) {
    pos_ = start;
    line_base_ = continuation_bytes(text.data(), start);
    if (start != 0) {
        const char c = text[start - 1];
        after_whitespace_ = c == ' ' || c == '\t' || c == '\n';
    }
}

void Lexer::bare_word_error(char first, Token& out) {
    std::string message = "bare word beginning with '";
    message += first;
    message += "' is not permitted in CIF 1.x";
    push_error(make_error(std::move(message), std::string(1, first), out.line, out.column));
    out.error_count = 1;
}

void Lexer::check_cif1_span(std::size_t from, std::size_t to, std::uint32_t line,
                            std::uint32_t column) {
    const char* const b = text_.data();
    std::size_t counted = from;  // `column` is the column of `counted`
    for (std::size_t q = from; q < to;) {
        if (q + 8 <= to) {
            std::uint64_t w;
            std::memcpy(&w, b + q, 8);
            if (printable8(w)) {
                q += 8;
                continue;
            }
        }
        if (kCif1Plain[static_cast<unsigned char>(b[q])]) {
            ++q;
            continue;
        }
        column += static_cast<std::uint32_t>((q - counted) -
                                             continuation_bytes(b + counted, q - counted));
        counted = q;
        std::size_t r = q;
        const char32_t c = utf8::decode(text_.substr(0, to), r);
        if (auto e = check_cif1_char(c, line, column)) push_error(std::move(*e));
        q = r;
    }
}

void Lexer::read_quoted(std::size_t p, char quote, Token& out) {
    const char* const b = text_.data();
    const std::size_t n = text_.size();
    const std::size_t s = p + 1;
    std::size_t q = s;
    bool closed = false;
    // Both versions first pass eight bytes at a time while they hold
    // neither the quote nor a line feed. For CIF 1.1 they must also be
    // printable ASCII: such a run needs no character check and counts one
    // column per byte, so the checks below start where it ends.
    std::uint64_t high = 0;
    std::size_t run_end = s;
    if (is_cif2_) {
        for (; q + 8 <= n; q += 8) {
            std::uint64_t w;
            std::memcpy(&w, b + q, 8);
            if (has_byte(w, quote) || has_byte(w, '\n')) break;
            high |= w;
        }
        run_end = q;
        for (; q < n; ++q) {
            const char c = b[q];
            if (c == quote) {
                closed = true;
                break;
            }
            if (c == '\n') break;
        }
    } else {
        for (; q + 8 <= n; q += 8) {
            std::uint64_t w;
            std::memcpy(&w, b + q, 8);
            if (!printable8(w) || has_byte(w, quote)) break;
        }
        run_end = q;
        // A quote closes the string only when followed by NUL, tab, LF,
        // space or the end of the text; otherwise it is content.
        for (; q < n; ++q) {
            const char c = b[q];
            if (c == '\n') break;
            if (c == quote) {
                if (q + 1 == n) {
                    closed = true;
                    break;
                }
                const char d = b[q + 1];
                if (d == ' ' || d == '\n' || d == '\t' || d == '\0') {
                    closed = true;
                    break;
                }
            }
        }
    }
    const std::string_view content = text_.substr(s, q - s);
    out.value = content;
    out.line = line_;
    out.column = column_at(p);
    out.error_begin = error_total_;
    out.type = TokenType::Value;
    out.value_type = quote == '\'' ? ValueType::SingleQuoted : ValueType::DoubleQuoted;
    out.ascii = (high & 0x8080808080808080ull) == 0 && is_ascii(b + run_end, q - run_end);
    if (!is_cif2_)
        check_cif1_span(run_end, q, out.line,
                        out.column + 1 + static_cast<std::uint32_t>(run_end - s));
    if (!closed) {
        push_error(make_error(quote == '\'' ? "unterminated single quoted string"
                                            : "unterminated double quoted string",
                              unterminated_context(std::string_view(&b[p], 1), content), out.line,
                              out.column));
    }
    out.error_count = error_total_ - out.error_begin;
    if (!out.ascii) line_base_ += continuation_bytes(content.data(), content.size());
    pos_ = closed ? q + 1 : q;
}

void Lexer::read_triple(std::size_t p, char quote, Token& out) {
    const char* const b = text_.data();
    const std::size_t n = text_.size();
    const std::size_t s = p + 3;
    const std::string_view delimiter = text_.substr(p, 3);
    out.line = line_;
    out.column = column_at(p);
    out.error_begin = error_total_;
    out.type = TokenType::Value;
    if (is_cif2_) {
        out.value_type =
            quote == '\'' ? ValueType::TripleSingleQuoted : ValueType::TripleDoubleQuoted;
    } else {
        out.value_type = ValueType::String;
        push_error(make_error("triple-quoted strings are not valid in CIF 1.x",
                              std::string(delimiter), out.line, out.column));
    }
    // The first run of three quotes closes the string.
    std::size_t q = s;
    bool closed = false;
    while (q < n) {
        const void* hit = std::memchr(b + q, quote, n - q);
        if (!hit) {
            q = n;
            break;
        }
        const auto f = static_cast<std::size_t>(static_cast<const char*>(hit) - b);
        if (f + 2 < n && b[f + 1] == quote && b[f + 2] == quote) {
            q = f;
            closed = true;
            break;
        }
        q = f + 1;
    }
    if (!closed && more_follows_) {
        stop_for_more(p, out.line);
        return;
    }
    const std::string_view content = text_.substr(s, q - s);
    out.value = content;
    out.ascii = is_ascii(content.data(), content.size());
    if (!closed) {
        const char* message = !is_cif2_       ? "unterminated triple-quoted string"
                              : quote == '\'' ? "unterminated triple single quoted string"
                                              : "unterminated triple double quoted string";
        push_error(
            make_error(message, unterminated_context(delimiter, content), out.line, out.column));
    }
    out.error_count = error_total_ - out.error_begin;

    // Line ends inside the string move the position to a later line.
    std::size_t last_lf = std::string_view::npos;
    for (std::size_t i = s; i < q; ++i) {
        if (b[i] == '\n') {
            ++line_;
            last_lf = i;
        }
    }
    if (last_lf != std::string_view::npos) {
        line_base_ = last_lf + 1;
        if (!out.ascii) line_base_ += continuation_bytes(b + last_lf + 1, q - (last_lf + 1));
    } else if (!out.ascii) {
        line_base_ += continuation_bytes(content.data(), content.size());
    }
    pos_ = closed ? q + 3 : q;
}

void Lexer::read_text_field(std::size_t p, Token& out) {
    const char* const b = text_.data();
    const std::size_t n = text_.size();
    const std::size_t s = p + 1;
    const std::uint32_t first_line = line_;
    // Closed by the first LF that is directly followed by ';'.
    std::size_t q = s;
    std::size_t end = n;  // end of the content
    bool closed = false;
    std::uint32_t lines = 0;
    while (q < n) {
        const void* hit = std::memchr(b + q, '\n', n - q);
        if (!hit) break;
        const auto f = static_cast<std::size_t>(static_cast<const char*>(hit) - b);
        ++lines;
        if (f + 1 < n && b[f + 1] == ';') {
            end = f;
            closed = true;
            break;
        }
        q = f + 1;
    }
    if (!closed && more_follows_) {
        stop_for_more(p, first_line);
        return;
    }
    const std::string_view content = text_.substr(s, end - s);
    out.value = content;
    out.line = first_line;
    out.column = 1;
    out.error_begin = error_total_;
    out.type = TokenType::Value;
    out.value_type = ValueType::MultilineString;
    out.ascii = is_ascii(content.data(), content.size());
    if (!is_cif2_) {
        std::size_t from = s;
        std::uint32_t line = first_line;
        std::uint32_t column = 2;
        while (from < end) {
            const void* hit = std::memchr(b + from, '\n', end - from);
            const std::size_t to =
                hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - b) : end;
            check_cif1_span(from, to, line, column);
            from = to + 1;
            ++line;
            column = 1;
        }
    }
    if (!closed) push_error(make_error("unterminated multiline string", ";", first_line, 1));
    out.error_count = error_total_ - out.error_begin;
    line_ = first_line + lines;
    if (closed) {
        line_base_ = end + 1;  // the closing ';' is column 1
        pos_ = end + 2;
    } else {
        pos_ = n;
    }
}

TokenList tokenise(Lexer lexer) {
    TokenList list;
    list.tokens.reserve(lexer.text().size() / 8 + 16);
    Token t;
    while (lexer.next(t)) list.tokens.push_back(t);
    list.errors = lexer.take_errors();
    return list;
}

}  // namespace quarzel
