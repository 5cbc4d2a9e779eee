#include "core/prefault.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace quarzel {

void prefault_pages(void* p, std::size_t n) noexcept {
#if defined(__linux__)
#if !defined(MADV_POPULATE_WRITE)
    constexpr int MADV_POPULATE_WRITE = 23;  // headers older than the kernel
#endif
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (start + page - 1) & ~(page - 1);
    const std::uintptr_t last = (start + n) & ~(page - 1);
    if (first >= last) return;
    // A kernel without the call refuses it (EINVAL): the pages then come
    // one fault at a time, as they would have.
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)n;
#endif
}

}  // namespace quarzel
