// The lexer's hot path, inline so that the parser's loop can take it in:
// the byte classes, the word scan and Lexer::next itself.
#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

#include "core/ascii.hpp"
#include "core/lexer.hpp"
#include "core/word_window.hpp"

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

// The same for the first byte of a token inside a window of the run, in one
// number: 0 when it ends the run, else the length from which a word that
// begins with it may be a keyword (only the first letters of the keywords
// have one a word can reach).
inline constexpr std::uint8_t kNoKeyword = 255;
constexpr std::array<std::uint8_t, 256> make_run_starts() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = kRunClass[c] == kRunStop ? 0 : kRunClass[c] == kRunKeywordLetter ? 5 : kNoKeyword;
    return t;
}
inline constexpr auto kRunKeywordFrom = make_run_starts();

// First offset at or after `q` whose byte has a class in `stop`; sets bit 7
// of `high` when a byte passed over has it. Sixteen bytes at a time where
// the text has them (tags and names are long), then byte by byte.
inline std::size_t scan_word(const char* b, std::size_t q, std::size_t n, std::uint8_t stop,
                             unsigned char& high) noexcept {
#if defined(__SSE2__)
    for (; q + 16 <= n; q += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + q));
        const auto highs = static_cast<std::uint32_t>(_mm_movemask_epi8(x));
        if (const std::uint32_t ends = word_end_bits(x, (stop & kBracket) != 0)) {
            const int k = std::countr_zero(ends);
            if (highs & ((1u << k) - 1)) high |= 0x80;
            return q + static_cast<std::size_t>(k);
        }
        if (highs) high |= 0x80;
    }
#endif
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

// is_keyword out of line, for the run's word loop, which rarely needs it
// and whose test of the first byte already covers the length.
[[gnu::noinline]] inline bool is_keyword_call(std::string_view w) noexcept {
    return is_keyword(w);
}

// Number of UTF-8 continuation bytes (10xxxxxx) in [p, p + n).
inline std::size_t continuation_bytes(const char* p, std::size_t n) noexcept {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) k += (static_cast<unsigned char>(p[i]) & 0xC0) == 0x80;
    return k;
}

