// Runs of plain words as a lexer reads them after a value, for the tests and
// the fuzzer that compare the ways of reading them: sinks that take the
// words or only count them, and the tokens of a text read through a
// windowed lexer with the runs counted.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/byte_source.hpp"
#include "core/lexer.hpp"
#include "core/text_windows.hpp"
#include "core/token.hpp"
#include "core/version.hpp"
#include "core/windowed_lexer.hpp"
#include "core/word_skim.hpp"

namespace quarzel::testing {

// Takes the words of each run.
struct WordSink {
    std::uint64_t words = 0;
    void add_plain_words(std::span<const std::string_view> w) { words += w.size(); }
};

// Asks for a count only, so it must never be handed the words themselves:
// `handed_over` tells when it was.
struct CountSink {
    std::uint64_t words = 0;
    bool handed_over = false;
    bool counts_plain_words() const { return true; }
    void add_plain_word_count(std::uint64_t n) { words += n; }
    void add_plain_words(std::span<const std::string_view> w) {
        words += w.size();
        handed_over = true;
    }
};

// One line per run of plain words that a lexer reads after a value of
// `source`: what `shown(sink)` makes of the run's sink, the position of the
// run's last word and the token after it. `check(sink)` sees each sink too.
template <class Sink, class Shown, class Check>
std::string lexed_runs(std::string_view source, Shown shown, Check check) {
    const VersionResult v = detect_version(source);
    Lexer lexer(v.text, v.version, v.line_offset);
    std::string out;
    Token t;
    while (lexer.next(t)) {
        if (t.type != TokenType::Value) continue;
        Sink sink;
        std::uint32_t line = 0, column = 0;
        lexer.read_plain_words(sink, line, column);
        check(sink);
        Token after;
        const bool more = lexer.next(after);
        out += shown(sink) + " at " + std::to_string(line) + ":" + std::to_string(column) +
               " then " +
               (more ? std::string(after.value) + "@" + std::to_string(after.line) + ":" +
                           std::to_string(after.column)
                     : std::string("end")) +
               "\n";
        if (!more) break;
    }
    return out;
}

// What windowed_runs() read: the tokens and counts, and whether words were
// handed to a sink that only asked for their count (told apart from the
// text, which may hold anything).
struct WindowedRuns {
    std::string text;
    bool handed_over = false;
};

inline WindowedRuns windowed_runs(std::string_view text, std::size_t window, bool skim) {
    struct Restore {
        bool was;
        ~Restore() { set_word_skim(was); }
    } restore{set_word_skim(skim)};
    MemorySource bytes(text);
    TextWindows windows(bytes, window);
    const VersionResult v = windows.start();
    WindowedLexer lexer(windows, v.version);
    WindowedRuns runs;
    std::string& out = runs.text;
    std::uint64_t words = 0;
    std::uint32_t line = 0, column = 0;
    auto flush = [&] {
        if (words != 0)
            out += "[" + std::to_string(words) + " to " + std::to_string(line) + ":" +
                   std::to_string(column) + "]\n";
        words = 0;
    };
    Token t;
    while (lexer.next(t)) {
        const bool value = t.type == TokenType::Value && t.error_count == 0;
        if (value &&
            (t.value_type == ValueType::String || t.value_type == ValueType::Placeholder)) {
            ++words;
            line = t.line;
            column = t.column;
        } else {
            flush();
            out += std::string(t.value) + "@" + std::to_string(t.line) + ":" +
                   std::to_string(t.column) + " ";
        }
        if (!value) continue;
        CountSink sink;
        lexer.read_plain_words(sink, line, column);
        words += sink.words;
        runs.handed_over |= sink.handed_over;
    }
    flush();
    return runs;
}

}  // namespace quarzel::testing
