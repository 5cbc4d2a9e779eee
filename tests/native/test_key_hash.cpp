// Key hashes of column values: values that compare equal hash equal by
// either path (folded in the words or by compare_key), and short texts that
// differ hash apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/pipeline.hpp"
#include "validate/key_hash.hpp"

namespace {

using namespace quarzel::validate;
using namespace quarzel::validate::detail;

std::uint64_t fold_key_hash(std::string_view t) {
    std::string scratch;
    std::uint64_t h = 0;
    EXPECT_TRUE(key_hash(t, Compare::Fold, scratch, h));
    return h;
}

struct FoldCase {
    const char* value;
    const char* same_as;  // the key compare_key makes of it, hashed as a value
};

// Every length the words are read at (1-3 by bytes, 4-7 as two words, 8-16
// as two overlapping words), and the bytes around the capitals ('@', '[',
// '`', '{') that folding must leave.
const FoldCase kFolds[] = {
    {"A", "a"},
    {"Zz", "zz"},
    {"@[`", "@[`"},
    {"AbCd", "abcd"},
    {"{ABCDE", "{abcde"},
    {"HOH_A1Z", "hoh_a1z"},
    {"ATOMSITE", "atomsite"},
    {"C1' ATOM_XYZ", "c1' atom_xyz"},
    {"ABCDEFGHIJKLMNOP", "abcdefghijklmnop"},
    {"", ""},
};

class FoldHash : public testing::TestWithParam<FoldCase> {};

TEST_P(FoldHash, FoldedInTheWordsAsCompareKeyFolds) {
    const FoldCase& c = GetParam();
    std::string key;
    ASSERT_TRUE(compare_key(c.value, Compare::Fold, key));
    EXPECT_EQ(key, c.same_as);
    EXPECT_EQ(fold_key_hash(c.value), value_hash(key));
    EXPECT_EQ(fold_key_hash(c.value), fold_key_hash(c.same_as));
}

INSTANTIATE_TEST_SUITE_P(Lengths, FoldHash, testing::ValuesIn(kFolds));

// Beyond ASCII the words are not folded: compare_key's folding decides.
TEST(FoldHash, BeyondAsciiGoesByCompareKey) {
    for (const char* v : {"\xc3\x89t\xc3\xa9", "A\xc3\x89", "\xce\xa3\xce\xa3\xce\xa3\xce\xa3"}) {
        std::string key;
        ASSERT_TRUE(compare_key(v, Compare::Fold, key));
        EXPECT_EQ(fold_key_hash(v), value_hash(key)) << v;
    }
}

// The word-wise folding against ASCII's own, byte by byte, at every place
// of a word.
TEST(FoldHash, WordFoldingMatchesByteFolding) {
    for (int c = 0; c < 256; ++c)
        for (int place = 0; place < 8; ++place) {
            const std::uint64_t w = std::uint64_t{0x2E} * 0x0101010101010101ull;
            const std::uint64_t with =
                (w & ~(std::uint64_t{0xFF} << (8 * place))) | std::uint64_t(c) << (8 * place);
            const int want = c >= 'A' && c <= 'Z' ? c + 32 : c;
            const std::uint64_t got = fold_ascii_word(with);
            EXPECT_EQ((got >> (8 * place)) & 0xFF, static_cast<std::uint64_t>(want)) << c;
            EXPECT_EQ(got & ~(std::uint64_t{0xFF} << (8 * place)),
                      with & ~(std::uint64_t{0xFF} << (8 * place)));
        }
}

// Short texts hash one to one: every text of up to 3 bytes over a small
// alphabet with NUL (which a length must tell apart from a missing byte),
// and texts of 4 to 7 that differ in one byte only, at each place.
TEST(ValueHash, ShortTextsNeverCollide) {
    const std::string alphabet("\0Aa.?9\xff", 7);
    std::set<std::uint64_t> seen;
    std::size_t made = 0;
    std::string t;
    const auto add = [&](const std::string& s) {
        ++made;
        seen.insert(value_hash(s));
    };
    add("");
    for (char a : alphabet) {
        add(std::string(1, a));
        for (char b : alphabet) {
            add(std::string{a, b});
            for (char c : alphabet) add(std::string{a, b, c});
        }
    }
    for (std::size_t n = 4; n <= 7; ++n)
        for (std::size_t place = 0; place < n; ++place)
            for (char c : alphabet) {
                t.assign(n, 'k');
                t[place] = c;
                if (c != 'k') add(t);
            }
    EXPECT_EQ(seen.size(), made);
}

// A column's exact hashes, short values read a word at a time where the
// text has 8 bytes from them, against value_hash() of each value: every
// short length, in the middle of the text and at its very end, nulls and
// quoted placeholders; and for small letters, the folded hashes alike.
class ExactColumnHash : public testing::TestWithParam<const char*> {};

TEST_P(ExactColumnHash, AgreesWithValueHash) {
    // Refs: the layout whose slices are read a word at a time.
    const quarzel::ParseResult parsed =
        quarzel::parse_document(GetParam(), false, quarzel::ColumnLayout::Refs);
    const quarzel::ValueColumn& col = parsed.document.blocks.at(0).data.columns.at(0);
    ColumnHashes hashes;
    const std::vector<std::uint64_t> exact = hashes.of(col, Compare::Exact);
    const std::vector<std::uint64_t>& folded = hashes.of(col, Compare::Fold);
    ASSERT_EQ(exact.size(), col.size());
    for (std::size_t r = 0; r < col.size(); ++r) {
        bool null;
        const std::string_view v = scalar_text(col[r], null);
        EXPECT_EQ(exact[r], null ? ColumnHashes::kNull : value_hash(v) | 2) << "'" << v << "'";
        const bool small =
            std::none_of(v.begin(), v.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
        if (!null && small) {
            EXPECT_EQ(folded[r], exact[r]) << "'" << v << "'";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ExactColumnHash,
    testing::Values(
        "data_x\nloop_ _a a ab abc abcd abcde abcdef abcdefg abcdefgh ? . '?' \"?\" x\n",
        "data_x\nloop_ _a abcdefg ab a",                            // the last values end the text
        "data_x\nloop_ _a C1 c1 'C1' \"ab\" 'abcdef' ;\nabc\n;\n",  // quoted, a field
        "data_x\nloop_ _a abcdefgh ?",  // a null in the last bytes of the text
        "data_x\nloop_ _a abcdefgh . ab",
        "data_x\nloop_ _a '\"ab' '\"' \"'?\" ab '\"x'"  // texts that start with a quote
        ));

// A thread's column hashes from one document to the next, cleared between
// them: the second document's columns (likely where the first's were) get
// their own hashes, past the vectors kept (64) and the values kept (2048).
struct ReuseCase {
    int columns_before, rows_before, columns_after, rows_after;
};

std::string loops(int columns, int rows, char letter) {
    std::string text = "data_x\n";
    for (int c = 0; c < columns; ++c) {
        text += "loop_ _c" + std::to_string(c) + "\n";
        for (int r = 0; r < rows; ++r)
            text += std::string(1, letter) + std::to_string(r % 50) + "\n";
    }
    return text;
}

class KeptColumnHashes : public testing::TestWithParam<ReuseCase> {};

TEST_P(KeptColumnHashes, ClearedHashesAreTheNewColumns) {
    const ReuseCase& c = GetParam();
    ColumnHashes kept;
    for (const auto& [columns, rows, letter] : {std::tuple{c.columns_before, c.rows_before, 'a'},
                                                std::tuple{c.columns_after, c.rows_after, 'b'}}) {
        const std::string text = loops(columns, rows, letter);  // the columns refer to it
        const quarzel::ParseResult parsed =
            quarzel::parse_document(text, false, quarzel::ColumnLayout::Refs);
        kept.clear();
        ColumnHashes fresh;
        for (const quarzel::ValueColumn& col : parsed.document.blocks.at(0).data.columns)
            for (Compare compare : {Compare::Exact, Compare::Fold})
                ASSERT_EQ(kept.of(col, compare), fresh.of(col, compare));
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, KeptColumnHashes,
                         testing::Values(ReuseCase{1, 3, 1, 1}, ReuseCase{70, 2, 70, 2},
                                         ReuseCase{1, 3000, 1, 2}, ReuseCase{2, 5, 1, 3000}));

// Keys alike but for their two low bits (where probes do not start), and
// lookups through a Lookup as through the set, before and after it grows.
TEST(HashSet, LowBitsAndLookups) {
    HashSet set;
    EXPECT_FALSE(set.lookup().contains(4));
    std::vector<std::uint64_t> keys;
    for (std::uint64_t k = 4; k < 4 * 300; k += 3) keys.push_back(k);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        set.insert(keys[i]);
        const HashSet::Lookup lookup = set.lookup();
        for (std::size_t j = 0; j < keys.size(); ++j) {
            ASSERT_EQ(set.contains(keys[j]), j <= i) << keys[j];
            ASSERT_EQ(lookup.contains(keys[j]), j <= i) << keys[j];
        }
    }
}

}  // namespace
