// Finding a name among a list of names that the caller keeps and only
// appends to: scanned in order while the list is short (most frames, loops
// and headers name a few tags), hashed from kHashFrom names on, so that
// long lists stay linear overall.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace quarzel {

class NameIndex {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    static constexpr std::size_t kHashFrom = 9;

    // The hash the index files `name` under: a caller that looks a name up
    // in several indexes works it out once and passes it on.
    static std::uint64_t hash(std::string_view name) noexcept;

    // The first position of `name` in `names` (the list this index follows), or npos.
    std::size_t find(std::span<const std::string_view> names,
                     std::string_view name) const noexcept {
        if (slots_.empty()) return find_linear(names, name);
        return find_hashed(names, name, hash(name));
    }
    // The same, `h` being hash(name).
    std::size_t find(std::span<const std::string_view> names, std::string_view name,
                     std::uint64_t h) const noexcept {
        if (slots_.empty()) return find_linear(names, name);
        return find_hashed(names, name, h);
    }
    // Follows `names` after a name was appended to it (a name already
    // present keeps its first position).
    void appended(std::span<const std::string_view> names) {
        if (names.size() < kHashFrom && slots_.empty()) return;
        appended(names, hash(names.back()));
    }
    // The same, `h` being hash(names.back()).
    void appended(std::span<const std::string_view> names, std::uint64_t h);
    // Makes room for `n` names in all (`names` being those so far), so that
    // the table is not rebuilt while the list grows to that many: hashed
    // from the first name when `n` is kHashFrom or more.
    void reserve(std::span<const std::string_view> names, std::size_t n);
    void clear() noexcept { std::vector<std::uint64_t>().swap(slots_); }
    // Forgets every name but keeps the table's room, for a list that starts
    // again empty.
    void reset() noexcept { slots_.clear(); }
    // The bytes the table holds.
    std::size_t capacity_bytes() const noexcept {
        return slots_.capacity() * sizeof(std::uint64_t);
    }

private:
    static std::size_t find_linear(std::span<const std::string_view> names,
                                   std::string_view name) noexcept {
        for (std::size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) return i;
        return npos;
    }
    std::size_t find_hashed(std::span<const std::string_view> names, std::string_view name,
                            std::uint64_t h) const noexcept;
    void insert(std::uint64_t h, std::size_t position) noexcept;
    // Files `names` again in a table with room for `n`; `last`, when not
    // null, is the hash of the last name, not filed yet.
    void rebuild(std::span<const std::string_view> names, std::size_t n, const std::uint64_t* last);
    // Open addressing, at most half full: 0 for a free slot, else the high
    // 32 bits of the name's hash above its position + 1. The hash part
    // passes over most other names without comparing them, and a rebuild
    // needs no name hashed again.
    std::vector<std::uint64_t> slots_;
};

// A set of names that keeps them in insertion order.
class NameSet {
public:
    bool contains(std::string_view name) const noexcept {
        return index_.find(names_, name) != NameIndex::npos;
    }
    // False when the name was there already.
    bool insert(std::string_view name) {
        const std::uint64_t h = NameIndex::hash(name);
        if (index_.find(names_, name, h) != NameIndex::npos) return false;
        names_.push_back(name);
        index_.appended(names_, h);
        return true;
    }

private:
    std::vector<std::string_view> names_;
    NameIndex index_;
};

}  // namespace quarzel
