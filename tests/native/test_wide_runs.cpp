// The run of plain words read with AVX2 windows against the run read with
// the windows any processor builds: the same words in the same order, the
// same position of the last one and the same token after the run, for every
// test file and for texts whose words, line ends and brackets sit at the
// edges of a window and of its two halves.
#include <gtest/gtest.h>

#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/lexer.hpp"
#include "core/version.hpp"
#include "core/word_window.hpp"
#include "corpus.hpp"
#include "word_runs.hpp"

namespace {

using quarzel::lexer_detail::set_wide_windows;

// Keeps every word handed over, each in brackets.
struct KeepingSink {
    std::string words;
    void add_plain_words(std::span<const std::string_view> w) {
        for (std::string_view word : w) words += "[" + std::string(word) + "]";
    }
};

// One line per run: its words, the position of the last one, and the token
// after it.
std::string runs(std::string_view source, bool wide) {
    struct Restore {
        bool was;
        ~Restore() { set_wide_windows(was); }
    } restore{set_wide_windows(wide)};
    return quarzel::testing::lexed_runs<KeepingSink>(
        source, [](const KeepingSink& sink) { return sink.words; }, [](const KeepingSink&) {});
}

bool have_wide_windows() {
    const bool was = set_wide_windows(true);
    const bool on = quarzel::lexer_detail::wide_windows();
    set_wide_windows(was);
    return on;
}

TEST(WideRuns, SwitchedOffReadsPortably) {
    const bool was = set_wide_windows(false);
    EXPECT_FALSE(quarzel::lexer_detail::wide_windows());
    set_wide_windows(was);
}

TEST(WideRuns, SameRunsOnEveryTestFile) {
    if (!have_wide_windows()) GTEST_SKIP() << "no AVX2 here";
    const auto files = quarzel::testing::corpus_files();
    ASSERT_FALSE(files.empty());
    for (const auto& path : files) {
        const std::string text = quarzel::testing::read_file(path);
        ASSERT_EQ(runs(text, true), runs(text, false)) << path;
    }
}

struct RunCase {
    const char* name;
    std::string text;
};

void PrintTo(const RunCase& c, std::ostream* os) {
    *os << c.name;
}

class WideRunCases : public ::testing::TestWithParam<RunCase> {};

TEST_P(WideRunCases, SameAsPortable) {
    if (!have_wide_windows()) GTEST_SKIP() << "no AVX2 here";
    const std::string& text = GetParam().text;
    const std::string wide = runs(text, true);
    EXPECT_EQ(wide, runs(text, false));
    EXPECT_NE(wide.find('['), std::string::npos) << "no run read";
}

// A loop header, then `body`: the run begins at the first value.
std::string loop(const std::string& body, bool cif2 = false) {
    return std::string(cif2 ? "#\\#CIF_2.0\n" : "") + "data_r loop_ _a.b _a.c\n" + body + "\n";
}

std::string word(std::size_t n, char c = 'w') {
    return std::string(n, c);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WideRunCases,
    ::testing::Values(
        RunCase{"word_across_halves", loop("v " + word(29) + " " + word(8) + " z")},
        RunCase{"word_ends_at_half", loop("v " + word(29) + " z")},
        RunCase{"word_across_windows", loop("v " + word(60) + " " + word(10) + " z")},
        RunCase{"long_word", loop("v " + word(70) + " " + word(150) + " z")},
        RunCase{"line_end_at_half", loop("v " + word(29) + "\n" + word(5) + "\nz")},
        RunCase{"line_ends_only", loop("v" + std::string(100, '\n') + "z")},
        RunCase{"tabs_and_spaces", loop("v\t \t" + word(40) + std::string(40, ' ') + "\tz")},
        RunCase{"high_bytes_in_second_half",
                loop("v " + word(33) + "\xC3\xA9" + " \xC3\xA9t\xC3\xA9\n" + word(3) + " z")},
        RunCase{"keyword_in_second_half", loop("v " + word(35) + " x loop_ _d.e 1")},
        RunCase{"tag_stops_run", loop("v " + word(40) + " _t.u 2")},
        RunCase{"quote_stops_run", loop("v " + word(45) + " 'q r' s")},
        RunCase{"bracket_in_second_half_cif2",
                loop("v " + word(37) + "[1] " + word(3) + " z", true)},
        RunCase{"brace_at_half_cif2", loop("v " + word(29) + "{" + word(4) + " z", true)},
        RunCase{"bracket_kept_cif1", loop("v " + word(29) + "[1] " + word(36) + "} z")},
        RunCase{"text_ends_in_word", "data_r loop_ _a.b v " + word(31)},
        RunCase{"text_ends_in_blanks", "data_r loop_ _a.b v " + word(31) + "   "}),
    [](const auto& info) { return std::string(info.param.name); });

// Random rows of words of every length, with what ends a run among them.
TEST(WideRuns, SameRunsOnGeneratedLoops) {
    if (!have_wide_windows()) GTEST_SKIP() << "no AVX2 here";
    const std::vector<std::string> pieces = {"a",
                                             "bb",
                                             "data_x",
                                             "loop_",
                                             "'q r'",
                                             "_tag",
                                             "#c\n",
                                             "[1",
                                             "x]",
                                             "{",
                                             "\xC3\xA9t\xC3\xA9",
                                             "?",
                                             "\n;t\n;\n",
                                             word(31),
                                             word(33),
                                             word(64),
                                             word(97)};
    std::mt19937 rng(23);
    for (int round = 0; round < 200; ++round) {
        std::string body = "v ";
        const int n = 5 + static_cast<int>(rng() % 100);
        for (int i = 0; i < n; ++i) {
            body += pieces[rng() % pieces.size()];
            body += " \t\n"[rng() % 3];
            if (rng() % 4 == 0) body += std::string(rng() % 40, ' ');
        }
        const std::string text = loop(body, round % 2 == 1);
        ASSERT_EQ(runs(text, true), runs(text, false)) << text;
    }
}

}  // namespace
