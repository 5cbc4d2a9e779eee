// The native document that the builder produces and the conversions read.
//
// Scalar texts are views: into the lexed text (most values), into the
// document's arena (values that had to be rewritten, such as transformed text
// fields) or into static storage. A document must not outlive the text it was
// built from.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/byte_buffer.hpp"
#include "core/error.hpp"
#include "core/name_index.hpp"
#include "core/version.hpp"

namespace quarzel {

// How a column keeps its values.
enum class ColumnLayout : std::uint8_t {
    // Views: 6-byte references into the text, compound values kept aside.
    // The least memory, for conversions that read each value.
    Refs,
    // Arrow's layout: the cell texts back to back and the 32-bit offset of
    // each value's end after a leading 0, ready to become a Utf8 array.
    Packed,
};

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

// The values of one tag: one per occurrence, or one per row of a loop.
// In the Refs layout, scalars that are short slices of the first 4 GiB of the
// document's text take 6 bytes and any other value is kept aside in a node
// store. In the Packed layout every value is copied as its cell text
// (lists and tables as written by put_cell), except that a lone first value
// that is a short slice of the base text stays a reference until a second
// one comes.
class ValueColumn {
public:
    // A view of one stored value: a text, or (`compound` not null) the
    // list or table at node `root` of `compound`.
    struct Ref {
        std::string_view text;
        const NodeStore* compound = nullptr;
        std::size_t root = 0;
    };

    // Most packed text one column takes: Arrow's 32-bit offsets.
    static constexpr std::uint64_t kMaxPackedBytes = 0x7FFFFFFF;

    ValueColumn() = default;
    // Slices of `base` beyond the reach of a 6-byte reference are kept aside.
    ValueColumn(const char* base, std::size_t base_size, ColumnLayout layout = ColumnLayout::Refs);

    // Stores any text that lives as long as the document.
    void push_text(std::string_view text);
    // Stores the list or table that makes up all of `value`.
    void push_value(const NodeStore& value);
    // Stores a scalar that is a short slice of the base text (in the Refs
    // layout, in 6 bytes); false (nothing stored) for any other text. The
    // Packed layout takes any text.
    bool push_slice(std::string_view text) {
        auto off =
            reinterpret_cast<std::uintptr_t>(text.data()) - reinterpret_cast<std::uintptr_t>(base_);
        if (packed_) {
            push_packed(text, off);
            return true;
        }
        if (off > base_size_ || text.size() > base_size_ - off || text.size() > kMaxLen)
            return false;
        append_ref(off | (static_cast<std::uint64_t>(text.size()) << kLenShift));
        slice_bytes_ += text.size();
        return true;
    }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    Ref operator[](std::size_t i) const noexcept {
        if (packed_) {
            if (overflow_) return {};
            return {held_first_ ? held_text() : packed_text(i), nullptr};
        }
        std::uint64_t r = first_;
        if (i != 0) {
            std::memcpy(&r, refs_.data() + (i - 1) * kRefSize, sizeof r);
            r &= kRefMask;
        }
        if (r & kSide) [[unlikely]]
            return side(r);
        return {
            std::string_view(base_ + (r & kMaxOffset), static_cast<std::size_t>(r >> kLenShift)),
            nullptr};
    }

    bool packed() const noexcept { return packed_; }
    // Refs: the bytes of the scalars stored as slices. Packed: the bytes of
    // every value's cell text. With the values kept aside this tells the
    // size of the column's text without a pass over every value.
    std::uint64_t text_bytes() const noexcept { return slice_bytes_; }
    // Refs: the values kept aside, one after another from node 0.
    const NodeStore& side_values() const noexcept { return side_ ? *side_ : kNoValues; }
    // Packed: the text did not fit kMaxPackedBytes and was dropped; values
    // are still counted.
    bool overflowed() const noexcept { return overflow_; }
    // Packed: a column's first value, while it is its only one and a short
    // slice of the base text, is kept as a reference (most tags of a
    // dictionary's save frames hold one value, and need no buffers); this
    // is that value, or null when the values are in the buffers.
    std::optional<std::string_view> packed_single() const noexcept {
        if (!held_first_) return std::nullopt;
        return held_text();
    }
    // Packed: the offsets (size() + 1 of them, 4 bytes each, then room for
    // the spare bytes) and the text, for the caller to fill up and take; a
    // value held as a reference is moved into them first.
    ByteBuffer& packed_offsets() {
        start_packed();
        return refs_;
    }
    ByteBuffer& packed_text() {
        start_packed();
        return text_;
    }
    void clear() noexcept;  // frees storage as well

private:
    Ref side(std::uint64_t r) const noexcept;
    NodeStore& side_store();
    std::string_view packed_text(std::size_t i) const noexcept {
        std::uint32_t bounds[2];
        std::memcpy(bounds, refs_.data() + 4 * i, sizeof bounds);
        return {reinterpret_cast<const char*>(text_.data()) + bounds[0], bounds[1] - bounds[0]};
    }
    // Appends `text` (`off` bytes past base_) to the packed text. Texts
    // with 16 bytes of the base text after their start are copied as one
    // 16-byte word when short: the bytes past their end are overwritten by
    // the next value or lie in the spare bytes.
    void push_packed(std::string_view text, std::uintptr_t off) {
        const std::size_t n = text.size();
        // Once over the limit the total stays over it.
        if (slice_bytes_ + n > kMaxPackedBytes) [[unlikely]] {
            packed_overflow(n);
            return;
        }
        if (!started_) [[unlikely]] {
            if (size_ == 0 && off < base_size_ && n <= base_size_ - off && n <= kMaxLen) {
                first_ = off | (static_cast<std::uint64_t>(n) << kLenShift);
                held_first_ = true;
                slice_bytes_ = n;
                size_ = 1;
                return;
            }
            start_packed();
        }
        text_.reserve_more(n);
        if (n <= 16 && off < copy16_bound_)
            copy16(text_.end(), text.data());
        else if (n != 0)
            std::memcpy(text_.end(), text.data(), n);
        append_end(n);
    }
    // Refs: stores one reference; the first in the column object itself
    // (most tags of a dictionary have one value, and need no buffer).
    void append_ref(std::uint64_t r) {
        if (size_ == 0) {
            first_ = r;
            ++size_;
            return;
        }
        refs_.reserve_more(kRefSize);
        std::memcpy(refs_.end(), &r, sizeof r);
        refs_.advance(kRefSize);
        ++size_;
    }
    // Packed: ends the value whose `n` bytes of text were just written.
    void append_end(std::size_t n) {
        text_.advance(n);
        slice_bytes_ += n;
        const auto end = static_cast<std::uint32_t>(slice_bytes_);
        refs_.reserve_more(sizeof end);
        std::memcpy(refs_.end(), &end, sizeof end);
        refs_.advance(sizeof end);
        ++size_;
    }
    void packed_overflow(std::size_t n) noexcept;
    // Packed: writes the leading offset, and the value held as a reference.
    void start_packed() {
        if (!started_) start_buffers();
    }
    void start_buffers();
    std::string_view held_text() const noexcept {
        return {base_ + (first_ & kMaxOffset), static_cast<std::size_t>(first_ >> kLenShift)};
    }
    // Copies 16 bytes. Callers check that the source has them; the compiler
    // cannot always see that where a short static text reaches here.
    static void copy16(unsigned char* dst, const char* src) noexcept {
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif
        std::memcpy(dst, src, 16);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    }

