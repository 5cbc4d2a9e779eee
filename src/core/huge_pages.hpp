// Fresh memory about to be written whole, asked to be backed by 2 MiB
// pages where the system offers them on request: the first write to each
// such page costs one fault instead of 512 (the cost that dominates the
// first pass over tens of megabytes new to the process).
#pragma once

#include <cstddef>

namespace quarzel {

// The size of the pages asked for, and the alignment that lets a region
// start on one.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Asks for huge pages over the whole 2 MiB pages within `n` bytes from `p`
// (none when the region holds none, or off Linux), the first made one at
// once when `p` starts it. Only advice: the memory reads and writes as
// before whatever the system does with it. The advice stays with the
// memory once it is freed (what the allocator later makes of those 2 MiB
// pages may be given huge pages too).
void advise_huge_pages(void* p, std::size_t n) noexcept;

}  // namespace quarzel
