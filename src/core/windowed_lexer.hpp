// The lexer over a text read window by window (TextWindows): the same
// tokens, lines and columns as one Lexer over the whole text. A token that a
// window's end cuts is read again, whole, from the next window.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <utility>

#include "core/lexer.hpp"
#include "core/text_windows.hpp"
#include "core/word_skim.hpp"

namespace quarzel {

class WindowedLexer {
public:
    // Its text moves on as it is read: the parser copies what it keeps.
    static constexpr bool kTextMoves = true;

    // `windows` must have been started; lexing begins at byte `start` of its
    // first line (the bytes before it count only for columns).
    WindowedLexer(TextWindows& windows, CifVersion version, std::size_t start = 0)
        : windows_(windows), version_(version), lexer_(make(start)) {}

    [[gnu::always_inline]] bool next(Token& out) {
        if (lexer_.next(out) && !lexer_.needs_more()) [[likely]] {
            note_end(out);
            return true;
        }
        return next_window(out);
    }

    // Right after a value: a sink that only counts the words has them
    // counted by skim_plain_words where it can (see skim()).
    template <class Sink>
    void read_plain_words(Sink& sink, std::uint32_t& line, std::uint32_t& column) {
        if constexpr (requires { sink.counts_plain_words(); }) {
            if (sink.counts_plain_words() && word_skim_available() && skim(sink, line, column))
                return;
        }
        lexer_.read_plain_words(sink, line, column);
    }

    std::span<const LexerError> errors_of(const Token& token) const noexcept {
        return lexer_.errors_of(token);
    }
    bool is_cif2() const noexcept { return lexer_.is_cif2(); }

    // Called before each move to the next window (nothing that the last
    // token views has moved yet).
    void on_window(std::function<void()> f) { on_window_ = std::move(f); }

    // The offset in the file of the first byte of `text`, a view of the
    // current window (a token's text).
    std::uint64_t file_offset(std::string_view text) const noexcept {
        return windows_.file_offset(static_cast<std::size_t>(text.data() - windows_.text().data()));
    }
    // The offset in the file of the start of the line that holds `text`.
    std::uint64_t line_start_offset(std::string_view text) const noexcept {
        const std::string_view w = windows_.text();
        auto at = static_cast<std::size_t>(text.data() - w.data());
        while (at > 0 && w[at - 1] != '\n') --at;
        return windows_.file_offset(at);
    }
    // The offset in the file just past the line that holds `text` (its line
    // end included), or the end of the text read so far.
    std::uint64_t line_end_offset(std::string_view text) const noexcept {
        const std::string_view w = windows_.text();
        auto at = static_cast<std::size_t>(text.data() - w.data());
        const std::size_t lf = w.find('\n', at);
        return windows_.file_offset(lf == std::string_view::npos ? w.size() : lf + 1);
    }
    const TextWindows& windows() const noexcept { return windows_; }

private:
    Lexer make(std::size_t start) {
        Lexer lexer(windows_.text(), version_, windows_.first_line(), start);
        lexer.set_more_follows(windows_.more());
        return lexer;
    }

    // Where the lexer stands after the value `out`, when that can be told
    // from the value alone (a bare word, or a quoted string followed by its
    // closing quote); null otherwise.
    [[gnu::always_inline]] void note_end(const Token& out) noexcept {
        end_ = out.value.data() + out.value.size();
        end_kind_ = out.value_type;
    }
    const char* value_end(std::string_view w) const noexcept {
        if (end_ < w.data() || end_ >= w.data() + w.size()) return nullptr;
        switch (end_kind_) {
            case ValueType::String:
            case ValueType::Placeholder:
                return end_;
            case ValueType::SingleQuoted:
                return *end_ == '\'' ? end_ + 1 : nullptr;
            case ValueType::DoubleQuoted:
                return *end_ == '"' ? end_ + 1 : nullptr;
            default:
                return nullptr;
        }
    }

    // Counts the plain words after the value just read with
    // skim_plain_words, then starts the lexer again where the count stopped
    // (at the start of that line, so that its columns count from there).
    // False, with nothing done, where the lexer had better count them: the
    // value's end is not known, something other than a blank follows it,
    // or its line is very long.
    template <class Sink>
    bool skim(Sink& sink, std::uint32_t& line, std::uint32_t& column) {
        const std::string_view w = windows_.text();
        const char* const end = value_end(w);
        if (end == nullptr) return false;
        const auto from = static_cast<std::size_t>(end - w.data());
        if (from >= w.size() || (w[from] != ' ' && w[from] != '\t' && w[from] != '\n'))
            return false;
        // The start of the value's line: known from the last count on it,
        // else looked for (no further than a long line's worth).
        const std::uint32_t at_line = lexer_.line();
        std::size_t line_start;
        if (line_cache_.line == at_line && line_cache_.line != 0) {
            line_start = line_cache_.start;
        } else {
            constexpr std::size_t kLongLine = std::size_t{1} << 16;
            const std::size_t floor = from > kLongLine ? from - kLongLine : 0;
            std::size_t q = from;
            while (q > floor && w[q - 1] != '\n') --q;
            if (q == floor && floor != 0) return false;
            line_start = q;
        }
        const SkimResult r = skim_plain_words(w.data(), from, w.size(), lexer_.is_cif2());
        if (r.words == 0) return false;
        sink.add_plain_word_count(r.words);
        const std::size_t last_line_start =
            r.last_line_start == SkimResult::kNone ? line_start : r.last_line_start;
        line = at_line + r.last_lines;
        column = static_cast<std::uint32_t>(
            r.last - last_line_start + 1 -
            lexer_detail::continuation_bytes(w.data() + last_line_start, r.last - last_line_start));
        const std::size_t stop_line_start =
            r.stop_line == SkimResult::kNone ? line_start : r.stop_line;
        const std::uint32_t stop_line = at_line + r.lines;
        lexer_ =
            Lexer(w.substr(stop_line_start), version_, stop_line - 1, r.stop - stop_line_start);
        lexer_.set_more_follows(windows_.more());
        base_ = stop_line_start;
        line_cache_ = {stop_line, stop_line_start};
        return true;
    }

    [[gnu::noinline]] bool next_window(Token& out) {
        for (;;) {
            std::size_t keep, start = 0;
            std::uint32_t keep_line;
            if (lexer_.needs_more()) {
                // The cut token is read again from the start of its line.
                const std::string_view text = windows_.text();
                const std::size_t at = base_ + lexer_.rewind_at();
                keep = at;
                while (keep > 0 && text[keep - 1] != '\n') --keep;
                start = at - keep;
                keep_line = lexer_.rewind_line();
            } else {
                if (!windows_.more()) return false;
                keep = windows_.text().size();
                keep_line = lexer_.line();
            }
            if (on_window_) on_window_();
            windows_.advance(keep, keep_line);
            lexer_ = make(start);
            base_ = 0;
            line_cache_ = {0, 0};
            if (lexer_.next(out)) {
                if (!lexer_.needs_more()) {
                    note_end(out);
                    return true;
                }
            } else if (!windows_.more()) {
                return false;
            }
        }
    }

    TextWindows& windows_;
    CifVersion version_;
    Lexer lexer_;
    std::function<void()> on_window_;
    std::size_t base_ = 0;  // where lexer_'s text starts in the window
    // The end of the last token and its kind (see value_end()).
    const char* end_ = nullptr;
    ValueType end_kind_ = ValueType::None;
    // A line of the window and where it starts (line 0: none).
    struct LineStart {
        std::uint32_t line;
        std::size_t start;
    } line_cache_{0, 0};
};

}  // namespace quarzel
