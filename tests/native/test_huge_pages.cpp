// Asking for huge pages is advice only: whatever the region's start and
// size (huge pages within or none), every byte written before reads back
// the same afterwards, and the whole region stays writable.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/page_advice.hpp"

namespace {

using quarzel::advise_huge_pages;
using quarzel::kHugePage;

struct Region {
    const char* name;
    std::size_t offset;   // from a 2 MiB boundary
    std::size_t size;     // bytes advised
    std::size_t written;  // bytes written before (as an allocator writes its own)
};

TEST(HugePages, AdviceKeepsEveryByte) {
    const Region cases[] = {
        {"none: empty", 0, 0, 0},
        {"none: less than a page", 0, kHugePage - 1, 64},
        {"three pages, the start written", 0, 3 * kHugePage + 100, 4096},
        {"pages within, unaligned start", 123, 3 * kHugePage, 5000},
    };
    const std::size_t room = 5 * kHugePage;
    auto* const raw = static_cast<unsigned char*>(std::aligned_alloc(kHugePage, room));
    ASSERT_NE(raw, nullptr);
    const std::unique_ptr<unsigned char, decltype(&std::free)> owned(raw, &std::free);
    for (const Region& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned char* const p = raw + c.offset;
        for (std::size_t i = 0; i < c.written; ++i) p[i] = static_cast<unsigned char>(i * 7 + 1);
        advise_huge_pages(p, c.size);
        for (std::size_t i = 0; i < c.written; ++i)
            ASSERT_EQ(p[i], static_cast<unsigned char>(i * 7 + 1)) << "byte " << i;
        std::memset(p, 0x5a, c.size);
        for (std::size_t i = 0; i < c.size; i += 4093) ASSERT_EQ(p[i], 0x5a) << "byte " << i;
        if (c.size != 0) {
            EXPECT_EQ(p[c.size - 1], 0x5a);
        }
    }
}

}  // namespace
