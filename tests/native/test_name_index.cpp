// The name index keeps each name's hash in its slot: a rebuild files the
// names again from their slots, in the order of their positions, and a
// lookup passes names of another hash without comparing them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/name_index.hpp"

namespace {

using quarzel::NameIndex;

struct GrowCase {
    const char* name;
    int distinct;  // names before they repeat
    int total;
    bool hashed;  // appended with the hash worked out by the caller
    // Room asked for (reserve) once `reserve_at` names are in, if not 0.
    int reserve_for = 0;
    int reserve_at = 0;
};

class NameIndexGrows : public ::testing::TestWithParam<GrowCase> {};

// Of a name given again, the first position is found, across every
// rebuild; a name never given is not.
TEST_P(NameIndexGrows, FindsFirstPositions) {
    const GrowCase& c = GetParam();
    std::vector<std::string> texts;
    for (int i = 0; i < c.total; ++i) texts.push_back("_n" + std::to_string(i % c.distinct));
    std::vector<std::string_view> names;
    NameIndex index;
    for (int i = 0; i < c.total; ++i) {
        if (c.reserve_for != 0 && i == c.reserve_at)
            index.reserve(names, static_cast<std::size_t>(c.reserve_for));
        names.push_back(texts[i]);
        if (c.hashed)
            index.appended(names, NameIndex::hash(names.back()));
        else
            index.appended(names);
        for (int k = 0; k <= i; ++k) {
            const std::size_t want = static_cast<std::size_t>(k % c.distinct);
            ASSERT_EQ(index.find(names, texts[k]), want) << i << " " << k;
            ASSERT_EQ(index.find(names, texts[k], NameIndex::hash(texts[k])), want);
        }
        ASSERT_EQ(index.find(names, "_absent"), NameIndex::npos);
        ASSERT_EQ(index.find(names, "_n" + std::to_string(c.distinct)), NameIndex::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, NameIndexGrows,
                         ::testing::Values(GrowCase{"few", 5, 8, false},
                                           GrowCase{"past_the_first_rebuild", 40, 40, false},
                                           GrowCase{"repeats_before_hashing", 3, 70, false},
                                           GrowCase{"repeats_after_hashing", 20, 150, true},
                                           GrowCase{"many", 300, 300, true},
                                           // Room asked for: too little to hash, ahead
                                           // of the first name, after names listed
                                           // linearly or hashed, less than there are,
                                           // outgrown.
                                           GrowCase{"reserve_below_hashing", 6, 6, false, 5, 0},
                                           GrowCase{"reserve_ahead", 52, 52, true, 52, 0},
                                           GrowCase{"reserve_ahead_unhashed", 30, 30, false, 30, 0},
                                           GrowCase{"reserve_after_linear", 40, 40, true, 40, 4},
                                           GrowCase{"reserve_after_hashed", 80, 80, false, 80, 20},
                                           GrowCase{"reserve_below_count", 40, 40, true, 12, 30},
                                           GrowCase{"reserve_outgrown", 25, 120, true, 10, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// Names that differ only past the hashed words, or are empty, stay apart.
TEST(NameIndex, TellsCloseNamesApart) {
    const std::vector<std::string> texts = {
        "",           "_a",         "_a.b", "_a.c", "_abcdefgh", "_abcdefgi",
        "_abcdefghX", "_abcdefghY", "_A",   "_a ",  "x",         "_a.b.c.d.e.f.g.h"};
    std::vector<std::string_view> names;
    NameIndex index;
    for (const std::string& t : texts) {
        names.push_back(t);
        index.appended(names);
    }
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(index.find(names, texts[i]), i);
}

// A name's hash depends on every byte of it and on nothing around it: the
// last bytes of a name of eight or more are read from the word that ends it.
class NameHash : public ::testing::TestWithParam<std::size_t> {};

TEST_P(NameHash, EveryByteCountsAndNothingAround) {
    const std::size_t n = GetParam();
    std::string a(n + 16, 'x'), b(n + 16, 'y');
    for (std::size_t i = 0; i < n; ++i) a[8 + i] = b[8 + i] = static_cast<char>('a' + i % 26);
    const std::string_view in_a(a.data() + 8, n), in_b(b.data() + 8, n);
    const std::uint64_t h = NameIndex::hash(in_a);
    EXPECT_EQ(NameIndex::hash(in_b), h);
    for (std::size_t k = 0; k < n; ++k) {
        std::string changed(in_a);
        changed[k] = '_';
        EXPECT_NE(NameIndex::hash(changed), h) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, NameHash, ::testing::Values(0, 1, 7, 8, 9, 12, 15, 16, 17, 23));

}  // namespace
