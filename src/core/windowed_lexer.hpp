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
        if (lexer_.next(out) && !lexer_.needs_more()) [[likely]]
            return true;
        return next_window(out);
    }

    template <class Sink>
    void read_plain_words(Sink& sink, std::uint32_t& line, std::uint32_t& column) {
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

    [[gnu::noinline]] bool next_window(Token& out) {
        for (;;) {
            std::size_t keep, start = 0;
            std::uint32_t keep_line;
            if (lexer_.needs_more()) {
                // The cut token is read again from the start of its line.
                const std::string_view text = windows_.text();
                const std::size_t at = lexer_.rewind_at();
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
            if (lexer_.next(out)) {
                if (!lexer_.needs_more()) return true;
            } else if (!windows_.more()) {
                return false;
            }
        }
    }

    TextWindows& windows_;
    CifVersion version_;
    Lexer lexer_;
    std::function<void()> on_window_;
};

}  // namespace quarzel
