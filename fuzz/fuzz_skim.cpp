// Skipped words counted 64 bytes at a time (word_skim) against the lexer's
// own count, on any text and window size: the same tokens, counts and
// positions with the skim on and off, and the AVX2 byte classes stop where
// the portable ones do from every start.
#include <string>

#include "core/byte_source.hpp"
#include "core/text_windows.hpp"
#include "core/windowed_lexer.hpp"
#include "core/word_skim.hpp"
#include "fuzz_common.hpp"

using namespace quarzel;

namespace {

struct CountSink {
    std::uint64_t words = 0;
    bool counts_plain_words() const { return true; }
    void add_plain_word_count(std::uint64_t n) { words += n; }
    void add_plain_words(std::span<const std::string_view> w) { words += w.size(); }
};

// The tokens other than plain words, with the plain words between them
// counted and the position of the last one.
std::string runs(std::string_view text, std::size_t window, bool skim) {
    set_word_skim(skim);
    MemorySource bytes(text);
    std::string out;
    try {
        TextWindows windows(bytes, window);
        const VersionResult v = windows.start();
        WindowedLexer lexer(windows, v.version);
        std::uint64_t words = 0;
        std::uint32_t line = 0, column = 0;
        auto flush = [&] {
            if (words != 0)
                out += "[" + std::to_string(words) + "@" + std::to_string(line) + ":" +
                       std::to_string(column) + "]";
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
        }
        flush();
    } catch (const RestartAsLatin1&) {
        out += "latin1";
    } catch (const InputError&) {
        out += "error";
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto in = fuzz::split(data, size);
    const std::string_view text = in.text;
    if (word_skim_available()) {
        const std::size_t window = 16 + std::size_t{in.flags} * 7;
        fuzz::check(runs(text, window, true) == runs(text, window, false),
                    "the skim and the lexer count differently", text);
        set_word_skim(true);
    }
    const bool cif2 = (in.flags & 1) != 0;
    const std::size_t step = 1 + in.flags % 5 + text.size() / 64;
    for (std::size_t from = 0; from <= text.size(); from += step) {
        const SkimResult a = skim_plain_words(text.data(), from, text.size(), cif2);
        const SkimResult b = skim_plain_words_portable(text.data(), from, text.size(), cif2);
        fuzz::check(a.words == b.words && a.stop == b.stop && a.lines == b.lines &&
                        a.stop_line == b.stop_line && a.last == b.last &&
                        a.last_lines == b.last_lines && a.last_line_start == b.last_line_start,
                    "the byte classes disagree", text);
        fuzz::check(a.stop >= from && a.stop <= text.size(), "stop outside the text");
    }
    return 0;
}
