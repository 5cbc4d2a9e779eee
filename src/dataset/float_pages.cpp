#include "dataset/float_pages.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "dataset/pages.hpp"

namespace quarzel::dataset {

namespace {

// Tables kept from chunk to chunk unless larger (entries).
constexpr std::size_t kKeepEntries = std::size_t{1} << 16;

std::uint64_t load8(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Widths pack_groups takes: eight codes in at most 16 bytes.
constexpr int kMaxGroupWidth = 16;

// Eight codes of W bits, the first in the lowest bits, as 8 * W bits.
template <int W>
unsigned char* pack_groups_of(const std::uint32_t* codes, std::size_t groups, unsigned char* o) {
    for (std::size_t g = 0; g < groups; ++g, codes += 8, o += W) {
        if constexpr (W <= 8) {
            std::uint64_t word = 0;
            for (int k = 0; k < 8; ++k) word |= std::uint64_t{codes[k]} << (k * W);
            std::memcpy(o, &word, 8);
        } else {
            std::uint64_t lo = 0, hi = 0;  // four codes each
            for (int k = 0; k < 4; ++k) {
                lo |= std::uint64_t{codes[k]} << (k * W);
                hi |= std::uint64_t{codes[4 + k]} << (k * W);
            }
            const unsigned __int128 both = lo | (static_cast<unsigned __int128>(hi) << (4 * W));
            std::memcpy(o, &both, 16);
        }
    }
    return o;
}

// Packs `groups` groups of eight codes of `width` bits (1 to
// kMaxGroupWidth); writes up to 16 bytes past the last group's.
template <int... W>
unsigned char* pack_groups_by(int width, const std::uint32_t* codes, std::size_t groups,
                              unsigned char* o, std::integer_sequence<int, W...>) {
    unsigned char* end = o;
    ((width == W + 1 ? (end = pack_groups_of<W + 1>(codes, groups, o), 0) : 0), ...);
    return end;
}

unsigned char* pack_groups(const std::uint32_t* codes, std::size_t groups, int width,
                           unsigned char* o) {
    return pack_groups_by(width, codes, groups, o,
                          std::make_integer_sequence<int, kMaxGroupWidth>{});
}

}  // namespace

bool ValueDictionary::build(const unsigned char* data, std::size_t count, std::size_t limit) {
    values_.clear();
    codes_.resize(count);
    // At most half the slots are ever taken.
    const int bits = std::max(4, std::bit_width(2 * limit - (limit != 0)));
    const std::size_t slots = std::size_t{1} << bits;
    const std::size_t mask = slots - 1;
    slots_.assign(slots, 0);
    keys_.resize(slots);
    std::uint64_t last = 0;
    std::uint32_t last_code = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t v = load8(data + 8 * i);
        if (v == last && i != 0) {  // runs of one value are common
            codes_[i] = last_code;
            continue;
        }
        std::size_t h = (v * 0x9E3779B97F4A7C15ULL) >> (64 - bits);
        for (;; h = (h + 1) & mask) {
            const std::uint32_t s = slots_[h];
            if (s == 0) {
                if (values_.size() == limit) return false;
                values_.push_back(v);
                keys_[h] = v;
                slots_[h] = static_cast<std::uint32_t>(values_.size());
                last_code = static_cast<std::uint32_t>(values_.size() - 1);
                break;
            }
            if (keys_[h] == v) {
                last_code = s - 1;
                break;
            }
        }
        codes_[i] = last_code;
        last = v;
    }
    return true;
}

int ValueDictionary::bit_width() const noexcept {
    return std::max(1, static_cast<int>(std::bit_width(values_.size() - (!values_.empty()))));
}

void ValueDictionary::reset() {
    if (slots_.capacity() > kKeepEntries) {
        std::vector<std::uint32_t>().swap(slots_);
        std::vector<std::uint64_t>().swap(keys_);
    }
    if (codes_.capacity() > kKeepEntries) std::vector<std::uint32_t>().swap(codes_);
    values_.clear();
    codes_.clear();
}

void put_codes(const std::uint32_t* codes, std::size_t n, int width, std::string& out) {
    const std::size_t value_bytes = (static_cast<std::size_t>(width) + 7) / 8;
    // Room for the most the codes can take: a header and a group's bytes per
    // group, or a run per group; 16 bytes over for whole-word stores.
    const std::size_t at = out.size();
    out.resize(at + (n / 8 + 2) * (static_cast<std::size_t>(width) + 16) + 16);
    auto* const begin = reinterpret_cast<unsigned char*>(out.data() + at);
    unsigned char* o = begin;
    const auto varint = [&](std::uint64_t v) {
        for (; v >= 0x80; v >>= 7) *o++ = static_cast<unsigned char>((v & 0x7F) | 0x80);
        *o++ = static_cast<unsigned char>(v);
    };
    // Packs codes [from, end) by groups of eight, the last group filled
    // with zeros.
    const auto pack = [&](std::size_t from, std::size_t end) {
        if (end == from) return;
        const std::size_t groups = (end - from + 7) / 8;
        varint((std::uint64_t{groups} << 1) | 1);
        const std::size_t whole = (end - from) / 8;
        if (width <= kMaxGroupWidth) {
            o = pack_groups(codes + from, whole, width, o);
            if (whole != groups) {
                std::uint32_t last[8] = {};
                std::memcpy(last, codes + from + 8 * whole, 4 * (end - from - 8 * whole));
                o = pack_groups(last, 1, width, o);
            }
            return;
        }
        std::uint64_t acc = 0;
        int held = 0;
        for (std::size_t k = from; k < from + 8 * groups; ++k) {
            acc |= std::uint64_t{k < end ? codes[k] : 0} << held;
            held += width;
            if (held >= 32) {
                const auto word = static_cast<std::uint32_t>(acc);
                std::memcpy(o, &word, 4);
                o += 4;
                acc >>= 32;
                held -= 32;
            }
        }
        // Eight codes end on a whole byte.
        std::memcpy(o, &acc, 8);
        o += held / 8;
    };
    // Groups of eight from the start: a group of one code starts a run,
    // which takes the equal codes after it; any other group is packed.
    std::size_t packed_from = 0, i = 0;
    while (i + 8 <= n) {
        const std::uint32_t c = codes[i];
        std::uint32_t differ = 0;
        for (std::size_t k = 1; k < 8; ++k) differ |= codes[i + k] ^ c;
        if (differ) {
            i += 8;
            continue;
        }
        pack(packed_from, i);
        std::size_t j = i + 8;
        while (j < n && codes[j] == c) ++j;
        varint(std::uint64_t{j - i} << 1);
        for (std::size_t b = 0; b < value_bytes; ++b)
            *o++ = static_cast<unsigned char>((c >> (8 * b)) & 0xFF);
        i = packed_from = j;
    }
    pack(packed_from, n);
    out.resize(at + static_cast<std::size_t>(o - begin));
}

void put_split_bytes(const unsigned char* data, std::size_t count, std::string& out) {
    const std::size_t at = out.size();
    out.resize(at + 8 * count);
    auto* streams = reinterpret_cast<unsigned char*>(out.data() + at);
    std::size_t i = 0;
    // Eight values at a time: their 8 x 8 bytes transposed in registers
    // (halves, quarters, then bytes swapped across), a word to each stream.
    for (; i + 8 <= count; i += 8) {
        std::uint64_t r[8];
        for (std::size_t k = 0; k < 8; ++k) r[k] = load8(data + 8 * (i + k));
        for (std::size_t k = 0; k < 4; ++k) {
            const std::uint64_t t = ((r[k] >> 32) ^ r[k + 4]) & 0x00000000FFFFFFFFULL;
            r[k] ^= t << 32;
            r[k + 4] ^= t;
        }
        for (std::size_t k : {0, 1, 4, 5}) {
            const std::uint64_t t = ((r[k] >> 16) ^ r[k + 2]) & 0x0000FFFF0000FFFFULL;
            r[k] ^= t << 16;
            r[k + 2] ^= t;
        }
        for (std::size_t k : {0, 2, 4, 6}) {
            const std::uint64_t t = ((r[k] >> 8) ^ r[k + 1]) & 0x00FF00FF00FF00FFULL;
            r[k] ^= t << 8;
            r[k + 1] ^= t;
        }
        for (std::size_t b = 0; b < 8; ++b) std::memcpy(streams + b * count + i, &r[b], 8);
    }
    for (; i < count; ++i) {
        const unsigned char* v = data + 8 * i;
        for (std::size_t b = 0; b < 8; ++b) streams[b * count + i] = v[b];
    }
}

}  // namespace quarzel::dataset
