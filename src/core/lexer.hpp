// The lexer: a pull interface over the bytes of a normalised text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/token.hpp"
#include "core/version.hpp"
#include "core/word_window.hpp"

namespace quarzel {

class Lexer {
public:
    // `text` must hold no CR (detect_version guarantees it) and must outlive
    // the lexer and every token it yields.
    Lexer(std::string_view text, CifVersion version, std::uint32_t line_offset);
    // Starts at byte `start` of `text`, whose bytes before it belong to the
    // same line (its columns count from the text's start).
    Lexer(std::string_view text, CifVersion version, std::uint32_t line_offset, std::size_t start);

    // For a text that is one window of a longer one, ending after a line
    // end: a text field or triple-quoted string that reaches the end of
    // this text unterminated may go on in the next window. Such a token is
    // then not finished here: next() hands it out with needs_more() set,
    // and rewind_at() and rewind_line() tell where it began, to be read
    // again from there once more text is at hand.
    void set_more_follows(bool more) noexcept { more_follows_ = more; }
    bool needs_more() const noexcept { return needs_more_; }
    std::size_t rewind_at() const noexcept { return rewind_at_; }
    std::uint32_t rewind_line() const noexcept { return rewind_line_; }
    // The line of the next token (1-based, the line offset counted).
    std::uint32_t line() const noexcept { return line_; }

    // Reads the next token into `out`; false at the end of the text.
    // (Defined in lexer_inline.hpp.)
    [[gnu::always_inline]] inline bool next(Token& out);

    // Reads on from where next() left off, for as long as plain bare words
    // follow (the most common values: no tag, keyword, quote, comment, text
    // field or bracket), and hands the words in order, in batches, to
    // `sink.add_plain_words`; stops before anything else. `line` and
    // `column` are set to the position of the last word read. (Defined in
    // lexer_inline.hpp; out of line, so that the parser's loop keeps its
    // registers for the other tokens.)
    template <class Sink>
    [[gnu::noinline]] void read_plain_words(Sink& sink, std::uint32_t& line, std::uint32_t& column);

    // The same run, for a sink that only counts the words (its
    // counts_plain_words() true): their number goes to
    // `sink.add_plain_word_count`, no word is handed over. (Taken by
    // read_plain_words itself; defined in lexer_inline.hpp.)
    template <class Sink>
    [[gnu::noinline]] void count_plain_words(Sink& sink, std::uint32_t& line,
                                             std::uint32_t& column);

    // The errors of a token this lexer produced.
    std::span<const LexerError> errors_of(const Token& token) const noexcept {
        return {errors_.data() + token.error_begin, token.error_count};
    }
    const std::vector<LexerError>& errors() const noexcept { return errors_; }
    std::vector<LexerError> take_errors() noexcept { return std::move(errors_); }

    std::string_view text() const noexcept { return text_; }
    bool is_cif2() const noexcept { return is_cif2_; }

private:
    // The run of read_plain_words, its windows built by `Windows` (see
    // word_window.hpp); inlined into each path that takes it. With `kRefs`
    // the words go to `sink.add_plain_refs` as references into this text
    // (see takes_refs()), else to `sink.add_plain_words` as views.
    template <class Windows, bool kRefs, class Sink>
    [[gnu::always_inline]] inline void read_plain_words_with(Sink& sink, std::uint32_t& line,
                                                             std::uint32_t& column);
#if defined(QUARZEL_WIDE_WINDOWS)
    // The run compiled for processors with AVX2 (wide_windows()).
    template <bool kRefs, class Sink>
    [[gnu::noinline, gnu::target("avx2,popcnt,bmi,bmi2")]] void read_plain_words_wide(
        Sink& sink, std::uint32_t& line, std::uint32_t& column);
#endif
    // Whether `sink` (a PlainRefSink) takes the words of a run as
    // references: they are offsets into this very text (which 32 bits
    // reach).
    template <class Sink>
    bool takes_refs(const Sink& sink) const noexcept;

    // Readers, each entered with `p` on the token's first byte; they leave
    // pos_, line_ and line_base_ after the token.
    // The word reader is the hot path: inlined into next().
    [[gnu::always_inline]] inline void read_word(std::size_t p, Token& out);
    [[gnu::cold, gnu::noinline]] void bare_word_error(char first, Token& out);
    void read_quoted(std::size_t p, char quote, Token& out);
    void read_triple(std::size_t p, char quote, Token& out);
    void read_text_field(std::size_t p, Token& out);
    // Appends the CIF 1.1 character errors for the bytes [from, to) of one
    // line, `column` being the column of `from`.
    void check_cif1_span(std::size_t from, std::size_t to, std::uint32_t line,
                         std::uint32_t column);
    void push_error(LexerError error) {
        errors_.push_back(std::move(error));
        ++error_total_;
    }
    std::uint32_t column_at(std::size_t p) const noexcept {
        return static_cast<std::uint32_t>(p - line_base_ + 1);
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::uint32_t line_ = 1;
    // Columns are derived from byte offsets: the column of a byte offset p
    // on the current line is p - line_base_ + 1, where line_base_ is the
    // offset of the line's start plus the number of UTF-8 continuation bytes
    // read so far on that line.
    std::size_t line_base_ = 0;
    bool is_cif2_ = false;
    bool after_whitespace_ = true;
    std::vector<LexerError> errors_;
    std::uint32_t error_total_ = 0;  // errors_.size(), kept at hand for every token
    bool more_follows_ = false;
    bool needs_more_ = false;
    std::size_t rewind_at_ = 0;
    std::uint32_t rewind_line_ = 0;
    // Marks the token at `p` on line `line` as going on past this text.
    void stop_for_more(std::size_t p, std::uint32_t line) noexcept {
        needs_more_ = true;
        rewind_at_ = p;
        rewind_line_ = line;
        pos_ = text_.size();
    }
};

// Every token of the text at once, with the errors they refer to.
struct TokenList {
    std::vector<Token> tokens;
    std::vector<LexerError> errors;
    std::span<const LexerError> errors_of(const Token& token) const noexcept {
        return {errors.data() + token.error_begin, token.error_count};
    }
};

TokenList tokenise(Lexer lexer);

// The CIF 1.1 character test: no error for tab, LF, CR and U+0020..U+007E.
std::optional<LexerError> check_cif1_char(char32_t c, std::uint32_t line, std::uint32_t column);

}  // namespace quarzel

// The definitions of next() and read_word().
#include "core/lexer_inline.hpp"
