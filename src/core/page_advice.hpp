// Fresh memory about to be written whole, and how its pages are made.
// Without advice the system makes a 4 KiB page at the first write to it, a
// fault each; tens of megabytes new to the process then cost more in faults
// than in the writing.
#pragma once

#include <cstddef>

namespace quarzel {

// The size of the pages asked for, and the alignment that lets a region
// start on one.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Asks for huge pages over the whole 2 MiB pages within `n` bytes from `p`
// (none when the region holds none, or off Linux), the first made one at
// once when `p` starts it: one fault per 2 MiB instead of 512. Only advice:
// the memory reads and writes as before whatever the system does with it.
// The advice stays with the memory once it is freed (what the allocator
// later makes of those 2 MiB pages may be given huge pages too).
void advise_huge_pages(void* p, std::size_t n) noexcept;

// Makes the whole pages within `n` bytes from `p` present and writable in
// one call to the system (a fault costs several times what making the same
// page in a batch does); none when the region holds none, or where the
// system has no such call: Linux before 5.14, other systems. Only advice:
// the memory reads and writes as before whatever the system does with it.
// Pages that are present already are left as they are.
void prefault_pages(void* p, std::size_t n) noexcept;

}  // namespace quarzel
