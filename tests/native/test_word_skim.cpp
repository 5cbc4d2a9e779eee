// The count of skipped words 64 bytes at a time (word_skim) against the
// lexer's own count: a windowed lexer over the same text, reading every run
// after a value with a counting sink, gives the same counts, positions and
// following tokens with the skim on and off; and the AVX2 byte classes give
// what the portable ones give.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/word_skim.hpp"
#include "corpus.hpp"
#include "word_runs.hpp"

namespace {

// The runs with the skim on and off, which must agree, and neither may hand
// the words to a sink that only counts them.
std::string runs(const std::string& text, std::size_t window, bool skim) {
    quarzel::testing::WindowedRuns runs = quarzel::testing::windowed_runs(text, window, skim);
    EXPECT_FALSE(runs.handed_over) << "words handed over";
    return runs.text;
}

TEST(WordSkim, SameRunsOnEveryTestFile) {
    if (!quarzel::set_word_skim(true) || !quarzel::word_skim_available())
        GTEST_SKIP() << "no AVX2 here";
    for (const auto& path : quarzel::testing::corpus_files()) {
        const std::string text = quarzel::testing::read_file(path);
        ASSERT_EQ(runs(text, 1 << 20, true), runs(text, 1 << 20, false)) << path;
    }
}

// Pieces that each end a run in a different way, or must not: quotes,
// tags, keywords in any case (and words that only look like them), text
// fields, comments, brackets, a '_' at the fifth or seventh byte, long
// words across block edges, non-ASCII, CR LF line ends.
const std::vector<std::string> kPieces = {
    "a",
    "bb",
    "ccc",
    "data_x",
    "DATA_y",
    "loop_",
    "LoOp_",
    "stop_",
    "Stop_",
    "global_",
    "GLOBAL_",
    "save_",
    "save_f",
    "dog_",
    "abcd_",
    "sabcd_",
    "gabcde_",
    "globalx",
    "s_x",
    "'q r'",
    "'it''s'",
    "\"d\"",
    "\"e f\"",
    "'unend",
    "_tag",
    "#c\n",
    "[1",
    "x]",
    "{",
    "}",
    "a[b]",
    "\xC3\xA9t",
    "?",
    ".",
    "$w",
    "a:b",
    ":",
    ";s",
    "\n;t\n;\n",
    "a#b",
    "a'b",
    "a\"b",
    "\r\n",
    "\r",
    "\x01",
    "\x7F",
    "ATOM",
    "HETATM",
    "SER",
    "GLY",
    "DA",
    "1.250",
    "-0.5",
    "(1)",
    "a;b",
    "''",
    std::string(63, 'L'),
    std::string(64, 'M') + "_",
    std::string(130, 'w') + "_",
    std::string(59, 's'),
    "\"\"\"tri\"\"\"",
};

std::string generated(std::mt19937& rng, bool cif2) {
    std::string text = cif2 ? "#\\#CIF_2.0\ndata_g loop_ _a _b\n" : "data_g loop_ _a _b\n";
    const int n = 5 + static_cast<int>(rng() % 300);
    for (int i = 0; i < n; ++i) {
        // Mostly plain words, so that runs cross many blocks.
        text += rng() % 3 ? kPieces[46 + rng() % 10] : kPieces[rng() % kPieces.size()];
        text += " \t\n"[rng() % 3];
        if (rng() % 4 == 0) text += std::string(rng() % 70, ' ');
    }
    if (rng() % 2) text.pop_back();  // the last word ends the file
    return text;
}

TEST(WordSkim, SameRunsOnGeneratedLoops) {
    if (!quarzel::set_word_skim(true) || !quarzel::word_skim_available())
        GTEST_SKIP() << "no AVX2 here";
    std::mt19937 rng(11);
    for (int round = 0; round < 600; ++round) {
        const std::string text = generated(rng, round % 2 == 1);
        // Small windows cut runs at every place; large ones hold them whole.
        for (std::size_t window : {std::size_t{64}, std::size_t{200}, std::size_t{1} << 16})
            ASSERT_EQ(runs(text, window, true), runs(text, window, false))
                << "window " << window << "\n"
                << text;
    }
}

// The AVX2 and the portable byte classes stop at the same byte with the
// same counts, from every start.
TEST(WordSkim, ByteClassesAgree) {
    if (!quarzel::word_skim_available()) GTEST_SKIP() << "no AVX2 here";
    std::mt19937 rng(5);
    for (int round = 0; round < 100; ++round) {
        std::string text = generated(rng, false);
        for (int k = 0; k < 8; ++k) text[rng() % text.size()] = static_cast<char>(rng() % 256);
        for (bool cif2 : {false, true})
            for (std::size_t from = 0; from < text.size(); from += 1 + rng() % 7) {
                const quarzel::SkimResult a =
                    quarzel::skim_plain_words(text.data(), from, text.size(), cif2);
                const quarzel::SkimResult b =
                    quarzel::skim_plain_words_portable(text.data(), from, text.size(), cif2);
                ASSERT_EQ(a.words, b.words) << from;
                ASSERT_EQ(a.stop, b.stop) << from;
                ASSERT_EQ(a.lines, b.lines) << from;
                ASSERT_EQ(a.stop_line, b.stop_line) << from;
                ASSERT_EQ(a.last, b.last) << from;
                ASSERT_EQ(a.last_lines, b.last_lines) << from;
                ASSERT_EQ(a.last_line_start, b.last_line_start) << from;
            }
    }
}

// What the count itself must stop at (offsets in the text).
struct StopCase {
    const char* text;
    bool cif2;
    std::uint64_t words;
    std::size_t stop;
};

class WordSkimStops : public ::testing::TestWithParam<StopCase> {};

TEST_P(WordSkimStops, StopsWhereTheLexerMustRead) {
    const StopCase& c = GetParam();
    const std::string text = c.text;
    const quarzel::SkimResult r =
        quarzel::skim_plain_words_portable(text.data(), 0, text.size(), c.cif2);
    EXPECT_EQ(r.words, c.words);
    EXPECT_EQ(r.stop, c.stop);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WordSkimStops,
    ::testing::Values(StopCase{" a b c\n", false, 3, 7}, StopCase{" a 'b c'\n", false, 1, 3},
                      StopCase{" a \"b\"\n", false, 1, 3}, StopCase{" a #b\n", false, 1, 3},
                      StopCase{" a _b.c\n", false, 1, 3},
                      StopCase{" abcdefgh loop_\n", false, 1, 10},
                      StopCase{" abcdefgh GLOBAL_\n", false, 1, 10},
                      StopCase{" abcdefgh data_x\n", false, 1, 10},
                      // A '_' six bytes on, in the next word: stopped at, to be sure.
                      StopCase{" a loop_\n", false, 0, 1}, StopCase{" a\n;t\n", false, 1, 3},
                      StopCase{" a b[c]\n", true, 2, 4}, StopCase{" a b[c]\n", false, 2, 8},
                      StopCase{" a a'b a#b\n", false, 3, 11}, StopCase{" a [\n", false, 1, 3},
                      StopCase{" abcd_e\n", false, 0, 1}, StopCase{" abc_e\n", false, 1, 7},
                      StopCase{" x $y\n", false, 1, 3}, StopCase{" x :\n", false, 1, 3},
                      StopCase{" x y", false, 2, 4}));

}  // namespace
