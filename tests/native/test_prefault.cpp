// Making pages ahead of their first write is advice only: whatever the
// region's start and size, bytes written before read back the same, bytes
// never written read zero, and the region stays writable.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>

#include "core/page_advice.hpp"

TEST(Prefault, KeepsEveryByteAndFreshBytesStayZero) {
    struct Region {
        std::size_t offset, size, written;  // from a page start; bytes made; written before
    };
    const Region cases[] = {
        {0, 0, 0}, {100, 3900, 16}, {10, 8192, 0}, {0, 36869, 4099}, {4000, 20480, 96}};
    for (const Region& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << "+" << c.size);
        const std::size_t room = c.offset + c.size + 4096;
        void* const map =
            mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(map, MAP_FAILED);
        auto* const p = static_cast<unsigned char*>(map) + c.offset;
        for (std::size_t i = 0; i < c.written; ++i) p[i] = static_cast<unsigned char>(i * 7 + 1);
        quarzel::prefault_pages(p, c.size);
        for (std::size_t i = 0; i < c.size; ++i)
            ASSERT_EQ(p[i], i < c.written ? static_cast<unsigned char>(i * 7 + 1) : 0) << i;
        std::memset(p, 0x5a, c.size);
        munmap(map, room);
    }
}
