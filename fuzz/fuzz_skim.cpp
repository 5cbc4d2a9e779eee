// Skipped words counted 64 bytes at a time (word_skim) against the lexer's
// own count, on any text and window size: the same tokens, counts and
// positions with the skim on and off, and the AVX2 byte classes stop where
// the portable ones do from every start.
#include <string>

#include "core/word_skim.hpp"
#include "fuzz_common.hpp"
#include "word_runs.hpp"

using namespace quarzel;

namespace {

// The runs, or how the lexer gave up on the text.
testing::WindowedRuns runs(std::string_view text, std::size_t window, bool skim) {
    try {
        return testing::windowed_runs(text, window, skim);
    } catch (const RestartAsLatin1&) {
        return {"latin1", false};
    } catch (const InputError&) {
        return {"error", false};
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto in = fuzz::split(data, size);
    const std::string_view text = in.text;
    if (word_skim_available()) {
        const std::size_t window = 16 + std::size_t{in.flags} * 7;
        const testing::WindowedRuns skimmed = runs(text, window, true);
        const testing::WindowedRuns counted = runs(text, window, false);
        fuzz::check(skimmed.text == counted.text, "the skim and the lexer count differently", text);
        fuzz::check(!skimmed.handed_over && !counted.handed_over, "words handed to a counting sink",
                    text);
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
