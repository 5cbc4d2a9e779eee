// Byte buffers reusing freed mappings through a thread's MappingCache.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "core/byte_buffer.hpp"

namespace {

using quarzel::ByteBuffer;
using quarzel::MappingCache;

constexpr std::size_t kBig = std::size_t{1} << 20;  // mapped, not on the heap

unsigned char* filled(ByteBuffer& b, std::size_t n, unsigned char byte) {
    b.reserve_more(n);
    std::memset(b.end(), byte, n);
    b.advance(n);
    return b.data();
}

TEST(MappingCache, AFreedMappingServesTheNextBufferOfItsThread) {
    MappingCache cache(std::size_t{8} << 20);
    MappingCache::Use use(cache);
    unsigned char* first;
    {
        ByteBuffer a;
        first = filled(a, kBig, 1);
    }
    ByteBuffer b;
    EXPECT_EQ(filled(b, kBig / 2, 2), first);  // the smallest that fits
    EXPECT_GE(b.capacity(), kBig);
    for (std::size_t i = 0; i < kBig / 2; ++i) ASSERT_EQ(b.data()[i], 2);
    // It grows on from there, contents kept.
    filled(b, 3 * kBig, 3);
    EXPECT_EQ(b.data()[0], 2);
    EXPECT_EQ(b.data()[b.size() - 1], 3);
}

TEST(MappingCache, HoldsNoMoreThanItsLimit) {
    MappingCache cache(3 * kBig);
    std::size_t want = kBig + 1;
    EXPECT_EQ(cache.take(want), nullptr);
    {
        MappingCache::Use use(cache);
        ByteBuffer a, b, c, too_big;
        filled(a, kBig - 64, 1);
        filled(b, kBig - 64, 1);
        filled(c, kBig - 64, 1);
        filled(too_big, 4 * kBig, 1);
    }  // a, b and c are held (each a mapping of kBig bytes); too_big is unmapped
    std::size_t n = kBig;
    void* one = cache.take(n);
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(n, kBig);
    EXPECT_TRUE(cache.put(one, n));
    std::size_t large = 2 * kBig;
    EXPECT_EQ(cache.take(large), nullptr);
}

TEST(MappingCache, OnlyTheInstallingThreadUsesIt) {
    MappingCache cache(std::size_t{8} << 20);
    MappingCache::Use use(cache);
    EXPECT_EQ(MappingCache::current(), &cache);
    std::thread([] {
        EXPECT_EQ(MappingCache::current(), nullptr);
        ByteBuffer b;
        filled(b, kBig, 1);
    }).join();
    std::size_t n = 1;
    EXPECT_EQ(cache.take(n), nullptr);  // the other thread's buffer went back to the system
}

TEST(MappingCache, BuffersMayOutliveTheCache) {
    ByteBuffer survivor;
    {
        MappingCache cache(std::size_t{8} << 20);
        MappingCache::Use use(cache);
        ByteBuffer a;
        filled(a, kBig, 1);
        a.release();
        filled(survivor, kBig, 7);  // made from a's mapping
    }
    EXPECT_EQ(MappingCache::current(), nullptr);
    EXPECT_EQ(survivor.data()[kBig - 1], 7);
    survivor.release();  // unmapped directly
}

// Heap blocks: a buffer holding `freed` bytes is freed under the cache, then
// a block for `asked` bytes is taken: given only when large enough.
struct BlockCase {
    std::size_t freed, asked;
    bool given;
};
class HeapBlocks : public testing::TestWithParam<BlockCase> {};

TEST_P(HeapBlocks, AFreedBlockServesOnlyRequestsItCovers) {
    const BlockCase c = GetParam();
    MappingCache cache(kBig);
    std::size_t capacity;
    {
        MappingCache::Use use(cache);
        ByteBuffer a;
        filled(a, c.freed, 1);
        capacity = a.capacity();
    }
    std::size_t size = c.asked;
    void* block = cache.take_block(size);
    EXPECT_EQ(block != nullptr, c.given);
    if (block == nullptr) return;
    EXPECT_EQ(size, capacity);
    EXPECT_GE(size, c.asked);
    EXPECT_TRUE(cache.put_block(block, size));
}

INSTANTIATE_TEST_SUITE_P(Sizes, HeapBlocks,
                         testing::Values(BlockCase{8, 16, true},       // 24 bytes, smallest class
                                         BlockCase{8, 25, false},      // larger than the block
                                         BlockCase{100, 64, true},     // 120 bytes
                                         BlockCase{100, 121, false},   // one byte over it
                                         BlockCase{4080, 4096, true},  // the largest kept
                                         BlockCase{5000, 4096, false}));  // too large to keep

TEST(MappingCache, HeapBlocksOfOneSizeAreKeptEightAtATime) {
    MappingCache cache(kBig);
    {
        MappingCache::Use use(cache);
        std::vector<ByteBuffer> buffers(10);
        for (ByteBuffer& b : buffers) filled(b, 200, 1);
    }
    std::vector<std::pair<void*, std::size_t>> taken;
    for (std::size_t n = 128; void* block = cache.take_block(n); n = 128)
        taken.emplace_back(block, n);
    EXPECT_EQ(taken.size(), 8u);
    for (auto [block, n] : taken) EXPECT_TRUE(cache.put_block(block, n));
}

TEST(MappingCache, ABufferGrowingThroughHeldBlocksKeepsItsBytes) {
    MappingCache cache(kBig);
    MappingCache::Use use(cache);
    for (std::size_t n : {10, 40, 100, 300, 700, 1500, 3000}) {
        ByteBuffer b;
        filled(b, n, 0xEE);
    }
    ByteBuffer grown;
    for (std::size_t i = 0; i < 4000; ++i) filled(grown, 1, static_cast<unsigned char>(i % 251));
    for (std::size_t i = 0; i < 4000; ++i) ASSERT_EQ(grown.data()[i], i % 251) << i;
}

}  // namespace
