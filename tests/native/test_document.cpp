// Storage of the document: byte buffers through every way they grow, and
// packed columns large enough to leave the heap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/document.hpp"

namespace {

using quarzel::ByteBuffer;
using quarzel::ColumnLayout;
using quarzel::ValueColumn;

// Byte i of the pattern.
unsigned char pattern(std::size_t i) {
    return static_cast<unsigned char>(i * 131 + (i >> 12));
}

class BufferGrowth : public ::testing::TestWithParam<bool> {};

// Appends in uneven pieces past the heap, the mapped and the huge-page
// thresholds; every byte must survive every move.
TEST_P(BufferGrowth, KeepsEveryByte) {
    ByteBuffer buffer;
    if (GetParam()) buffer.prefer_huge_pages();
    constexpr std::size_t kTotal = (std::size_t{9} << 20) + 12345;
    std::size_t piece = 1;
    while (buffer.size() < kTotal) {
        const std::size_t n = std::min(piece, kTotal - buffer.size());
        buffer.reserve_more(n);
        for (std::size_t i = 0; i < n; ++i) buffer.end()[i] = pattern(buffer.size() + i);
        buffer.advance(n);
        piece = piece * 3 % 70001 + 1;
    }
    ByteBuffer moved = std::move(buffer);
    EXPECT_EQ(buffer.size(), 0u);
    moved.reserve_more(1 << 20);  // grows again after the move
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < kTotal; ++i) wrong += moved.data()[i] != pattern(i);
    EXPECT_EQ(wrong, 0u);
    // Handed over and freed by the taker.
    ByteBuffer::Storage storage = moved.take();
    EXPECT_TRUE(storage.mapped);
    EXPECT_GE(storage.capacity, kTotal + (1 << 20));
    EXPECT_EQ(moved.size(), 0u);
    ByteBuffer::free_storage(storage);
}

INSTANTIATE_TEST_SUITE_P(Pages, BufferGrowth, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "huge" : "small"; });

// A packed column of a million values (4 MB of offsets): each reads back.
TEST(PackedColumn, MillionValuesReadBack) {
    std::string text;
    for (int i = 0; i < 1'000'000; ++i) text += std::to_string(i) + " ";
    ValueColumn column(text.data(), text.size(), ColumnLayout::Packed);
    std::size_t at = 0;
    for (int i = 0; i < 1'000'000; ++i) {
        const std::size_t end = text.find(' ', at);
        ASSERT_TRUE(column.push_slice(std::string_view(text).substr(at, end - at)));
        at = end + 1;
    }
    ASSERT_EQ(column.size(), 1'000'000u);
    for (int i : {0, 1, 9, 10, 262'143, 262'144, 524'288, 999'999})
        EXPECT_EQ(column[static_cast<std::size_t>(i)].text, std::to_string(i));
    EXPECT_EQ(column.text_bytes(), text.size() - 1'000'000);
}

// A packed column's lone first value stays a reference into the text; a
// second value, or a value that is not a slice, moves it into the buffers,
// whose offsets and text then hold every value in order.
struct PackedCase {
    const char* name;
    std::vector<std::string> steps;  // "@n": slice n of the text; "[...": a list; else a text
    std::vector<std::string> cells;
    bool single;
};

class PackedFirstValue : public ::testing::TestWithParam<PackedCase> {};

