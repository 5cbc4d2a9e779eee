// The byte-class masks of the plain-word run and the word scan: the SSE2
// and AVX2 forms give what a byte-by-byte reading gives, at every offset and
// near the end of the text.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "core/lexer.hpp"
#include "core/word_window.hpp"

namespace {

using quarzel::lexer_detail::kBracket;
using quarzel::lexer_detail::kSeparator;
using quarzel::lexer_detail::scan_word;
using quarzel::lexer_detail::word_window;
using quarzel::lexer_detail::word_window_bytewise;
using quarzel::lexer_detail::word_window_tail;
using quarzel::lexer_detail::word_window_tail_with;
using quarzel::lexer_detail::WordWindow;

// Bytes that matter to the masks, and some that only look as if they might.
constexpr char kAlphabetBytes[] =
    " \t\n\r\v\f[]{}()<>:;#'\"_$.?aZ09\x00\x1F\x7F\x80\xBF\xC3\xA9\xFF\x5B\x7B\x3B\x1B";
constexpr std::string_view kAlphabet(kAlphabetBytes, sizeof kAlphabetBytes - 1);

std::string random_bytes(std::mt19937& rng, std::size_t n) {
    std::string s(n, ' ');
    for (char& c : s) c = kAlphabet[rng() % kAlphabet.size()];
    return s;
}

void expect_same(const WordWindow& a, const WordWindow& b) {
    EXPECT_EQ(a.blank, b.blank);
    EXPECT_EQ(a.end, b.end);
    EXPECT_EQ(a.lf, b.lf);
    EXPECT_EQ(a.high, b.high);
}

// The masks as the byte loop states them, bit by bit.
TEST(WordWindow, BytewiseMasksNameEachByte) {
    const std::string text = "a b\tc\nd[e]f{g}h\xC3\xA9" + std::string(47, 'x');
    for (bool cif2 : {false, true}) {
        const WordWindow w = word_window_bytewise(text.data(), cif2);
        for (std::size_t i = 0; i < WordWindow::kBytes; ++i) {
            SCOPED_TRACE(i);
            const unsigned char c = static_cast<unsigned char>(text[i]);
            const bool blank = c == ' ' || c == '\t' || c == '\n';
            const bool bracket = c == '[' || c == ']' || c == '{' || c == '}';
            EXPECT_EQ((w.blank >> i) & 1, blank);
            EXPECT_EQ((w.lf >> i) & 1, c == '\n');
            EXPECT_EQ((w.high >> i) & 1, c >= 0x80);
            EXPECT_EQ((w.end >> i) & 1, blank || (cif2 && bracket));
        }
    }
}

// The window the lexer uses (SSE2 where there is SSE2) against the byte
// loop, on random bytes at every alignment.
TEST(WordWindow, AgreesWithTheByteLoop) {
    std::mt19937 rng(11);
    for (int round = 0; round < 4000; ++round) {
        const std::string text = random_bytes(rng, WordWindow::kBytes + 16);
        const std::size_t at = round % 16;
        for (bool cif2 : {false, true}) {
            SCOPED_TRACE(testing::Message() << "round " << round << " cif2 " << cif2);
            expect_same(word_window(text.data() + at, cif2),
                        word_window_bytewise(text.data() + at, cif2));
        }
        if (HasFailure()) return;
    }
}

// Near the end of the text a window is filled up with spaces: blanks and
// word ends past the text, nothing else.
TEST(WordWindow, TailReadsAsSpaces) {
    std::mt19937 rng(5);
    for (std::size_t n = 0; n < WordWindow::kBytes; ++n) {
        const std::string text = random_bytes(rng, n);
        std::string padded = text;
        padded.resize(WordWindow::kBytes, ' ');
        for (bool cif2 : {false, true}) {
            SCOPED_TRACE(testing::Message() << "n " << n << " cif2 " << cif2);
            const WordWindow tail = word_window_tail(text.data(), n, cif2);
            expect_same(tail, word_window_bytewise(padded.data(), cif2));
            const std::uint64_t past = ~quarzel::lexer_detail::low_bits(static_cast<unsigned>(n));
            EXPECT_EQ(tail.blank & past, past);
            EXPECT_EQ(tail.lf & past, 0u);
        }
    }
}

#if defined(QUARZEL_WIDE_WINDOWS)
using quarzel::lexer_detail::WideWindows;

// The AVX2 windows are only built where the processor has them.
bool have_wide_windows() {
    const bool was = quarzel::lexer_detail::set_wide_windows(true);
    const bool on = quarzel::lexer_detail::wide_windows();
    quarzel::lexer_detail::set_wide_windows(was);
    return on;
}

struct WideCase {
    const char* name;
    std::string text;  // 64 bytes
};

void PrintTo(const WideCase& c, std::ostream* os) {
    *os << c.name;
}

class WideWindow : public ::testing::TestWithParam<WideCase> {};

// Each byte that matters at the edges of the two 32-byte halves, where a
// mask half shifted into the wrong place or cut short would show.
TEST_P(WideWindow, AgreesWithTheByteLoop) {
    if (!have_wide_windows()) GTEST_SKIP() << "no AVX2 here";
    const WideCase& c = GetParam();
    ASSERT_EQ(c.text.size(), WordWindow::kBytes);
    for (bool cif2 : {false, true}) {
        SCOPED_TRACE(cif2);
        expect_same(WideWindows::window(c.text.data(), cif2),
                    word_window_bytewise(c.text.data(), cif2));
    }
}

std::string window_with(std::initializer_list<std::pair<std::size_t, char>> bytes,
                        char fill = 'x') {
    std::string s(WordWindow::kBytes, fill);
    for (const auto& [at, c] : bytes) s[at] = c;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WideWindow,
    ::testing::Values(
        WideCase{"no_blank", window_with({})}, WideCase{"all_spaces", window_with({}, ' ')},
        WideCase{"all_line_ends", window_with({}, '\n')},
        WideCase{"all_high", window_with({}, '\xC3')},
        WideCase{"space_first_and_last", window_with({{0, ' '}, {63, ' '}})},
        WideCase{"lane_edges_space", window_with({{31, ' '}, {32, ' '}})},
        WideCase{"lane_edges_tab", window_with({{31, '\t'}, {32, '\t'}})},
        WideCase{"lane_edges_line_end", window_with({{31, '\n'}, {32, '\n'}})},
        WideCase{"lane_edges_high", window_with({{31, '\x80'}, {32, '\xFF'}, {63, '\xA9'}})},
        WideCase{"lane_edges_brackets", window_with({{31, '['}, {32, ']'}, {0, '{'}, {63, '}'}})},
        WideCase{
            "bracket_neighbours",
            window_with({{5, ';'}, {6, '\\'}, {7, '|'}, {40, '\xDB'}, {41, '\xFD'}, {42, 'Z'}})},
        WideCase{"other_controls", window_with({{1, '\r'}, {2, '\v'}, {3, '\f'}, {33, '\0'}})}),
    [](const auto& info) { return std::string(info.param.name); });

// Random windows at every alignment, and tails of every length.
TEST(WideWindowGenerated, AgreesWithTheByteLoop) {
    if (!have_wide_windows()) GTEST_SKIP() << "no AVX2 here";
    std::mt19937 rng(17);
    for (int round = 0; round < 4000; ++round) {
        const std::string text = random_bytes(rng, WordWindow::kBytes + 32);
        const std::size_t at = round % 32;
        const std::size_t n = round % WordWindow::kBytes;
        std::string padded = text.substr(at, n);
        padded.resize(WordWindow::kBytes, ' ');
        for (bool cif2 : {false, true}) {
            SCOPED_TRACE(testing::Message() << "round " << round << " cif2 " << cif2);
            expect_same(WideWindows::window(text.data() + at, cif2),
                        word_window_bytewise(text.data() + at, cif2));
            expect_same(word_window_tail_with<WideWindows>(text.data() + at, n, cif2),
                        word_window_bytewise(padded.data(), cif2));
        }
        if (HasFailure()) return;
    }
}
#endif

struct ScanCase {
    const char* name;
    std::string text;
    std::size_t from;
    std::uint8_t stop;
    std::size_t end;
    bool high;
};

void PrintTo(const ScanCase& c, std::ostream* os) {
    *os << c.name;
}

class ScanWord : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanWord, FindsTheEnd) {
    const ScanCase& c = GetParam();
    unsigned char high = 0;
    EXPECT_EQ(scan_word(c.text.data(), c.from, c.text.size(), c.stop, high), c.end);
    EXPECT_EQ((high & 0x80) != 0, c.high);
}

