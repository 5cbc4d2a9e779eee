// The lexer's hot path, inline so that the parser's loop can take it in:
// the byte classes, the word scan and Lexer::next itself.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/ascii.hpp"
#include "core/lexer.hpp"

namespace quarzel {

namespace lexer_detail {

// Byte classes for the bare-word scan. A '#' is word material after a
// word's first byte (`abc#def`, `_tag#1`, `data_a#b`): only at the start of
// a token does it open a comment.
enum : std::uint8_t {
    kSeparator = 1,  // space, tab, LF: end every bare word
    kBracket = 2,    // [ ] { }: end most bare words under CIF 2.0
};

constexpr std::array<std::uint8_t, 256> make_word_classes() {
    std::array<std::uint8_t, 256> t{};
    t[' '] = t['\t'] = t['\n'] = kSeparator;
    t['['] = t[']'] = t['{'] = t['}'] = kBracket;
    return t;
}
inline constexpr auto kWordClass = make_word_classes();

// What a byte met between tokens starts.
enum : std::uint8_t {
    kStartWord = 0,
    kStartLineEnd,
    kStartComment,
    kStartQuote,
    kStartSemicolon,
    kStartPunctuation,  // brackets and colon: punctuation or a word
};

constexpr std::array<std::uint8_t, 256> make_start_classes() {
    std::array<std::uint8_t, 256> t{};
    t['\n'] = kStartLineEnd;
    t['#'] = kStartComment;
    t['\''] = t['"'] = kStartQuote;
    t[';'] = kStartSemicolon;
    t['['] = t[']'] = t['{'] = t['}'] = t[':'] = kStartPunctuation;
    return t;
}
inline constexpr auto kStartClass = make_start_classes();

// What the first byte of a bare word may make of it.
enum : std::uint8_t {
    kFirstPlain = 0,
    kFirstTag,          // '_'
    kFirstKeyword,      // first letter of data_, save_, loop_, stop_, global_
    kFirstPlaceholder,  // '.' or '?' (a placeholder when alone)
    kFirstCif1Error,    // '[' or '$': not permitted to begin a CIF 1.1 word
};

constexpr std::array<std::uint8_t, 256> make_first_classes() {
    std::array<std::uint8_t, 256> t{};
    t['_'] = kFirstTag;
    for (char c : {'d', 'D', 's', 'S', 'l', 'L', 'g', 'G'})
        t[static_cast<unsigned char>(c)] = kFirstKeyword;
    t['.'] = t['?'] = kFirstPlaceholder;
    t['['] = t['$'] = kFirstCif1Error;
    return t;
}
inline constexpr auto kFirstClass = make_first_classes();

// What a byte begins within a run of plain words (read_plain_words): a
// plain word, blanks, a line end, a word that may be a keyword, or
// anything the run leaves to next().
enum : std::uint8_t {
    kRunWord = 0,
    kRunBlank,
    kRunLineEnd,
    kRunKeywordLetter,
    kRunStop,
};

constexpr std::array<std::uint8_t, 256> make_run_classes() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        if (kStartClass[c] != kStartWord) t[c] = kRunStop;
        if (kFirstClass[c] == kFirstTag || kFirstClass[c] == kFirstCif1Error) t[c] = kRunStop;
        if (kFirstClass[c] == kFirstKeyword) t[c] = kRunKeywordLetter;
    }
    t[' '] = t['\t'] = kRunBlank;
    t['\n'] = kRunLineEnd;
    return t;
}
inline constexpr auto kRunClass = make_run_classes();

// First offset at or after `q` whose byte has a class in `stop`; ORs the
// bytes passed over into `high`. (Mostly short words in regular columns:
// a plain byte loop does as well as eight bytes at a time here.)
inline std::size_t scan_word(const char* b, std::size_t q, std::size_t n, std::uint8_t stop,
                             unsigned char& high) noexcept {
    while (q < n) {
        const auto byte = static_cast<unsigned char>(b[q]);
        if (kWordClass[byte] & stop) break;
        high |= byte;
        ++q;
    }
    return q;
}

// First offset at or after `p` that is neither space nor tab.
inline std::size_t skip_blanks(const char* b, std::size_t p, std::size_t n) noexcept {
    while (p < n && (b[p] == ' ' || b[p] == '\t')) ++p;
    return p;
}

using ascii::starts_with_lower;

inline bool is_keyword(std::string_view w) noexcept {
    if (w.size() < 5) return false;
    if (w[4] == '_' &&
        (starts_with_lower(w.data(), "data_") || starts_with_lower(w.data(), "save_")))
        return true;
    if (w.size() == 5)
        return starts_with_lower(w.data(), "loop_") || starts_with_lower(w.data(), "stop_");
    return w.size() == 7 && starts_with_lower(w.data(), "global_");
}

// Number of UTF-8 continuation bytes (10xxxxxx) in [p, p + n).
inline std::size_t continuation_bytes(const char* p, std::size_t n) noexcept {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) k += (static_cast<unsigned char>(p[i]) & 0xC0) == 0x80;
    return k;
}

}  // namespace lexer_detail

