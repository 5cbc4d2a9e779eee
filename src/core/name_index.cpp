#include "core/name_index.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

namespace quarzel {

// Names are short (tags of a few dozen bytes): eight bytes at a time, each
// word mixed in by a multiplication, the tail read as one last word.
std::uint64_t NameIndex::hash(std::string_view name) noexcept {
    const char* p = name.data();
    std::size_t n = name.size();
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    // The last bytes as a word with zeros above them; from a name of eight
    // or more, out of the eight bytes that end it (no copy of a length
    // known only now).
    std::uint64_t w = 0;
    if (n != 0) {
        if (std::endian::native == std::endian::little && name.size() >= 8) {
            std::memcpy(&w, p + n - 8, 8);
            w >>= 8 * (8 - n);
        } else {
            std::memcpy(&w, p, n);
        }
    }
    h = (h ^ w) * 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 29);
}

namespace {

// A slot keeps the hash's high half, which also chooses the slot.
constexpr std::uint64_t kHashPart = 0xFFFFFFFF00000000ull;
constexpr std::uint64_t kPositionPart = 0xFFFFFFFFull;

}  // namespace

std::size_t NameIndex::find_hashed(std::span<const std::string_view> names, std::string_view name,
                                   std::uint64_t h) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t tag = h & kHashPart;
    for (std::size_t slot = static_cast<std::size_t>(h >> 32) & mask;; slot = (slot + 1) & mask) {
        const std::uint64_t entry = slots_[slot];
        if (entry == 0) return npos;
        if ((entry & kHashPart) != tag) continue;
        const std::size_t position = static_cast<std::size_t>(entry & kPositionPart) - 1;
        if (names[position] == name) return position;
    }
}

void NameIndex::appended(std::span<const std::string_view> names, std::uint64_t h) {
    const std::size_t n = names.size();
    if (n < kHashFrom && slots_.empty()) return;
    if (n >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::bad_alloc();
    if (slots_.size() < 2 * n)
        rebuild(names, n, &h);
    else
        insert(h, n - 1);
}

void NameIndex::reserve(std::span<const std::string_view> names, std::size_t n) {
    if (n < kHashFrom || n < names.size() || slots_.size() >= 2 * n) return;
    if (n >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::bad_alloc();
    rebuild(names, n, nullptr);
}

// Rebuilt with room for twice as many: at most half full. The names filed
// so far go in again in the order of their positions (their hashes are in
// their slots), those of a table not begun yet hashed; `last`, when given,
// is the hash of the last name, which has no slot yet.
void NameIndex::rebuild(std::span<const std::string_view> names, std::size_t n,
                        const std::uint64_t* last) {
    const std::size_t count = names.size();
    const std::size_t unfiled = last != nullptr ? 1 : 0;
    std::vector<std::uint64_t> hashes(count);
    if (slots_.empty()) {
        for (std::size_t i = 0; i + unfiled < count; ++i) hashes[i] = hash(names[i]);
    } else {
        for (const std::uint64_t entry : slots_)
            if (entry != 0) hashes[(entry & kPositionPart) - 1] = entry & kHashPart;
    }
    if (last != nullptr) hashes[count - 1] = *last;
    std::size_t size = 16;
    while (size < 4 * n) size *= 2;
    slots_.assign(size, 0);
    for (std::size_t i = 0; i < count; ++i) insert(hashes[i], i);
}

// Positions go in in increasing order, each after the occupied slots of its
// probe chain: of a repeated name, find() meets the first position first.
void NameIndex::insert(std::uint64_t h, std::size_t position) noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = static_cast<std::size_t>(h >> 32) & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = (h & kHashPart) | (position + 1);
}

}  // namespace quarzel
