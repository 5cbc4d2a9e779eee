// Lists and tables stored flat: the nodes of values in preorder, 6 bytes
// each, and the non-recursive walk over them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/byte_buffer.hpp"

namespace quarzel {

enum class NodeKind : std::uint8_t { Text, List, Table };

// One node of a stored value: a text, or the head of a list (`count` items
// follow) or of a table (`count` entries follow, each a key text node and
// then the value).
struct Node {
    NodeKind kind;
    std::string_view text;  // Text nodes
    std::uint64_t count;    // List and Table nodes
};

// Values written out flat, each in preorder: a text is one node, a list or
// table its head node followed by its contents. A node takes 6 bytes; texts
// are slices of the base text where they can be, else views kept in a side
// vector (they must outlive the store, as the document's texts do). No
// value owns an allocation of its own, and destroying or walking a value
// nested to any depth never recurses.
class NodeStore {
public:
    NodeStore() = default;
    NodeStore(const char* base, std::size_t base_size) noexcept
        : base_(base), base_size_(base_size < kMaxOffset ? base_size : kMaxOffset) {}

    std::size_t size() const noexcept { return words_.size() / kNodeSize; }
    bool empty() const noexcept { return words_.size() == 0; }
    Node operator[](std::size_t i) const noexcept {
        const std::uint64_t w = word(i);
        const std::uint64_t payload = w & kPayload;
        switch (w >> kKindShift) {
            case kSlice:
                return {NodeKind::Text,
                        {base_ + (payload & kMaxOffset), static_cast<std::size_t>(payload >> 32)},
                        0};
            case kFar:
                return {NodeKind::Text, far_[payload], 0};
            case kList:
                return {NodeKind::List, {}, payload};
            default:
                return {NodeKind::Table, {}, payload};
        }
    }

    void push_text(std::string_view text) {
        text_bytes_ += text.size();
        auto off =
            reinterpret_cast<std::uintptr_t>(text.data()) - reinterpret_cast<std::uintptr_t>(base_);
        if (off <= base_size_ && text.size() <= base_size_ - off && text.size() <= kMaxSliceLen) {
            push_word(kSlice << kKindShift | off | static_cast<std::uint64_t>(text.size()) << 32);
        } else {
            push_word(kFar << kKindShift | far_.size());
            far_.push_back(text);
        }
    }
    // Appends the head of a list or table of no elements yet; returns its index.
    std::size_t push_head(NodeKind kind) {
        push_word((kind == NodeKind::List ? kList : kTable) << kKindShift);
        return size() - 1;
    }
    // Counts one more (or one fewer) element in the head at `i`.
    void add_to_count(std::size_t i, std::int64_t delta) noexcept {
        // The node's neighbour bytes are written back as they were read.
        std::uint64_t w;
        std::memcpy(&w, words_.data() + kNodeSize * i, sizeof w);
        w = (w & ~kNodeMask) | ((w + static_cast<std::uint64_t>(delta)) & kNodeMask);
        std::memcpy(words_.data() + kNodeSize * i, &w, sizeof w);
    }
    // Drops the nodes from `n` on (their side texts stay until clear()).
    void truncate(std::size_t n) noexcept {
        for (std::size_t i = n; i < size(); ++i)
            if (const Node node = (*this)[i]; node.kind == NodeKind::Text)
                text_bytes_ -= node.text.size();
        words_.truncate(kNodeSize * n);
    }
    // The bytes of all the texts (keys included) of the nodes.
    std::uint64_t text_bytes() const noexcept { return text_bytes_; }
    // At least the bytes of the cell text of a value that takes all the
    // nodes: every text byte escaped, and per node its quotes or brackets,
    // a comma and a colon; one more for the mark.
    std::uint64_t cell_bound() const noexcept { return 2 * text_bytes_ + 4 * size() + 1; }
    // Appends all of `other`'s nodes.
    void append(const NodeStore& other);
    void clear() noexcept {
        words_.release();
        std::vector<std::string_view>().swap(far_);
        text_bytes_ = 0;
    }
    // Empties the store but keeps its storage, for reuse.
    void reset() noexcept {
        words_.truncate(0);
        far_.clear();
        text_bytes_ = 0;
    }

private:
    // A node is read and written as an unaligned 8-byte word, of which it
    // takes the low 6 bytes (the buffer's spare bytes keep the last in bounds).
    std::uint64_t word(std::size_t i) const noexcept {
        std::uint64_t w;
        std::memcpy(&w, words_.data() + kNodeSize * i, sizeof w);
        return w & kNodeMask;
    }
    void push_word(std::uint64_t w) {
        words_.reserve_more(kNodeSize);
        std::memcpy(words_.end(), &w, sizeof w);
        words_.advance(kNodeSize);
    }

