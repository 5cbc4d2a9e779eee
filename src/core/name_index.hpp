// Finding a name among a list of names that the caller keeps and only
// appends to: scanned in order while the list is short (most frames, loops
// and headers name a few tags), hashed from kHashFrom names on, so that
// long lists stay linear overall.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quarzel {

class NameIndex {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    static constexpr std::size_t kHashFrom = 9;

    // The first position of `name` in `names` (the list this index follows), or npos.
    std::size_t find(std::span<const std::string_view> names,
                     std::string_view name) const noexcept {
        if (slots_.empty()) {
            for (std::size_t i = 0; i < names.size(); ++i)
                if (names[i] == name) return i;
            return npos;
        }
        return find_hashed(names, name);
    }
    // Follows `names` after a name was appended to it (a name already
    // present keeps its first position).
    void appended(std::span<const std::string_view> names);
    void clear() noexcept { std::vector<std::uint32_t>().swap(slots_); }

private:
    std::size_t find_hashed(std::span<const std::string_view> names,
                            std::string_view name) const noexcept;
    void insert(std::span<const std::string_view> names, std::size_t position);
    // Open addressing: position + 1 per slot, 0 free; at most half full.
    std::vector<std::uint32_t> slots_;
};

// A set of names that keeps them in insertion order.
class NameSet {
public:
    bool contains(std::string_view name) const noexcept {
        return index_.find(names_, name) != NameIndex::npos;
    }
    // False when the name was there already.
    bool insert(std::string_view name) {
        if (contains(name)) return false;
        names_.push_back(name);
        index_.appended(names_);
        return true;
    }

private:
    std::vector<std::string_view> names_;
    NameIndex index_;
};

}  // namespace quarzel
