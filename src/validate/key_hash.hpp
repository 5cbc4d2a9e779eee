// Keys of rows as 64-bit hashes: each column's values hashed once (as its
// item compares values), rows combined from them, kept in an
// open-addressing set. Shared by the key and link checks. Private to
// src/validate.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "validate/check_context.hpp"

namespace quarzel::validate::detail {

// A 64-bit hash of a text: short ones (most keys) read as at most two pairs
// of overlapping words that together cover every byte, and mixed inline;
// longer ones by the library's hash. Equal texts hash equal; the hash lives
// only for one document's checks.
inline std::uint64_t text_hash(std::string_view t) noexcept {
    const auto mix = [](std::uint64_t x) {
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        return x ^ (x >> 31);
    };
    const std::size_t n = t.size();
    if (n > 16) return mix(std::hash<std::string_view>{}(t) + n);
    const char* p = t.data();
    std::uint64_t a = 0, b = 0;
    if (n >= 8) {
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + n - 8, 8);
    } else if (n >= 4) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        a = lo | std::uint64_t{hi} << 32;
    } else if (n > 0) {
        const auto* u = reinterpret_cast<const unsigned char*>(p);
        a = u[0] | std::uint64_t{u[n / 2]} << 8 | std::uint64_t{u[n - 1]} << 16;
    }
    return mix(a ^ mix(b + n));
}

// The words a short text (at most 16 bytes) is hashed from, read without
// passing either end: up to 7 bytes all in `a`, in order from its low byte
// (the rest 0, the top byte free: the caller puts the length there); 8 to
// 16 the first and the last 8 bytes. Bytes stay bytes, so a bytewise change
// of the text (ASCII folded) is the same change of the words.
struct ShortWords {
    std::uint64_t a = 0, b = 0;
};

inline ShortWords short_words(const char* p, std::size_t n) noexcept {
    ShortWords w;
    if (n >= 8) {
        std::memcpy(&w.a, p, 8);
        std::memcpy(&w.b, p + n - 8, 8);
    } else if (n >= 4) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        // Bytes 4 to n - 1 are the last n - 4 of `hi`.
        w.a = lo | (std::uint64_t{hi} >> (8 * (8 - n))) << 32;
    } else if (n > 0) {
        const auto* u = reinterpret_cast<const unsigned char*>(p);
        w.a = (u[0] | std::uint64_t{u[n / 2]} << 8 | std::uint64_t{u[n - 1]} << 16) &
              (~std::uint64_t{0} >> (64 - 8 * n));
    }
    return w;
}

// ASCII capitals to small letters in every byte of `w`; other bytes kept.
inline std::uint64_t fold_ascii_word(std::uint64_t w) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    const std::uint64_t low7 = w & (0x7F * kOnes);
    // Bit 7 of a byte set where it is at least 'A', and where above 'Z'
    // (no byte carries into the next).
    const std::uint64_t from_a = low7 + (0x80 - 'A') * kOnes;
    const std::uint64_t past_z = low7 + (0x80 - 'Z' - 1) * kOnes;
    const std::uint64_t capital = from_a & ~past_z & ~w & (0x80 * kOnes);
    return w | capital >> 2;
}

// A column value's hash from its words (short_words() of its `n` bytes):
// texts of up to 7 bytes one to one (their bytes and length packed into a
// word, then mixed by steps that lose nothing), longer ones as text_hash().
inline std::uint64_t words_hash(const ShortWords& w, std::size_t n) noexcept {
    if (n < 8) {
        std::uint64_t x = (w.a | std::uint64_t{n} << 56) * 0x9E3779B97F4A7C15ull;
        return x ^ (x >> 32);
    }
    const auto mix = [](std::uint64_t x) {
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        return x ^ (x >> 31);
    };
    return mix(w.a ^ mix(w.b + n));
}