    static constexpr std::size_t kNodeSize = 6;
    static constexpr std::uint64_t kNodeMask = (std::uint64_t{1} << 48) - 1;
    static constexpr unsigned kKindShift = 46;
    static constexpr std::uint64_t kSlice = 0, kFar = 1, kList = 2, kTable = 3;
    static constexpr std::uint64_t kPayload = (std::uint64_t{1} << kKindShift) - 1;
    static constexpr std::uint64_t kMaxOffset = (std::uint64_t{1} << 32) - 1;
    static constexpr std::uint64_t kMaxSliceLen = (std::uint64_t{1} << 14) - 1;

    const char* base_ = nullptr;
    std::size_t base_size_ = 0;
    ByteBuffer words_;
    std::vector<std::string_view> far_;
    std::uint64_t text_bytes_ = 0;
};

// Walks the value at node `root` of `nodes` in order, calling
//   v.text(text) for a text (the root or an element),
//   v.open(kind, count) and later v.close(kind) for a list or table,
//   v.element(in_table, index, key) before each element of a list or table
//     (`key` is the entry's key in a table),
// any of which may return false to stop the walk. Returns false when
// stopped; `end` is set to the index after the value when walked through.
template <class V>
bool walk_value(const NodeStore& nodes, std::size_t root, V& v, std::size_t* end = nullptr) {
    std::size_t i = root;
    const Node first = nodes[i++];
    if (first.kind == NodeKind::Text) {
        if (!v.text(first.text)) return false;
        if (end) *end = i;
        return true;
    }
    struct Open {
        std::uint64_t left;
        std::uint64_t index;
        bool table;
    };
    // Most values are shallow: the first levels stay on the stack.
    constexpr std::size_t kInline = 16;
    Open inline_stack[kInline];
    std::vector<Open> deep;
    std::size_t depth = 0;
    auto push = [&](const Node& n) {
        Open o{n.count, 0, n.kind == NodeKind::Table};
        if (depth < kInline)
            inline_stack[depth] = o;
        else
            deep.push_back(o);
        ++depth;
    };
    auto top = [&]() -> Open& { return depth <= kInline ? inline_stack[depth - 1] : deep.back(); };
    if (!v.open(first.kind, first.count)) return false;
    push(first);
    while (depth != 0) {
        Open& o = top();
        if (o.left == 0) {
            const NodeKind kind = o.table ? NodeKind::Table : NodeKind::List;
            if (depth > kInline) deep.pop_back();
            --depth;
            if (!v.close(kind)) return false;
            continue;
        }
        --o.left;
        const std::uint64_t index = o.index++;
        const bool table = o.table;
        std::string_view key;
        if (table) key = nodes[i++].text;
        if (!v.element(table, index, key)) return false;
        const Node n = nodes[i++];
        if (n.kind == NodeKind::Text) {
            if (!v.text(n.text)) return false;
        } else {
            if (!v.open(n.kind, n.count)) return false;
            push(n);  // `o` is not used after this
        }
    }
    if (end) *end = i;
    return true;
}

}  // namespace quarzel
