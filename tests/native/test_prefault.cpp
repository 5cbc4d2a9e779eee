// Making pages ahead of their first write is advice only: whatever the
// region's start and size (whole pages within or none), bytes written before
// read back the same, bytes never written still read zero, and the whole
// region stays writable.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstddef>
#include <cstring>

#include "core/prefault.hpp"

namespace {

using quarzel::prefault_pages;

constexpr std::size_t kPage = 4096;

struct Region {
    const char* name;
    std::size_t offset;   // from a page boundary
    std::size_t size;     // bytes made
    std::size_t written;  // bytes written before (as an allocator writes its own)
};

TEST(Prefault, KeepsEveryByteAndFreshBytesStayZero) {
    const Region cases[] = {
        {"none: empty", 0, 0, 0},
        {"none: within one page", 100, kPage - 200, 16},
        {"one whole page, unaligned both ends", 10, 2 * kPage, 0},
        {"pages, the start written", 0, 9 * kPage + 5, kPage + 3},
        {"pages, a page partly written", 4000, 5 * kPage, 96},
    };
    for (const Region& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t room = c.offset + c.size + kPage;
        void* const map =
            mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(map, MAP_FAILED);
        auto* const p = static_cast<unsigned char*>(map) + c.offset;
        for (std::size_t i = 0; i < c.written; ++i) p[i] = static_cast<unsigned char>(i * 7 + 1);
        prefault_pages(p, c.size);
        for (std::size_t i = 0; i < c.written; ++i)
            ASSERT_EQ(p[i], static_cast<unsigned char>(i * 7 + 1)) << "byte " << i;
        for (std::size_t i = c.written; i < c.size; ++i) ASSERT_EQ(p[i], 0) << "byte " << i;
        std::memset(p, 0x5a, c.size);
        for (std::size_t i = 0; i < c.size; ++i) ASSERT_EQ(p[i], 0x5a) << "byte " << i;
        munmap(map, room);
    }
}

}  // namespace
