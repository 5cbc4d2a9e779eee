#include "core/name_index.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

namespace quarzel {

namespace {

// Names are short (tags of a few dozen bytes): eight bytes at a time, each
// word mixed in by a multiplication, the tail read as one last word.
std::size_t name_hash(std::string_view name) noexcept {
    const char* p = name.data();
    std::size_t n = name.size();
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    std::uint64_t w = 0;
    if (n != 0) std::memcpy(&w, p, n);
    h = (h ^ w) * 0xC4CEB9FE1A85EC53ull;
    return static_cast<std::size_t>(h ^ (h >> 29));
}

}  // namespace

std::size_t NameIndex::find_hashed(std::span<const std::string_view> names,
                                   std::string_view name) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = name_hash(name) & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t entry = slots_[slot];
        if (entry == 0) return npos;
        if (names[entry - 1] == name) return entry - 1;
    }
}

void NameIndex::appended(std::span<const std::string_view> names) {
    const std::size_t n = names.size();
    if (n < kHashFrom) return;
    if (n >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::bad_alloc();
    if (slots_.size() < 2 * n) {
        // Rebuilt at twice the size: at most half full.
        std::size_t size = 16;
        while (size < 4 * n) size *= 2;
        slots_.assign(size, 0);
        for (std::size_t i = 0; i < n; ++i) insert(names, i);
    } else {
        insert(names, n - 1);
    }
}

// Positions go in in increasing order, each after the occupied slots of its
// probe chain: of a repeated name, find() meets the first position first.
void NameIndex::insert(std::span<const std::string_view> names, std::size_t position) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = name_hash(names[position]) & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<std::uint32_t>(position + 1);
}

}  // namespace quarzel
