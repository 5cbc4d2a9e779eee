// Fresh memory about to be written whole, its pages made in one call to
// the system instead of one fault each on the first write to each page
// (a fault costs several times what making the same page in a batch does).
#pragma once

#include <cstddef>

namespace quarzel {

// Makes the whole pages within `n` bytes from `p` present and writable
// (none when the region holds none, or where the system has no such call:
// Linux before 5.14, other systems). Only advice: the memory reads and
// writes as before whatever the system does with it. Pages that are
// present already are left as they are.
void prefault_pages(void* p, std::size_t n) noexcept;

}  // namespace quarzel