TEST_P(PackedFirstValue, ReadsBackInOrder) {
    const std::string text = "alpha beta gamma";
    const std::string_view view = text;
    const std::string_view slices[] = {view.substr(0, 5), view.substr(6, 4), view.substr(11, 5),
                                       view.substr(5, 0)};
    ValueColumn column(text.data(), text.size(), ColumnLayout::Packed);
    for (const std::string& step : GetParam().steps) {
        if (step[0] == '@') {
            ASSERT_TRUE(column.push_slice(slices[step[1] - '0']));
        } else if (step[0] == '[') {
            quarzel::NodeStore list(text.data(), text.size());
            list.add_to_count(list.push_head(quarzel::NodeKind::List), 1);
            list.push_text(slices[0]);
            column.push_value(list);
        } else {
            column.push_text(step);
        }
    }
    const std::vector<std::string>& cells = GetParam().cells;
    ASSERT_EQ(column.size(), cells.size());
    EXPECT_EQ(column.packed_single().has_value(), GetParam().single);
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        EXPECT_EQ(column[i].text, cells[i]) << i;
        bytes += cells[i].size();
    }
    EXPECT_EQ(column.text_bytes(), bytes);
    // Handing the buffers out moves a held value into them.
    const ByteBuffer& offsets = column.packed_offsets();
    const ByteBuffer& texts = column.packed_text();
    EXPECT_FALSE(column.packed_single().has_value());
    ASSERT_EQ(offsets.size(), 4 * (cells.size() + 1));
    for (std::size_t i = 0; i < cells.size(); ++i) {
        std::uint32_t bounds[2];
        std::memcpy(bounds, offsets.data() + 4 * i, sizeof bounds);
        EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(texts.data()) + bounds[0],
                                   bounds[1] - bounds[0]),
                  cells[i])
            << i;
        EXPECT_EQ(column[i].text, cells[i]) << i;
    }
}

// The cell text of the list [alpha]: a leading NUL marks it.
const std::string kList("\0[\"alpha\"]", 10);