    // A reference: offset (32 bits) | length (15 bits) << 32, or
    // kSide | index into side_; stored in 6 bytes, read and written as one
    // unaligned 8-byte word (the spare bytes keep that in bounds).
    static constexpr std::size_t kRefSize = 6;
    static constexpr std::uint64_t kRefMask = (std::uint64_t{1} << 48) - 1;
    static constexpr unsigned kLenShift = 32;
    static constexpr std::uint64_t kSide = std::uint64_t{1} << 47;
    static constexpr std::uint64_t kMaxLen = (std::uint64_t{1} << 15) - 1;
    static constexpr std::uint64_t kMaxOffset = (std::uint64_t{1} << 32) - 1;

    const char* base_ = nullptr;
    std::size_t base_size_ = 0;
    std::size_t copy16_bound_ = 0;  // offsets below it have 16 bytes of base text
    ByteBuffer refs_;               // Refs: the references after the first. Packed: offsets.
    ByteBuffer text_;               // Packed: the cell texts
    std::size_t size_ = 0;
    std::uint64_t first_ = 0;  // the first reference (Packed: while held)
    std::uint64_t slice_bytes_ = 0;
    std::unique_ptr<NodeStore> side_;  // made on first use: most columns have none
    static const NodeStore kNoValues;
    bool packed_ = false;
    bool overflow_ = false;
    bool started_ = false;     // Packed: the buffers hold the leading offset
    bool held_first_ = false;  // Packed: the only value is first_, a reference
};

// The content of one data block or save frame. Tag names are views of
// texts the document owns (one copy of each distinct name, however many
// frames and loops name it).
struct FrameData {
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    std::vector<std::string_view> tag_order;           // lower-cased, first appearance, each once
    std::vector<std::vector<std::string_view>> loops;  // each loop's tags, header order
    std::vector<ValueColumn> columns;                  // columns[i]: the values of tag_order[i]

    // The position of `tag` in the tag order, or npos.
    std::size_t position(std::string_view tag) const noexcept {
        return index_.find(tag_order, tag);
    }
    const ValueColumn* find(std::string_view tag) const noexcept {
        const std::size_t i = position(tag);
        return i < columns.size() ? &columns[i] : nullptr;
    }
    ValueColumn* find(std::string_view tag) noexcept {
        const std::size_t i = position(tag);
        return i < columns.size() ? &columns[i] : nullptr;
    }
    // Enters a tag that is not in the tag order yet, with its column;
    // `tag` must live as long as the frame.
    ValueColumn& add(std::string_view tag, ValueColumn column);
    // Frees every column (the tag order stays): after the values have been
    // handed over, find() finds nothing.
    void release_values() noexcept { std::vector<ValueColumn>().swap(columns); }
    // Gives back the spare room of the frame's vectors once it is complete
    // (documents of many small frames would otherwise keep about a third
    // more than they use).
    void shrink_to_fit() {
        tag_order.shrink_to_fit();
        columns.shrink_to_fit();
        loops.shrink_to_fit();
    }

private:
    NameIndex index_;  // of tag_order
};

struct ParsedSaveFrame {
    std::string name;  // lower-cased
    FrameData data;
};

struct ParsedBlock {
    std::string name;  // lower-cased
    FrameData data;
    std::vector<ParsedSaveFrame> save_frames;  // in order of their end
};

struct ParsedCif {
    std::vector<ParsedBlock> blocks;
    std::vector<NativeParseError> errors;
    CifVersion version = CifVersion::Cif11;
    // Owned texts that scalar views may point into. Deque elements never move.
    std::deque<std::string> arena;
};

}  // namespace quarzel
