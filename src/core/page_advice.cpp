#include "core/page_advice.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace quarzel {

#if defined(__linux__)
namespace {

// The whole pages of `page` bytes within `n` bytes from `p`: [first, last).
struct WholePages {
    std::uintptr_t first, last;
    bool empty() const noexcept { return first >= last; }
};

WholePages whole_pages(const void* p, std::size_t n, std::uintptr_t page) noexcept {
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    return {(start + page - 1) & ~(page - 1), (start + n) & ~(page - 1)};
}

}  // namespace
#endif

void advise_huge_pages(void* p, std::size_t n) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const WholePages r = whole_pages(p, n, kHugePage);
    if (n < kHugePage || r.empty()) return;
    // A failure (no such support, or a kernel that refuses) leaves the
    // memory as it was.
    (void)madvise(reinterpret_cast<void*>(r.first), r.last - r.first, MADV_HUGEPAGE);
#if defined(MADV_COLLAPSE)
    // An allocator may already have written to the first bytes of the
    // region (its own bookkeeping): a huge page that begins there then has
    // a small page in it, and would be faulted in small page by small
    // page. It is made a huge page now instead (Linux 6.1 and later).
    if (r.first == reinterpret_cast<std::uintptr_t>(p)) (void)madvise(p, kHugePage, MADV_COLLAPSE);
#endif
#else
    (void)p;
    (void)n;
#endif
}

void prefault_pages(void* p, std::size_t n) noexcept {
#if defined(__linux__)
#if !defined(MADV_POPULATE_WRITE)
    constexpr int MADV_POPULATE_WRITE = 23;  // headers older than the kernel
#endif
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const WholePages r = whole_pages(p, n, page);
    if (r.empty()) return;
    // A kernel without the call refuses it (EINVAL): the pages then come
    // one fault at a time, as they would have.
    (void)madvise(reinterpret_cast<void*>(r.first), r.last - r.first, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)n;
#endif
}

}  // namespace quarzel