INSTANTIATE_TEST_SUITE_P(
    Cases, PackedFirstValue,
    ::testing::Values(PackedCase{"one_slice", {"@0"}, {"alpha"}, true},
                      PackedCase{"empty_slice", {"@3"}, {""}, true},
                      PackedCase{"two_slices", {"@0", "@1"}, {"alpha", "beta"}, false},
                      PackedCase{
                          "three_slices", {"@2", "@1", "@0"}, {"gamma", "beta", "alpha"}, false},
                      PackedCase{"text_first", {"other"}, {"other"}, false},
                      PackedCase{"slice_then_text", {"@1", "other"}, {"beta", "other"}, false},
                      PackedCase{"slice_then_list", {"@1", "["}, {"beta", kList}, false},
                      PackedCase{"list_then_slice", {"[", "@1"}, {kList, "beta"}, false},
                      PackedCase{"nothing", {}, {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The first value of a column sits in the column itself, the rest in its
// buffer; a value kept aside may come first or later.
TEST(RefsColumn, FirstAndLaterValuesOfEveryKind) {
    const std::string text = "alpha beta gamma";
    const std::string elsewhere = "kept aside";
    for (int first_aside : {0, 1}) {
        ValueColumn column(text.data(), text.size());
        EXPECT_TRUE(column.empty());
        if (first_aside)
            column.push_text(elsewhere);
        else
            ASSERT_TRUE(column.push_slice(std::string_view(text).substr(0, 5)));
        ASSERT_TRUE(column.push_slice(std::string_view(text).substr(6, 4)));
        column.push_text(elsewhere);
        ASSERT_TRUE(column.push_slice(std::string_view(text).substr(11)));
        ASSERT_EQ(column.size(), 4u);
        EXPECT_EQ(column[0].text, first_aside ? elsewhere : "alpha");
        EXPECT_EQ(column[1].text, "beta");
        EXPECT_EQ(column[2].text, elsewhere);
        EXPECT_EQ(column[3].text, "gamma");
        EXPECT_EQ(column[1].text.data(), text.data() + 6);
        // A walk over any range gives what indexing gives.
        const quarzel::RefColumn& refs = *column.refs_column();
        for (std::size_t from = 0; from <= 4; ++from) {
            for (std::size_t to = from; to <= 4; ++to) {
                std::vector<std::string_view> walked;
                refs.for_each(from, to,
                              [&](const quarzel::ValueRef& v) { walked.push_back(v.text); });
                ASSERT_EQ(walked.size(), to - from);
                for (std::size_t i = from; i < to; ++i) EXPECT_EQ(walked[i - from], column[i].text);
            }
        }
        column.clear();
        EXPECT_EQ(column.size(), 0u);
        ASSERT_TRUE(column.push_slice(std::string_view(text).substr(6, 4)));
        EXPECT_EQ(column[0].text, "beta");
    }
}

// A column of slices given by letters (one slice per letter, the same
// letter the same slice; 'A' the same text as 'a' at another place): the
// runs for_each_slice_run gives, as "letter count" pairs.
struct SliceRunsCase {
    const char* name;
    std::string_view letters;
    std::string_view runs;
};

void PrintTo(const SliceRunsCase& c, std::ostream* os) {
    *os << c.name;
}

class SliceRuns : public ::testing::TestWithParam<SliceRunsCase> {};

TEST_P(SliceRuns, OneCallPerRunOfOneSlice) {
    const SliceRunsCase& c = GetParam();
    const std::string text =
        "abcdefgh"
        "abcdefgh";
    ValueColumn column(text.data(), text.size());
    for (char l : c.letters) {
        const std::size_t at =
            l >= 'a' ? static_cast<std::size_t>(l - 'a') : static_cast<std::size_t>(8 + l - 'A');
        ASSERT_TRUE(column.push_slice(std::string_view(text).substr(at, 1)));
    }
    std::string runs;
    std::size_t values = 0;
    column.refs_column()->for_each_slice_run([&](std::string_view v, std::size_t count) {
        const std::size_t at = static_cast<std::size_t>(v.data() - text.data());
        if (!runs.empty()) runs += ' ';
        runs += static_cast<char>(at < 8 ? 'a' + at : 'A' + at - 8);
        runs += std::to_string(count);
        values += count;
    });
    EXPECT_EQ(runs, c.runs);
    EXPECT_EQ(values, c.letters.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SliceRuns,
    ::testing::Values(SliceRunsCase{"none", "", ""}, SliceRunsCase{"one", "a", "a1"},
                      SliceRunsCase{"two_alike", "aa", "a2"},
                      SliceRunsCase{"two_different", "ab", "a1 b1"},
                      SliceRunsCase{"run_at_the_end", "abbb", "a1 b3"},
                      SliceRunsCase{"run_at_the_start", "aaab", "a3 b1"},
                      SliceRunsCase{"alternating", "abab", "a1 b1 a1 b1"},
                      SliceRunsCase{"same_text_elsewhere_is_another_run", "aAaa", "a1 A1 a2"},
                      SliceRunsCase{"runs_in_a_row", "aabbbcdd", "a2 b3 c1 d2"},
                      SliceRunsCase{"one_long_run", "hhhhhhhhhhhhhhhhhhhh", "h20"}),
    [](const auto& info) { return std::string(info.param.name); });

// A batch of words for push_slices: 's' a short slice of the text, 'm' one
// of 17 to 40 bytes, 'e' a short one among the last 15 bytes of the text,
// 'L' a slice too long for a reference, 'x' a text elsewhere.
struct SlicesCase {
    const char* name;
    std::string_view kinds;
    std::size_t start;
    std::size_t stride;
    bool column_had_value;
};

void PrintTo(const SlicesCase& c, std::ostream* os) {
    *os << c.name;
}

class PushSlices : public ::testing::TestWithParam<SlicesCase> {};

// A column takes words[start], words[start + stride], ... in one call as
// push_slice takes them one by one, up to the first it refuses, whose index
// it returns; the caller stores that one and goes on, as the builder does.
TEST_P(PushSlices, AsOneByOne) {
    const SlicesCase& c = GetParam();
    std::string text(40000, 't');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i * 7 % 26);
    const std::string elsewhere = "kept aside";
    std::vector<std::string_view> words;
    for (std::size_t i = 0; i < c.kinds.size(); ++i) {
        switch (c.kinds[i]) {
            case 's':
                words.push_back(std::string_view(text).substr(i * 7, i % 5));
                break;
            case 'm':
                words.push_back(std::string_view(text).substr(i * 11, 17 + i % 24));
                break;
            case 'e':
                words.push_back(
                    std::string_view(text).substr(text.size() - 1 - i % 15, 1 + i % 15));
                break;
            case 'L':
                words.push_back(std::string_view(text).substr(i, 32768));
                break;
            default:
                words.push_back(elsewhere);
        }
    }
    for (ColumnLayout layout : {ColumnLayout::Refs, ColumnLayout::Packed}) {
        ValueColumn batch(text.data(), text.size(), layout);
        ValueColumn single(text.data(), text.size(), layout);
        if (c.column_had_value) {
            batch.push_text(elsewhere);
            single.push_text(elsewhere);
        }
        std::vector<std::size_t> refused;
        for (std::size_t i = batch.push_slices(words, c.start, c.stride); i < words.size();
             i = batch.push_slices(words, i + c.stride, c.stride)) {
            refused.push_back(i);
            batch.push_text(words[i]);
        }
        std::vector<std::size_t> refused_one_by_one;
        for (std::size_t i = c.start; i < words.size(); i += c.stride) {
            if (single.push_slice(words[i])) continue;
            refused_one_by_one.push_back(i);
            single.push_text(words[i]);
        }
        EXPECT_EQ(refused, refused_one_by_one);
        const bool refs = layout == ColumnLayout::Refs;
        if (!refs) {
            EXPECT_TRUE(refused.empty());  // a packed column copies any text
        }
        ASSERT_EQ(batch.size(), single.size());
        EXPECT_EQ(batch.text_bytes(), single.text_bytes());
        for (std::size_t i = 0; i < batch.size(); ++i) {
            EXPECT_EQ(batch[i].text, single[i].text) << i;
            if (refs) {
                EXPECT_EQ(batch[i].text.data(), single[i].text.data()) << i;
            }
        }
    }
}

// Enough text for a column's buffer to grow several times in one call.
const std::string kManyWords = std::string(900, 'm') + "se";
const std::string kManyWithElsewhere = std::string(300, 'm') + "x" + std::string(300, 's') + "x";

INSTANTIATE_TEST_SUITE_P(
    Cases, PushSlices,
    ::testing::Values(SlicesCase{"all_slices", "ssssssss", 0, 1, false},
                      SlicesCase{"all_slices_after_a_value", "ssssssss", 0, 1, true},
                      SlicesCase{"every_third_from_the_second", "ssssssssss", 1, 3, false},
                      SlicesCase{"first_refused", "xsss", 0, 1, false},
                      SlicesCase{"too_long_in_the_middle", "ssLssLs", 0, 1, true},
                      SlicesCase{"elsewhere_last", "sssx", 0, 1, false},
                      SlicesCase{"refused_skipped_by_the_stride", "sxsxsx", 0, 2, false},
                      SlicesCase{"refused_on_the_stride", "sxsxsx", 1, 2, false},
                      SlicesCase{"start_past_the_end", "ss", 5, 3, false},
                      SlicesCase{"one_word", "s", 0, 4, false}, SlicesCase{"none", "", 0, 1, false},
                      SlicesCase{"near_the_end_of_the_text", "sseesee", 0, 1, false},
                      SlicesCase{"longer_than_sixteen", "smsmmsm", 0, 1, true},
                      SlicesCase{"text_grows_within_one_call", kManyWords, 0, 1, false},
                      SlicesCase{"text_grows_every_fifth", kManyWords, 2, 5, false},
                      SlicesCase{"elsewhere_among_many", kManyWithElsewhere, 0, 3, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Tags are found in order while few, through the index from nine on, and
// the index keeps up as the frame grows.
TEST(FrameData, FindsEveryTagAtEverySize) {
    std::vector<std::string> names;
    for (int i = 0; i < 3000; ++i) names.push_back("_t." + std::to_string(i * 7919 % 3001));
    quarzel::FrameData frame;
    for (std::size_t n = 0; n < names.size(); ++n) {
        ValueColumn& column = frame.add(names[n], ValueColumn(nullptr, 0));
        column.push_text(names[n]);
        if (n % 97 == 0 || n < 20) {
            for (std::size_t k = 0; k <= n; ++k) {
                ASSERT_EQ(frame.position(names[k]), k) << n;
                ASSERT_EQ((*frame.find(names[k]))[0].text, names[k]);
            }
            EXPECT_EQ(frame.find("_absent"), nullptr);
            EXPECT_EQ(frame.position(std::string(names[0]) + "x"), quarzel::FrameData::npos);
        }
    }
    frame.release_values();
    EXPECT_EQ(frame.find(names[5]), nullptr);
    EXPECT_EQ(frame.position(names[5]), 5u);
}

}  // namespace