const std::string k15(15, 'w');
const std::string k16(16, 'w');
const std::string k40(40, 'w');

INSTANTIATE_TEST_SUITE_P(
    Cases, ScanWord,
    ::testing::Values(
        ScanCase{"short_space", "abc def", 0, kSeparator, 3, false},
        ScanCase{"short_to_end", "abc", 0, kSeparator, 3, false},
        ScanCase{"from_inside", "abc def", 1, kSeparator, 3, false},
        ScanCase{"at_a_blank", "abc def", 3, kSeparator, 3, false},
        ScanCase{"tab", "ab\tc", 0, kSeparator, 2, false},
        ScanCase{"line_end", "ab\nc", 0, kSeparator, 2, false},
        ScanCase{"carriage_return_is_word", "ab\rc d", 0, kSeparator, 4, false},
        ScanCase{"bracket_kept_in_cif1", "a[b] c", 0, kSeparator, 4, false},
        ScanCase{"bracket_ends_in_cif2", "a[b] c", 0, kSeparator | kBracket, 1, false},
        ScanCase{"brace_ends_in_cif2", "ab}", 0, kSeparator | kBracket, 2, false},
        ScanCase{"end_at_15", k15 + " " + k40, 0, kSeparator, 15, false},
        ScanCase{"end_at_16", k16 + " " + k40, 0, kSeparator, 16, false},
        ScanCase{"end_at_17", k16 + "w " + k40, 0, kSeparator, 17, false},
        ScanCase{"long_to_end", k40, 0, kSeparator, 40, false},
        ScanCase{"long_bracket_cif2", k40 + "]" + k16, 0, kSeparator | kBracket, 40, false},
        ScanCase{"high_before_end", "w\xC3\xA9" + k16 + " x", 0, kSeparator, 19, true},
        ScanCase{"high_after_end_not_counted", k15 + " \xC3\xA9" + k16, 0, kSeparator, 15, false},
        ScanCase{"high_in_second_block", k16 + "ww\xC3\xA9 " + k16, 0, kSeparator, 20, true},
        ScanCase{"high_in_byte_tail", k16 + "w\xC3\xA9", 0, kSeparator, 19, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Random words against a byte loop over the same classes.
TEST(ScanWordGenerated, AgreesWithTheByteLoop) {
    std::mt19937 rng(3);
    for (int round = 0; round < 20000; ++round) {
        const std::string text = random_bytes(rng, rng() % 90);
        const std::size_t from = text.empty() ? 0 : rng() % (text.size() + 1);
        const std::uint8_t stop = round % 2 ? kSeparator | kBracket : kSeparator;
        std::size_t want = from;
        bool want_high = false;
        while (
            want < text.size() &&
            !(quarzel::lexer_detail::kWordClass[static_cast<unsigned char>(text[want])] & stop)) {
            want_high |= static_cast<unsigned char>(text[want]) >= 0x80;
            ++want;
        }
        unsigned char high = 0;
        const std::size_t got = scan_word(text.data(), from, text.size(), stop, high);
        ASSERT_EQ(got, want) << quarzel::quoted(text) << " from " << from;
        ASSERT_EQ((high & 0x80) != 0, want_high) << quarzel::quoted(text) << " from " << from;
    }
}

}  // namespace
