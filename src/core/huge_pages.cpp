#include "core/huge_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quarzel {

void advise_huge_pages(void* p, std::size_t n) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
    const std::uintptr_t last = (start + n) & ~std::uintptr_t{kHugePage - 1};
    if (n < kHugePage || first >= last) return;
    // A failure (no such support, or a kernel that refuses) leaves the
    // memory as it was.
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#if defined(MADV_COLLAPSE)
    // An allocator may already have written to the first bytes of the
    // region (its own bookkeeping): a huge page that begins there then has
    // a small page in it, and would be faulted in small page by small
    // page. It is made a huge page now instead (Linux 6.1 and later).
    if (first == start) (void)madvise(reinterpret_cast<void*>(first), kHugePage, MADV_COLLAPSE);
#endif
#else
    (void)p;
    (void)n;
#endif
}

}  // namespace quarzel