inline std::uint64_t value_hash(std::string_view t) noexcept {
    if (t.size() > 16) return text_hash(t);
    return words_hash(short_words(t.data(), t.size()), t.size());
}

// value_hash() of the key that `compare` makes of `t` (see compare_key()),
// without making it where that is quick: ASCII folded in the words, and
// integers already written as compare_key() writes them taken as they are.
// Returns false when `t` is not a key (a Numeric value that is no number).
inline bool key_hash(std::string_view t, Compare compare, std::string& scratch,
                     std::uint64_t& out) {
    if (compare == Compare::Fold && t.size() <= 16) {
        ShortWords w = short_words(t.data(), t.size());
        if (((w.a | w.b) & 0x8080808080808080ull) == 0) {
            w.a = fold_ascii_word(w.a);
            w.b = fold_ascii_word(w.b);
            out = words_hash(w, t.size());
            return true;
        }
    } else if (compare == Compare::Numeric && !t.empty() && t.size() <= 15) {
        // -?[1-9][0-9]* or 0: compare_key() writes it back unchanged.
        std::size_t i = t[0] == '-' ? 1 : 0;
        bool canonical = i < t.size() && (t[i] != '0' || (i == 0 && t.size() == 1));
        for (; canonical && i < t.size(); ++i) canonical = t[i] >= '0' && t[i] <= '9';
        if (canonical) {
            out = value_hash(t);
            return true;
        }
    }
    if (!compare_key(t, compare, scratch)) return false;
    out = value_hash(scratch);
    return true;
}

// Each value of a column hashed once per block (as its item compares
// values), shared by every link that names the column: 0 for a null, 1 for
// a list or table, else the value's 64-bit hash. A thread keeps one from
// block to block, its hash vectors cleared (not freed) by clear().
class ColumnHashes {
public:
    static constexpr std::uint64_t kNull = 0, kCompound = 1;

    // Forgets every column (a new block's columns may be at their
    // addresses). What a small file's block needs is kept (at most 1 MiB);
    // the vectors of long columns, and of columns past the 64th, are freed.
    void clear() {
        constexpr std::size_t kKeptValues = 2048, kKeptVectors = 64;
        if (pool_.size() > kKeptVectors) pool_.resize(kKeptVectors);
        for (std::size_t i = 0; i < used_ && i < pool_.size(); ++i)
            if (pool_[i]->capacity() > kKeptValues) std::vector<std::uint64_t>().swap(*pool_[i]);
        index_.clear();
        used_ = 0;
    }

