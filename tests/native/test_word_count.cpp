// The counted run of plain words against the run that hands the words
// over: for every test file and for generated loops, lexed from each value
// on, both runs stop at the same token with the same count, and leave the
// lexer on the same line and column.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "core/lexer.hpp"
#include "core/version.hpp"
#include "corpus.hpp"
#include "word_runs.hpp"

namespace {

using quarzel::testing::CountSink;
using quarzel::testing::WordSink;

// One line per run: the count, then the position reported and the token
// that follows.
template <class Sink>
std::string runs(std::string_view source) {
    return quarzel::testing::lexed_runs<Sink>(
        source, [](const Sink& sink) { return std::to_string(sink.words); },
        [](const Sink& sink) {
            if constexpr (std::is_same_v<Sink, CountSink>) {
                EXPECT_FALSE(sink.handed_over) << "words handed over";
            }
        });
}

TEST(WordCount, SameRunsOnEveryTestFile) {
    for (const auto& path : quarzel::testing::corpus_files()) {
        const std::string text = quarzel::testing::read_file(path);
        ASSERT_EQ(runs<CountSink>(text), runs<WordSink>(text)) << path;
    }
}

// Rows of words of every length (long ones across windows), with quotes,
// tags, keywords, brackets, comments and non-ASCII bytes among them.
TEST(WordCount, SameRunsOnGeneratedLoops) {
    const std::vector<std::string> pieces = {"a",
                                             "bb",
                                             "ccc",
                                             "data_x",
                                             "loop_",
                                             "stop_",
                                             "global_",
                                             "save_",
                                             "dog",
                                             "save",
                                             "Glob",
                                             "'q r'",
                                             "\"d\"",
                                             "_tag",
                                             "#c\n",
                                             "[1",
                                             "x]",
                                             "{",
                                             "\xC3\xA9t\xC3\xA9",
                                             "?",
                                             ".",
                                             "$w",
                                             "a:b",
                                             ";s",
                                             "\n;t\n;\n",
                                             std::string(70, 'L'),
                                             std::string(130, 'w') + "_"};
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::string text = round % 2 ? "#\\#CIF_2.0\ndata_g loop_ _a _b\n" : "data_g loop_ _a _b\n";
        const int n = 5 + static_cast<int>(rng() % 120);
        for (int i = 0; i < n; ++i) {
            text += pieces[rng() % pieces.size()];
            text += " \t\n"[rng() % 3];
            if (rng() % 4 == 0) text += std::string(rng() % 70, ' ');
        }
        ASSERT_EQ(runs<CountSink>(text), runs<WordSink>(text)) << text;
    }
}

}  // namespace
