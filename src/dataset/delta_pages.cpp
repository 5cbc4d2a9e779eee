#include "dataset/delta_pages.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "dataset/pages.hpp"

namespace quarzel::dataset {

namespace {

constexpr std::size_t kBlock = 128;  // differences a block
constexpr std::size_t kGroups = 4;   // groups of a block
constexpr std::size_t kGroup = kBlock / kGroups;

std::uint64_t zigzag(std::uint64_t v) {
    return (v << 1) ^ (0 - (v >> 63));
}

// The 32 differences at `d` less `least` in W bits each (1 to 64), the
// first in the lowest bits: 4 * W bytes at `o`.
template <unsigned W>
unsigned char* pack_group_of(const std::uint64_t* d, std::uint64_t least, unsigned char* o) {
    if constexpr (W == 64) {
        for (std::size_t k = 0; k < kGroup; ++k, o += 8) {
            const std::uint64_t v = d[k] - least;
            std::memcpy(o, &v, 8);
        }
        return o;
    } else {
        std::uint64_t word = 0;
        unsigned bits = 0;
        for (std::size_t k = 0; k < kGroup; ++k) {
            const std::uint64_t v = d[k] - least;
            word |= v << bits;
            bits += W;
            if (bits >= 64) {
                std::memcpy(o, &word, 8);
                o += 8;
                bits -= 64;
                word = bits != 0 ? v >> (W - bits) : 0;
            }
        }
        if (bits != 0) {  // 32 * W bits end on a half word
            std::memcpy(o, &word, 4);
            o += 4;
        }
        return o;
    }
}

using PackGroup = unsigned char* (*)(const std::uint64_t*, std::uint64_t, unsigned char*);

// pack_group_of<W> at [W - 1], W from 1 to 64.
template <unsigned... W>
constexpr std::array<PackGroup, sizeof...(W)> pack_groups(std::integer_sequence<unsigned, W...>) {
    return {&pack_group_of<W + 1>...};
}
constexpr auto kPackGroup = pack_groups(std::make_integer_sequence<unsigned, 64>{});

}  // namespace

void put_delta_packed(const unsigned char* data, std::size_t count, std::string& out) {
    const auto value = [data](std::size_t i) {
        std::uint64_t v;
        std::memcpy(&v, data + 8 * i, 8);
        return v;
    };
    put_varint(out, kBlock);
    put_varint(out, kGroups);
    put_varint(out, count);
    put_varint(out, count != 0 ? zigzag(value(0)) : 0);
    std::uint64_t d[kBlock];
    // A block: its least difference, the groups' widths, the packed groups.
    unsigned char block[10 + kGroups + 8 * kBlock];
    for (std::size_t first = 1; first < count; first += kBlock) {
        const std::size_t n = std::min(kBlock, count - first);
        std::int64_t least = std::numeric_limits<std::int64_t>::max();
        std::int64_t most[kGroups];
        for (std::size_t g = 0; g < kGroups; ++g) {
            std::int64_t lo = std::numeric_limits<std::int64_t>::max();
            std::int64_t hi = std::numeric_limits<std::int64_t>::min();
            const std::size_t from = g * kGroup, to = std::min(n, from + kGroup);
            for (std::size_t k = from; k < to; ++k) {
                const auto s = static_cast<std::int64_t>(value(first + k) - value(first + k - 1));
                d[k] = static_cast<std::uint64_t>(s);
                lo = std::min(lo, s);
                hi = std::max(hi, s);
            }
            least = std::min(least, lo);
            most[g] = hi;
        }
        // The rest of the last group packs as zeros.
        std::fill(d + n, d + kBlock, static_cast<std::uint64_t>(least));
        unsigned char* o = block;
        std::uint64_t z = zigzag(static_cast<std::uint64_t>(least));
        for (; z >= 0x80; z >>= 7) *o++ = static_cast<unsigned char>((z & 0x7F) | 0x80);
        *o++ = static_cast<unsigned char>(z);
        unsigned width[kGroups];
        for (std::size_t g = 0; g < kGroups; ++g) {
            // Values at most 2^63 apart: the spread fits 64 bits.
            width[g] =
                g * kGroup < n
                    ? static_cast<unsigned>(std::bit_width(static_cast<std::uint64_t>(most[g]) -
                                                           static_cast<std::uint64_t>(least)))
                    : 0;
            *o++ = static_cast<unsigned char>(width[g]);
        }
        // Only the groups that hold differences follow.
        for (std::size_t g = 0; g * kGroup < n; ++g)
            if (width[g] != 0)
                o = kPackGroup[width[g] - 1](d + g * kGroup, static_cast<std::uint64_t>(least), o);
        out.append(reinterpret_cast<const char*>(block), static_cast<std::size_t>(o - block));
    }
}

}  // namespace quarzel::dataset