    // The hashes of `col`, valid until clear().
    const std::vector<std::uint64_t>& of(const ValueColumn& col, Compare compare) {
        const Key key{&col, compare};
        auto it = std::lower_bound(index_.begin(), index_.end(), key,
                                   [](const Entry& e, const Key& k) { return e.key < k; });
        if (it != index_.end() && it->key == key) return *it->hashes;
        if (used_ == pool_.size()) pool_.push_back(std::make_unique<std::vector<std::uint64_t>>());
        std::vector<std::uint64_t>& out = *pool_[used_++];
        index_.insert(it, Entry{key, &out});
        out.resize(col.size());
        std::string scratch;
        const auto hash = [&](std::string_view v) -> std::uint64_t {
            bool null;
            const std::string_view key = scalar_text(ValueRef{v}, null);
            if (null) return kNull;
            if (compare == Compare::Exact) return value_hash(key) | 2;
            std::uint64_t h;
            // A Numeric value that is no number keys as itself.
            if (!key_hash(key, compare, scratch, h)) h = value_hash(key);
            return h | 2;
        };
        if (col.side_values().empty()) {
            if (const RefColumn* refs = col.refs_column()) {
                std::size_t r = 0;
                if (compare == Compare::Exact) {
                    const ColumnBase& base = refs->base();
                    // Slices that start before this offset have 8 bytes to read.
                    const std::uintptr_t end8 = base.size >= 8 ? base.size - 7 : 0;
                    std::uint64_t* to = out.data();
                    refs->for_each_slice([&](std::string_view v) { *to++ = exact(v, base, end8); });
                    return out;
                }
                refs->for_each_slice([&](std::string_view v) { out[r++] = hash(v); });
                return out;
            }
        }
        for (std::size_t r = 0; r < col.size(); ++r) {
            const ValueRef ref = col[r];
            out[r] = ref.compound ? kCompound : hash(ref.text);
        }
        return out;
    }

private:
    // A slice of `base` compared exactly, as of() hashes a value: one of
    // fewer than 8 bytes read as one word where 8 bytes of the text are
    // there to read (the bytes past it masked off), as short_words() puts it.
    // `end8`: slices of `base` that start before this offset have 8 bytes
    // to read.
    static std::uint64_t exact(std::string_view v, const ColumnBase& base,
                               std::uintptr_t end8) noexcept {
        const std::size_t n = v.size();
        if constexpr (std::endian::native == std::endian::little) {
            if (n - 1 < 7 && base.offset_of(v) < end8) {
                std::uint64_t a;
                std::memcpy(&a, v.data(), 8);
                a &= ~std::uint64_t{0} >> (64 - 8 * n);
                // A bare "?" or "." is a null; a quoted one (kept with its
                // quotes) and every text starting with a quote go the long way.
                if (a == '?' || a == '.') {
                    if (n == 1) return kNull;
                } else if ((a & 0xFF) != '"') {
                    return words_hash(ShortWords{a, 0}, n) | 2;
                }
            }
        }
        if (n == 1 && (v[0] == '?' || v[0] == '.')) return kNull;
        bool null;
        return value_hash(scalar_text(ValueRef{v}, null)) | 2;
    }

    using Key = std::pair<const ValueColumn*, Compare>;
    struct Entry {
        Key key;
        std::vector<std::uint64_t>* hashes;
    };
    std::vector<Entry> index_;  // by key
    // Hash vectors, the first used_ in use; each keeps its place when more
    // are added.
    std::vector<std::unique_ptr<std::vector<std::uint64_t>>> pool_;
    std::size_t used_ = 0;
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
    // Where a key's probe starts: above its two low bits, which column
    // hashes (bit 1 always set) and combined keys (bit 0) leave uneven.
    static constexpr std::size_t home(std::uint64_t h) noexcept {
        return static_cast<std::size_t>(h >> 2);
    }

    void reserve(std::size_t n) {
        std::size_t size = 16;
        while (size < 2 * n) size *= 2;
        slots_.assign(size, 0);
    }
    void insert(std::uint64_t h) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        for (std::size_t s = home(h) & (slots_.size() - 1);; s = (s + 1) & (slots_.size() - 1)) {
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
        for (std::size_t s = home(h) & (slots_.size() - 1);; s = (s + 1) & (slots_.size() - 1)) {
            if (slots_[s] == h) return true;
            if (slots_[s] == 0) return false;
        }
    }

    // The table as it stands, for lookups in a loop that also writes
    // elsewhere (the table's place and size then stay in registers).
    class Lookup {
    public:
        bool contains(std::uint64_t h) const noexcept {
            for (std::size_t s = home(h) & mask_;; s = (s + 1) & mask_) {
                if (slots_[s] == h) return true;
                if (slots_[s] == 0) return false;
            }
        }

    private:
        friend class HashSet;
        Lookup(const std::uint64_t* slots, std::size_t mask) : slots_(slots), mask_(mask) {}
        const std::uint64_t* slots_;
        std::size_t mask_;
    };
    // Valid until the set changes; keys are never 0.
    Lookup lookup() const noexcept {
        static constexpr std::uint64_t kFree[1] = {0};  // an empty set: one free slot
        return slots_.empty() ? Lookup(kFree, 0) : Lookup(slots_.data(), slots_.size() - 1);
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
