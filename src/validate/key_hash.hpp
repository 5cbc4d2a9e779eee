// Keys of rows as 64-bit hashes: each column's values hashed once (as its
// item compares values), rows combined from them, kept in an
// open-addressing set. Shared by the key and link checks. Private to
// src/validate.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "validate/check_context.hpp"

namespace quarzel::validate::detail {

// A 64-bit hash of a text: short ones (most keys) read as two words and
// mixed inline, longer ones by the library's hash.
inline std::uint64_t text_hash(std::string_view t) noexcept {
    const auto mix = [](std::uint64_t x) {
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        return x ^ (x >> 31);
    };
    const std::size_t n = t.size();
    if (n > 16) return mix(std::hash<std::string_view>{}(t) + n);
    // Byte by byte: no call for the few bytes of a typical key.
    std::uint64_t a = 0, b = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(t.data());
    for (std::size_t i = 0; i < n && i < 8; ++i) a |= std::uint64_t{p[i]} << (8 * i);
    for (std::size_t i = 8; i < n; ++i) b |= std::uint64_t{p[i]} << (8 * (i - 8));
    return mix(a ^ mix(b + n));
}

// Each value of a column hashed once per block (as its item compares
// values), shared by every link that names the column: 0 for a null, 1 for
// a list or table, else the value's 64-bit hash.
class ColumnHashes {
public:
    static constexpr std::uint64_t kNull = 0, kCompound = 1;

    const std::vector<std::uint64_t>& of(const ValueColumn& col, Compare compare) {
        auto [it, fresh] = cache_.try_emplace({&col, compare});
        if (!fresh) return it->second;
        std::vector<std::uint64_t>& out = it->second;
        out.resize(col.size());
        std::string scratch;
        if (compare == Compare::Exact && col.side_values().empty()) {
            if (const RefColumn* refs = col.refs_column()) {
                std::size_t r = 0;
                refs->for_each_slice([&](std::string_view v) {
                    bool null;
                    const std::string_view key = scalar_text(ValueRef{v}, null);
                    out[r++] = null ? kNull : text_hash(key) | 2;
                });
                return out;
            }
        }
        for (std::size_t r = 0; r < col.size(); ++r) {
            const ValueRef ref = col[r];
            if (ref.compound) {
                out[r] = kCompound;
                continue;
            }
            bool null;
            std::string_view key = scalar_text(ref, null);
            if (null) {
                out[r] = kNull;
                continue;
            }
            if (compare != Compare::Exact && compare_key(key, compare, scratch)) key = scratch;
            out[r] = text_hash(key) | 2;
        }
        return out;
    }

private:
    std::map<std::pair<const ValueColumn*, Compare>, std::vector<std::uint64_t>> cache_;
};

// A row's key under a link: its components' hashes combined (two rows
// agree when their keys do; a false agreement needs a collision of 64-bit
// hashes).
class KeyHash {
public:
    void reset() noexcept { h_ = 0x9E3779B97F4A7C15ull; }
    void add(std::uint64_t component) noexcept {
        std::uint64_t x = (h_ ^ component) * 0x94D049BB133111EBull;
        h_ = x ^ (x >> 31);
    }
    std::uint64_t value() const noexcept { return h_ | 1; }  // never 0 (a free slot)

private:
    std::uint64_t h_ = 0;
};

// Open addressing over 64-bit keys (0 free).
class HashSet {
public:
    void reserve(std::size_t n) {
        std::size_t size = 16;
        while (size < 2 * n) size *= 2;
        slots_.assign(size, 0);
    }
    void insert(std::uint64_t h) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        for (std::size_t s = h & (slots_.size() - 1);; s = (s + 1) & (slots_.size() - 1)) {
            if (slots_[s] == h) return;
            if (slots_[s] == 0) {
                slots_[s] = h;
                ++count_;
                return;
            }
        }
    }
    bool contains(std::uint64_t h) const {
        if (slots_.empty()) return false;
        for (std::size_t s = h & (slots_.size() - 1);; s = (s + 1) & (slots_.size() - 1)) {
            if (slots_[s] == h) return true;
            if (slots_[s] == 0) return false;
        }
    }

private:
    void grow() {
        std::vector<std::uint64_t> old = std::move(slots_);
        reserve(old.size() + 16);
        count_ = 0;
        for (std::uint64_t h : old)
            if (h) insert(h);
    }
    std::vector<std::uint64_t> slots_;
    std::size_t count_ = 0;
};

}  // namespace quarzel::validate::detail