// Passes the first `k` bytes of a window (line ends `lf`, high bytes
// `high`) which starts at offset `w0` of `b` and holds only words and blanks
// there: counts the line ends in them into `lines` and moves `base` as the
// byte loop would (past the last line end, then past the continuation bytes
// after it).
inline void pass_window_bytes(std::uint64_t lf, std::uint64_t high, const char* b, std::size_t w0,
                              std::size_t k, std::uint32_t& lines, std::size_t& base) noexcept {
    const std::uint64_t passed = low_bits(static_cast<unsigned>(k));
    std::size_t from = 0;  // where the last line passed starts in the window
    if (const std::uint64_t lfs = lf & passed) {
        for (std::uint64_t x = lfs; x != 0; x &= x - 1) ++lines;  // mostly one
        from = WordWindow::kBytes - static_cast<std::size_t>(std::countl_zero(lfs));
        base = w0 + from;
    }
    if (high & passed & ~low_bits(static_cast<unsigned>(from))) [[unlikely]]
        base += continuation_bytes(b + w0 + from, k - from);
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

// ---- hot path: the run of plain words ------------------------------------
// Most of a large file. Up to the end of the first word the run goes token
// by token (a run that stops at once, at the quote or tag after a value,
// stops there); then the text is read in windows of 64 bytes whose byte
// classes are bit masks: a word's end and the blanks after it are each found
// by counting zero bits, and the lines and columns of what a window passed
// are worked out once, as it is left.
// A sink that takes the words of a run as references (see takes_refs()).
template <class Sink>
concept PlainRefSink =
    requires(Sink& sink, const Sink& csink, std::span<const std::uint64_t> refs) {
        { csink.plain_refs_base() } -> std::same_as<std::string_view>;
        sink.add_plain_refs(refs);
    };

template <class Sink>
bool Lexer::takes_refs(const Sink& sink) const noexcept {
    const std::string_view base = sink.plain_refs_base();
    return base.data() == text_.data() && base.size() == text_.size() &&
           text_.size() < (std::uint64_t{1} << 32);
}

template <class Sink>
void Lexer::read_plain_words(Sink& sink, std::uint32_t& line, std::uint32_t& column) {
    if constexpr (requires { sink.counts_plain_words(); }) {
        if (sink.counts_plain_words()) return count_plain_words(sink, line, column);
    }
    if constexpr (PlainRefSink<Sink>) {
        if (takes_refs(sink)) {
#if defined(QUARZEL_WIDE_WINDOWS)
            if (lexer_detail::wide_windows())
                return read_plain_words_wide<true>(sink, line, column);
#endif
            return read_plain_words_with<lexer_detail::NarrowWindows, true>(sink, line, column);
        }
    }
#if defined(QUARZEL_WIDE_WINDOWS)
    if (lexer_detail::wide_windows()) return read_plain_words_wide<false>(sink, line, column);
#endif
    read_plain_words_with<lexer_detail::NarrowWindows, false>(sink, line, column);
}

#if defined(QUARZEL_WIDE_WINDOWS)
template <bool kRefs, class Sink>
void Lexer::read_plain_words_wide(Sink& sink, std::uint32_t& line, std::uint32_t& column) {
    read_plain_words_with<lexer_detail::WideWindows, kRefs>(sink, line, column);
}
#endif

template <class Windows, bool kRefs, class Sink>
void Lexer::read_plain_words_with(Sink& sink, std::uint32_t& line, std::uint32_t& column) {
    using namespace lexer_detail;
    constexpr std::size_t kWindow = WordWindow::kBytes;
    const char* const b = text_.data();
    const std::size_t n = text_.size();
    const bool cif2 = is_cif2_;
    const std::uint8_t word_stop = cif2 ? kSeparator | kBracket : kSeparator;
    // Kept in locals: the sink's stores could alias the members.
    const std::size_t entry = pos_;
    std::size_t p = entry;
    std::uint32_t lines = line_;
    std::size_t base = line_base_;
    std::size_t last = n;  // start of the last word read, none yet
    std::uint32_t last_line = 0;
    std::size_t last_base = 0;
    // A last word read in a window leaves its position to be worked out at
    // the end, from where the window starts (`last_line` and `last_base`
    // are the position there) and its masks.
    std::size_t last_w0 = n;  // none
    std::uint64_t last_lf = 0;
    std::uint64_t last_high = 0;
    // The words go to the sink in batches, handed over before a window could
    // overfill the batch (a window holds at most 32 words, a long word
    // follows it). The storage is left uninitialised: an array of words
    // begins to exist in it, and each word is written before it is read.
    // A word is a view, or with kRefs its offset in the text and its length
    // above it (<< 32): half the bytes, and what the sink's columns store.
    using Word = std::conditional_t<kRefs, std::uint64_t, std::string_view>;
    const auto word_at = [b](const char* at, std::size_t size) noexcept {
        if constexpr (kRefs)
            return static_cast<std::uint64_t>(at - b) | (static_cast<std::uint64_t>(size) << 32);
        else
            return std::string_view(at, size);
    };
    constexpr std::size_t kBatch = 1024;
    alignas(Word) unsigned char storage[kBatch * sizeof(Word)];
    auto* const batch = reinterpret_cast<Word*>(storage);
    Word* out = batch;
    auto hand_over = [&] {
        if constexpr (kRefs)
            sink.add_plain_refs(std::span<const std::uint64_t>(batch, out));
        else
            sink.add_plain_words(std::span<const std::string_view>(batch, out));
        out = batch;
    };

    // Token by token up to the end of the first word.
    bool stopped = false;
    for (bool first_word = true; p < n;) {
        const std::uint8_t k = kRunClass[static_cast<unsigned char>(b[p])];
        // A blank: passed.
        if (k == kRunBlank) {
            ++p;
            continue;
        }
        // A line end: passed, a new line begins.
        if (k == kRunLineEnd) {
            ++lines;
            base = ++p;
            continue;
        }
        // Anything but a word ends the run; a word after the first is left
        // to the windows.
        if (k == kRunStop || !first_word) {
            stopped = k == kRunStop;
            break;
        }
        // The first word, unless it is a keyword.
        unsigned char high = static_cast<unsigned char>(b[p]);
        const std::size_t q = scan_word(b, p + 1, n, word_stop, high);
        const std::string_view word(b + p, q - p);
        if (k == kRunKeywordLetter && is_keyword(word)) {
            stopped = true;
            break;
        }
        *out++ = word_at(word.data(), word.size());
        last = p;
        last_line = lines;
        last_base = base;
        if (high & 0x80) [[unlikely]]
            base += continuation_bytes(word.data(), word.size());
        p = q;
        first_word = false;
    }

    // Window by window; `p` is at a word's first byte or in blanks.
    while (!stopped && p < n) {
        // A window from `p`; near the end of the text the bytes past it read
        // as spaces.
        const std::size_t w0 = p;
        const char* const wp = b + w0;
        const WordWindow w = n - p >= kWindow ? Windows::window(wp, cif2)
                                              : word_window_tail_with<Windows>(wp, n - p, cif2);
        if (batch + kBatch - out <= static_cast<std::ptrdiff_t>(kWindow / 2)) hand_over();
        const std::uint64_t nonblank = ~w.blank;
        std::size_t r = 0;                       // offset in the window
        std::size_t last_r = kWindow;            // offset of the window's last word, none yet
        std::uint8_t keyword_from = kNoKeyword;  // of the byte at r
        bool long_word = false;
        if (w.end == w.blank) {
            // Words end only at blanks (always so under CIF 1.1): the
            // window's token starts (nonblank bytes after a blank; the byte
            // before the window is one) and the first blanks after them pair
            // up in order, the k-th start with the k-th end. One bit of each
            // per token, no scan between them.
            std::uint64_t starts = nonblank & ~(nonblank << 1);
            std::uint64_t ends = w.blank & (nonblank << 1);
            r = kWindow;  // when every token of the window is a word in it
            while (starts != 0) {
                const auto s = static_cast<std::size_t>(std::countr_zero(starts));
                // Anything but a word ends the run.
                keyword_from = kRunKeywordFrom[static_cast<unsigned char>(wp[s])];
                if (keyword_from == 0) {
                    r = s;
                    stopped = true;
                    break;
                }
                // A word that runs past the window: the next window starts
                // with it; when this one did, it is a long word, read below.
                if (ends == 0) {
                    r = s;
                    long_word = s == 0;
                    break;
                }
                const std::size_t length = static_cast<std::size_t>(std::countr_zero(ends)) - s;
                if (length >= keyword_from) [[unlikely]] {
                    if (is_keyword_call(std::string_view(wp + s, length))) {
                        r = s;
                        stopped = true;
                        break;
                    }
                }
                *out++ = word_at(wp + s, length);
                last_r = s;
                starts &= starts - 1;
                ends &= ends - 1;
            }
        } else {
            // Under CIF 2.0 a bracket in the window ends a word and starts a
            // token of its own: one token per turn.
            for (;;) {
                // Blanks: to the next token, or out of the window.
                const std::uint64_t rest = nonblank >> r;
                if (rest == 0) {
                    r = kWindow;
                    break;
                }
                r += static_cast<std::size_t>(std::countr_zero(rest));
                // Anything but a word ends the run.
                keyword_from = kRunKeywordFrom[static_cast<unsigned char>(wp[r])];
                if (keyword_from == 0) {
                    stopped = true;
                    break;
                }
                // A word that runs past the window: the next window starts with
                // it; when this one did, it is a long word, read below.
                const std::uint64_t ends = w.end >> r;
                if (ends == 0) {
                    long_word = r == 0;
                    break;
                }
                // A word in the window, unless it is a keyword (under CIF 2.0 a
                // bracket ends a word early, but never before a keyword's fifth
                // byte).
                const auto length = static_cast<std::size_t>(std::countr_zero(ends));
                if (length >= keyword_from) [[unlikely]] {
                    if (is_keyword_call(std::string_view(wp + r, length))) {
                        stopped = true;
                        break;
                    }
                }
                *out++ = word_at(wp + r, length);
                last_r = r;
                r += length;
            }
        }
        p = std::min(w0 + r, n);
        // Positions: the last word's window, and where the window was left.
        if (last_r != kWindow) {
            last = w0 + last_r;
            last_line = lines;
            last_base = base;
            last_w0 = w0;
            last_lf = w.lf;
            last_high = w.high;
        }
        pass_window_bytes(w.lf, w.high, b, w0, p - w0, lines, base);
        if (long_word) {
            // 64 bytes or more: the rest through scan_word.
            unsigned char tail_high = 0;
            const std::size_t q = scan_word(b, p + kWindow, n, word_stop, tail_high);
            const std::string_view word(b + p, q - p);
            if (word.size() >= keyword_from && is_keyword(word)) break;
            *out++ = word_at(word.data(), word.size());
            last = p;
            last_line = lines;
            last_base = base;
            last_w0 = n;
            if (w.high != 0 || (tail_high & 0x80) != 0) [[unlikely]]
                base += continuation_bytes(word.data(), word.size());
            p = q;
        }
    }

    if (out != batch) hand_over();
    if (last_w0 != n)
        pass_window_bytes(last_lf, last_high, b, last_w0, last - last_w0, last_line, last_base);
    if (last != n) {
        line = last_line;
        column = static_cast<std::uint32_t>(last - last_base + 1);
    }
    pos_ = p;
    line_ = lines;
    line_base_ = base;
    // Whatever the run passed last, a word or a blank, says whether a blank
    // comes just before what follows.
    if (p != entry) {
        const char c = b[p - 1];
        after_whitespace_ = c == ' ' || c == '\t' || c == '\n';
    }
}

// ---- the run of plain words, counted ---------------------------------------
// A run whose words are only counted (values a selective reading skips):
// per window of 64 bytes, the words are the non-blank bytes after a blank
// (a count of bits); only their first bytes are looked at, for what ends the
// run (a quote, tag, comment, semicolon, bracket or keyword). Lines and
// columns come out as read_plain_words gives them.
template <class Sink>
void Lexer::count_plain_words(Sink& sink, std::uint32_t& line, std::uint32_t& column) {
    using namespace lexer_detail;
    constexpr std::size_t kWindow = WordWindow::kBytes;
    const char* const b = text_.data();
    const std::size_t n = text_.size();
    const bool cif2 = is_cif2_;
    const std::uint8_t word_stop = cif2 ? kSeparator | kBracket : kSeparator;
    const std::size_t entry = pos_;
    std::size_t p = entry;
    std::uint32_t lines = line_;
    std::size_t base = line_base_;
    std::uint64_t count = 0;
    // The last word counted: its window, and the position where that
    // window starts (the word's own is worked out at the end).
    std::size_t last = n, last_w0 = n;
    std::uint32_t last_line = 0;
    std::size_t last_base = 0;
    std::uint64_t last_lf = 0, last_high = 0;
    // The byte before the window is a blank: a token may start at its first
    // byte (the run starts after a token, which blanks end).
    std::uint64_t carry = 1;
    bool stopped = false;
    while (!stopped && p < n) {
        const std::size_t w0 = p;
        const char* const wp = b + w0;
        const std::size_t avail = std::min(kWindow, n - p);
        const WordWindow w =
            avail == kWindow ? word_window(wp, cif2) : word_window_tail(wp, avail, cif2);
        const std::uint64_t starts = ~w.blank & ((w.blank << 1) | carry);
        // The run ends at the first bracket (under CIF 2.0 one ends a word
        // and starts a token), or at a token that is not a plain word.
        std::size_t limit = avail;
        if (cif2) {
            if (const std::uint64_t br = w.end & ~w.blank & low_bits(static_cast<unsigned>(limit)))
                limit = static_cast<std::size_t>(std::countr_zero(br));
        }
        for (std::uint64_t s = starts & low_bits(static_cast<unsigned>(limit)); s != 0;
             s &= s - 1) {
            const auto r = static_cast<std::size_t>(std::countr_zero(s));
            const std::uint8_t keyword_from = kRunKeywordFrom[static_cast<unsigned char>(wp[r])];
            if (keyword_from == kNoKeyword) continue;
            if (keyword_from == 0) {
                limit = r;
                break;
            }
            // A word that may be a keyword: its length decides.
            std::size_t length;
            if (const std::uint64_t ends = w.end >> r;
                ends != 0 && r + static_cast<std::size_t>(std::countr_zero(ends)) < avail) {
                length = static_cast<std::size_t>(std::countr_zero(ends));
            } else {
                unsigned char high = 0;
                length = scan_word(b, w0 + r, n, word_stop, high) - (w0 + r);
            }
            if (length >= keyword_from && is_keyword_call(std::string_view(wp + r, length))) {
                limit = r;
                break;
            }
        }
        const std::uint64_t counted = starts & low_bits(static_cast<unsigned>(limit));
        count += static_cast<std::uint64_t>(std::popcount(counted));
        if (counted != 0) {
            last = w0 + (kWindow - 1 - static_cast<std::size_t>(std::countl_zero(counted)));
            last_w0 = w0;
            last_line = lines;
            last_base = base;
            last_lf = w.lf;
            last_high = w.high;
        }
        stopped = limit < avail;
        p = w0 + limit;
        pass_window_bytes(w.lf, w.high, b, w0, limit, lines, base);
        carry = limit == kWindow ? w.blank >> 63 : 0;
    }
    // A word cut by the end of the text: the text ends it, nothing follows.
    sink.add_plain_word_count(count);
    if (last_w0 != n)
        pass_window_bytes(last_lf, last_high, b, last_w0, last - last_w0, last_line, last_base);
    if (last != n) {
        line = last_line;
        column = static_cast<std::uint32_t>(last - last_base + 1);
    }
    // Stopped at a token start, or in a word that the next window (past
    // the text's end, none) would have ended: left where a token starts.
    if (stopped) {
        pos_ = p;
    } else {
        pos_ = n;
    }
    line_ = lines;
    line_base_ = base;
    if (pos_ != entry) {
        const char c = b[pos_ - 1];
        after_whitespace_ = c == ' ' || c == '\t' || c == '\n';
    }
}

}  // namespace quarzel
