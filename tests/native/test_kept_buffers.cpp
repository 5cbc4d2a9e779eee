// The buffers a worker's columns keep from one row group to the next: what
// the allowance keeps, and that a kept buffer holds nothing of the row
// group before.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "core/number.hpp"
#include "dataset/number_column.hpp"
#include "dataset/pages.hpp"

namespace {

using quarzel::ByteBuffer;
using quarzel::dataset::ColumnChunk;
using quarzel::dataset::KeptBytes;
using quarzel::dataset::NumberColumn;
using quarzel::dataset::PageWriter;

constexpr std::size_t kSmall = ByteBuffer::kMapBytes;
constexpr std::size_t kMiB = std::size_t{1} << 20;

struct Allowance {
    const char* what;
    std::size_t allowance;
    std::vector<std::size_t> capacities;
    std::vector<bool> kept;
};

TEST(KeptBytes, KeepsLargeBuffersWhileTheAllowanceLasts) {
    const std::vector<Allowance> cases = {
        {"none: small ones only", 0, {0, kSmall, kSmall + 8, 4 * kMiB}, {true, true, false, false}},
        {"one that does not fit, then one that does",
         kMiB,
         {2 * kMiB, kMiB / 2, kMiB / 2 + 8, kMiB / 2},
         {false, true, false, true}},
        {"exactly the allowance, then nothing large",
         2 * kMiB,
         {2 * kMiB, kSmall + 8, kSmall},
         {true, false, true}},
        {"small ones cost nothing", kSmall + 8, {kSmall, kSmall, kSmall + 8}, {true, true, true}},
    };
    for (const Allowance& c : cases) {
        KeptBytes kept(c.allowance);
        for (std::size_t i = 0; i < c.capacities.size(); ++i)
            EXPECT_EQ(kept.keep(c.capacities[i]), c.kept[i]) << c.what << ", buffer " << i;
    }
}

std::string bytes_of(const ColumnChunk& c) {
    return std::string(reinterpret_cast<const char*>(c.bytes.data()), c.bytes.size());
}

void fill(NumberColumn& n, const std::vector<std::string>& values) {
    n.reserve(values.size());
    for (const std::string& v : values) n.add(quarzel::parse_number(v), false);
    n.done();
}

std::string encoded(NumberColumn& n, ColumnChunk& v, ColumnChunk& s, ColumnChunk& st) {
    PageWriter pages;
    n.encode_values(pages, v, n.doubles());
    n.encode_su(pages, s, n.doubles());
    n.encode_status(pages, st);
    return bytes_of(v) + "|" + bytes_of(s) + "|" + bytes_of(st) + "|" + v.min + "|" + v.max + "|" +
           std::to_string(n.kinds()) + std::to_string(n.doubles());
}

std::vector<std::string> repeated(const std::string& v, std::size_t n) {
    return std::vector<std::string>(n, v);
}

struct Reuse {
    const char* what;
    std::vector<std::string> first, second;
};

// A column and its chunks filled with a large row group, emptied with an
// allowance that keeps their buffers, then filled again: the second row
// group comes out as it does from a fresh column.
TEST(KeptBytes, AKeptBufferStartsEmpty) {
    const std::vector<Reuse> cases = {
        {"doubles with su, then fewer integers", repeated("-12.5(11)", 40000), {"1", "2", "3"}},
        {"integers, then a fraction", repeated("7", 40000), {"4", "0.5", "?"}},
        {"negative zeros, then integers", repeated("-0", 40000), {"0", "1"}},
        {"placeholders, then numbers with su", repeated("?", 200000), {"3(1)", "."}},
        {"numbers, then nothing but text", repeated("1.25", 40000), {"abc", "x"}},
    };
    for (const Reuse& c : cases) {
        NumberColumn reused, fresh;
        ColumnChunk v, s, st, fv, fs, fst;
        fill(reused, c.first);
        encoded(reused, v, s, st);
        KeptBytes kept(64 * kMiB);
        reused.reset(kept);
        for (ColumnChunk* chunk : {&v, &s, &st}) chunk->reset(kept);
        EXPECT_FALSE(kept.keep(64 * kMiB)) << c.what << ": kept buffers count";
        fill(reused, c.second);
        fill(fresh, c.second);
        EXPECT_EQ(encoded(reused, v, s, st), encoded(fresh, fv, fs, fst)) << c.what;
    }
}

}  // namespace