inline bool Lexer::next(Token& out) {
    using namespace lexer_detail;
    const char* const b = text_.data();
    const std::size_t n = text_.size();
    std::size_t p = pos_;
    // Tested in order of frequency: blanks, then the start of a plain word.
    while (p < n) {
        const char c = b[p];
        if (c == ' ' || c == '\t') {
            p = skip_blanks(b, p + 1, n);
            after_whitespace_ = true;
            continue;
        }
        const std::uint8_t k = kStartClass[static_cast<unsigned char>(c)];
        if (k == kStartWord) break;
        if (k == kStartLineEnd) {
            ++p;
            ++line_;
            line_base_ = p;
            after_whitespace_ = true;
            continue;
        }
        if (k == kStartComment) {
            // The rest of the line; its bytes do not matter for columns
            // because the LF that ends it starts a new line.
            const void* lf = std::memchr(b + p, '\n', n - p);
            p = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - b) : n;
            after_whitespace_ = true;
            continue;
        }
        if (k == kStartQuote) {
            if (p + 2 < n && b[p + 1] == c && b[p + 2] == c)
                read_triple(p, c, out);
            else
                read_quoted(p, c, out);
            after_whitespace_ = false;
            return true;
        }
        if (k == kStartSemicolon) {
            if (p == line_base_) {
                read_text_field(p, out);
                after_whitespace_ = false;
                return true;
            }
            break;
        }
        // A bracket or a colon.
        if (is_cif2_ && (c != ':' || !after_whitespace_)) {
            out.value = text_.substr(p, 1);
            out.line = line_;
            out.column = column_at(p);
            out.error_begin = error_total_;
            out.error_count = 0;
            out.type = TokenType::Value;
            out.value_type = ValueType::String;
            out.ascii = true;
            pos_ = p + 1;
            after_whitespace_ = false;
            return true;
        }
        break;
    }
    if (p >= n) {
        pos_ = p;
        return false;
    }
    read_word(p, out);
    after_whitespace_ = false;
    return true;
}

inline void Lexer::read_word(std::size_t p, Token& out) {
    using namespace lexer_detail;
    const char* const b = text_.data();
    const std::size_t n = text_.size();
    unsigned char high = 0;
    std::size_t q;
    if (!is_cif2_ || b[p] == '_') {
        q = scan_word(b, p, n, kSeparator, high);
    } else {
        // Brackets end a word under CIF 2.0, except in tags and, from their
        // sixth byte on, in data block and save frame names.
        std::uint8_t stop = kSeparator | kBracket;
        q = p;
        for (;;) {
            q = scan_word(b, q, n, stop, high);
            if (q < n && (kWordClass[static_cast<unsigned char>(b[q])] & kBracket) && q - p >= 5 &&
                (starts_with_lower(b + p, "data_") || starts_with_lower(b + p, "save_"))) {
                stop = kSeparator;
                continue;
            }
            break;
        }
    }
    const std::string_view w = text_.substr(p, q - p);
    out.value = w;
    out.line = line_;
    out.column = column_at(p);
    out.error_begin = error_total_;
    out.error_count = 0;
    out.ascii = (high & 0x80) == 0;
    out.type = TokenType::Value;
    out.value_type = ValueType::String;
    if (const std::uint8_t first = kFirstClass[static_cast<unsigned char>(w[0])];
        first != kFirstPlain) [[unlikely]] {
        switch (first) {
            case kFirstTag:
                out.type = TokenType::Tag;
                out.value_type = ValueType::None;
                break;
            case kFirstKeyword:
                if (is_keyword(w)) {
                    out.type = TokenType::Keyword;
                    out.value_type = ValueType::None;
                }
                break;
            case kFirstPlaceholder:
                if (w.size() == 1) out.value_type = ValueType::Placeholder;
                break;
            default:  // kFirstCif1Error
                if (!is_cif2_) [[unlikely]]
                    bare_word_error(w[0], out);
                break;
        }
    }
    if (!out.ascii) [[unlikely]]
        line_base_ += continuation_bytes(w.data(), w.size());
    pos_ = q;
}

template <class Sink>
inline void Lexer::read_plain_words(Sink& sink, std::uint32_t& line, std::uint32_t& column) {
    using namespace lexer_detail;
    const char* const b = text_.data();
    const std::size_t n = text_.size();
    const std::uint8_t stop = is_cif2_ ? kSeparator | kBracket : kSeparator;
    // Kept in locals: the sink's stores could alias the members.
    std::size_t p = pos_;
    std::uint32_t lines = line_;
    std::size_t base = line_base_;
    bool blank = after_whitespace_;
    std::size_t last = n;  // start of the last word read, none yet
    std::uint32_t last_line = 0;
    std::size_t last_base = 0;
    while (p < n) {
        const auto c = static_cast<unsigned char>(b[p]);
        const std::uint8_t k = kRunClass[c];
        if (k != kRunWord) {
            if (k == kRunBlank) {
                ++p;
                blank = true;
                continue;
            }
            if (k == kRunLineEnd) {
                ++p;
                ++lines;
                base = p;
                blank = true;
                continue;
            }
            if (k == kRunStop) break;
        }
        unsigned char high = c;
        const std::size_t q = scan_word(b, p + 1, n, stop, high);
        const std::string_view w(b + p, q - p);
        // A keyword ends the run (under CIF 2.0 a bracket ends the word
        // early, but never before a keyword's fifth byte).
        if (k == kRunKeywordLetter && is_keyword(w)) break;
        sink.add_plain_word(w);
        last = p;
        last_line = lines;
        last_base = base;
        if (high & 0x80) [[unlikely]]
            base += continuation_bytes(w.data(), w.size());
        p = q;
        blank = false;
    }
    if (last != n) {
        line = last_line;
        column = static_cast<std::uint32_t>(last - last_base + 1);
    }
    pos_ = p;
    line_ = lines;
    line_base_ = base;
    after_whitespace_ = blank;
}

}  // namespace quarzel
