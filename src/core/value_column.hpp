// The values of one tag: one per occurrence, or one per row of a loop, kept
// in one of two layouts that a document chooses for all its columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "core/byte_buffer.hpp"
#include "core/node_store.hpp"

namespace quarzel {

// How a column keeps its values.
enum class ColumnLayout : std::uint8_t {
    // Views: 6-byte references into the text, compound values kept aside
    // (RefColumn). The least memory, for conversions that read each value.
    Refs,
    // Arrow's layout: the cell texts back to back and the 32-bit offset of
    // each value's end after a leading 0, ready to become a Utf8 array
    // (PackedColumn).
    Packed,
    // No values, only their number (CountColumn): the tags a selective
    // reading skips, whose counts still decide the rows of the others.
    Count,
};

// A view of one stored value: a text, or (`compound` not null) the list or
// table at node `root` of `compound`.
struct ValueRef {
    std::string_view text;
    const NodeStore* compound = nullptr;
    std::size_t root = 0;
};

// Where a column's references point: the document's text, of which slices
// within the first 4 GiB and short enough fit a 6-byte reference.
struct ColumnBase {
    static constexpr std::uint64_t kMaxLen = (std::uint64_t{1} << 15) - 1;
    static constexpr std::uint64_t kMaxOffset = (std::uint64_t{1} << 32) - 1;
    static constexpr unsigned kLenShift = 32;

    ColumnBase() = default;
    ColumnBase(const char* base, std::size_t base_size) noexcept
        : base(base), size(base_size < kMaxOffset ? base_size : kMaxOffset) {}

    // The longest text a reference can hold here.
    std::size_t max_len() const noexcept { return size < kMaxLen ? size : kMaxLen; }
    // `text` lies `off` bytes into the base text and is short enough for
    // a reference.
    bool is_short_slice(std::string_view text, std::uintptr_t off) const noexcept {
        return text.size() <= max_len() && off <= size - text.size();
    }
    std::uintptr_t offset_of(std::string_view text) const noexcept {
        return reinterpret_cast<std::uintptr_t>(text.data()) -
               reinterpret_cast<std::uintptr_t>(base);
    }
    std::string_view text_of(std::uint64_t ref) const noexcept {
        return {base + (ref & kMaxOffset), static_cast<std::size_t>(ref >> kLenShift)};
    }
    static std::uint64_t ref_of(std::uintptr_t off, std::size_t len) noexcept {
        return off | (static_cast<std::uint64_t>(len) << kLenShift);
    }

    const char* base = nullptr;
    std::size_t size = 0;
};

// The Refs layout: scalars that are short slices of the first 4 GiB of the
// document's text take 6 bytes; any other value is kept aside in a node
// store.
class RefColumn {
public:
    RefColumn() = default;
    RefColumn(const char* base, std::size_t base_size) noexcept : base_(base, base_size) {}
    // Out of line: inlined into the moves of a vector of columns, GCC sees
    // the side store of the wrong alternative and warns.
    RefColumn(RefColumn&&) noexcept;
    RefColumn& operator=(RefColumn&&) noexcept;
    ~RefColumn();

    // Stores a scalar that is a short slice of the base text in 6 bytes;
    // false (nothing stored) for any other text.
    bool push_slice(std::string_view text) {
        const std::uintptr_t off = base_.offset_of(text);
        if (!base_.is_short_slice(text, off)) return false;
        append_ref(ColumnBase::ref_of(off, text.size()));
        slice_bytes_ += text.size();
        return true;
    }
    // Stores words[i], words[i + stride], ... as push_slice() would, up to
    // the first that it would not take; returns that one's index, or from
    // words.size() on when all are stored.
    std::size_t push_slices(std::span<const std::string_view> words, std::size_t i,
                            std::size_t stride);
    // The same for slices given as ColumnBase::ref_of(offset, length) of
    // this column's base text, the length allowed up to 32 bits: one that
    // is too long for a reference (kMaxLen) is not taken.
    std::size_t push_refs(std::span<const std::uint64_t> refs, std::size_t i, std::size_t stride);
    // References written in place, for callers that lay out the base text
    // themselves and make many: ref_room(n) gives where the first of up to
    // `n` goes, put_ref() writes one and gives where the next goes, and
    // take_refs() stores those up to `end`, `bytes` being the sum of their
    // lengths. Nothing else may be stored in between, and the column holds
    // a value before (the first is kept in the column object).
    unsigned char* ref_room(std::size_t n) {
        refs_.reserve_more(n * kRefSize);
        return refs_.end();
    }
    static unsigned char* put_ref(unsigned char* out, std::uint64_t r) noexcept {
        std::memcpy(out, &r, sizeof r);
        return out + kRefSize;
    }
    void take_refs(const unsigned char* end, std::uint64_t bytes) {
        const std::size_t n = static_cast<std::size_t>(end - refs_.end()) / kRefSize;
        slice_bytes_ += bytes;
        refs_.advance(n * kRefSize);
        size_ += n;
    }
    // Stores any text that lives as long as the document.
    void push_text(std::string_view text);
    // Stores the list or table that makes up all of `value`.
    void push_value(const NodeStore& value);

    std::size_t size() const noexcept { return size_; }
    ValueRef operator[](std::size_t i) const noexcept {
        std::uint64_t r = first_;
        if (i != 0) {
            std::memcpy(&r, refs_.data() + (i - 1) * kRefSize, sizeof r);
            r &= kRefMask;
        }
        if (r & kSide) [[unlikely]]
            return side(r);
        return {base_.text_of(r), nullptr};
    }
    // Calls `f(value)` for values `first` to `last` (not included) in order:
    // a walk over the references, for callers that read every value.
    template <class F>
    void for_each(std::size_t first, std::size_t last, F&& f) const {
        const auto at = [&](std::uint64_t r) {
            return r & kSide ? side(r) : ValueRef{base_.text_of(r)};
        };
        if (first == 0 && first < last) {
            f(at(first_));
            first = 1;
        }
        const unsigned char* p = refs_.data() + (first - (first != 0)) * kRefSize;
        for (std::size_t i = first; i < last; ++i, p += kRefSize) {
            std::uint64_t r;
            std::memcpy(&r, p, sizeof r);
            f(at(r & kRefMask));
        }
    }
    // Calls `f(text)` for every value in order, for a column without values
    // kept aside (side_values() empty: every value is a slice).
    template <class F>
    void for_each_slice(F&& f) const {
        if (size_ == 0) return;
        f(base_.text_of(first_));
        const unsigned char* p = refs_.data();
        for (std::size_t i = 1; i < size_; ++i, p += kRefSize) {
            std::uint64_t r;
            std::memcpy(&r, p, sizeof r);
            f(base_.text_of(r & kRefMask));
        }
    }
    // Calls `f(text, count)` for each run of `count` values in a row that
    // are one and the same slice (as a column whose writer refers repeated
    // values to one copy of their text has), in order, for a column without
    // values kept aside (side_values() empty).
    template <class F>
    void for_each_slice_run(F&& f) const {
        if (size_ == 0) return;
        // The references after the first, each run's end found in a loop of
        // its own (which keeps what it needs in registers) before `f` sees it.
        const unsigned char* p = refs_.data();
        const unsigned char* const end = p + (size_ - 1) * kRefSize;
        std::uint64_t run = first_ & kRefMask;
        while (true) {
            const unsigned char* q = p;
            std::size_t count = 1;
            while (q != end) {
                std::uint64_t r;
                std::memcpy(&r, q, sizeof r);
                if ((r & kRefMask) != run) break;
                q += kRefSize;
                ++count;
            }
            f(base_.text_of(run), count);
            if (q == end) return;
            std::memcpy(&run, q, sizeof run);
            run &= kRefMask;
            p = q + kRefSize;
        }
    }
    // Whether every value is a slice of the base text (none kept aside).
    bool all_slices() const noexcept { return !side_ || side_->empty(); }
    // Calls `f(offset, length)` for values `first` to `last` (not included)
    // in order, each a slice at `offset` bytes into the base text: the walk
    // of for_each with nothing to tell apart, for a column whose values are
    // all slices (all_slices()).
    template <class F>
    void for_each_slice_at(std::size_t first, std::size_t last, F&& f) const {
        if (first == 0 && first < last) {
            f(static_cast<std::uint32_t>(first_), static_cast<std::size_t>(first_ >> kLenShift));
            first = 1;
        }
        const unsigned char* p = refs_.data() + (first - (first != 0)) * kRefSize;
        const unsigned char* const end = p + (last > first ? last - first : 0) * kRefSize;
        for (; p != end; p += kRefSize) {
            std::uint64_t r;
            std::memcpy(&r, p, sizeof r);
            f(static_cast<std::uint32_t>(r), static_cast<std::size_t>((r >> kLenShift) & kLenMask));
        }
    }
    // The bytes of the scalars stored as slices: with the values kept aside,
    // the size of the column's text without a pass over every value.
    std::uint64_t text_bytes() const noexcept { return slice_bytes_; }
    // The values kept aside, one after another from node 0.
    const NodeStore& side_values() const noexcept { return side_ ? *side_ : kNoValues; }
    // The text the references point into.
    const ColumnBase& base() const noexcept { return base_; }
    void clear() noexcept;  // frees storage as well

    static const NodeStore kNoValues;

private:
    ValueRef side(std::uint64_t r) const noexcept;
    NodeStore& side_store();
    // Stores one reference; the first in the column object itself (most
    // tags of a dictionary have one value, and need no buffer).
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

    // A reference: offset (32 bits) | length (15 bits) << 32, or
    // kSide | index into side_; stored in 6 bytes, read and written as one
    // unaligned 8-byte word (the spare bytes keep that in bounds).
    static constexpr std::size_t kRefSize = 6;
    static constexpr std::uint64_t kRefMask = (std::uint64_t{1} << 48) - 1;
    static constexpr std::uint64_t kSide = std::uint64_t{1} << 47;
    static constexpr unsigned kLenShift = ColumnBase::kLenShift;
    static constexpr std::uint64_t kLenMask = ColumnBase::kMaxLen;

    ColumnBase base_;
    ByteBuffer refs_;  // the references after the first
    std::size_t size_ = 0;
    std::uint64_t first_ = 0;
    std::uint64_t slice_bytes_ = 0;
    std::unique_ptr<NodeStore> side_;  // made on first use: most columns have none
};

// The Packed layout: every value copied as its cell text (lists and tables
// as written by put_cell), except that a lone first value that is a short
// slice of the base text stays a reference until a second one comes.
class PackedColumn {
public:
    // Most packed text one column takes: Arrow's 32-bit offsets.
    static constexpr std::uint64_t kMaxBytes = 0x7FFFFFFF;

    PackedColumn() = default;
    PackedColumn(const char* base, std::size_t base_size) noexcept;

    // Any text: a slice of the base text may be copied as whole words.
    void push_slice(std::string_view text) { push(text, base_.offset_of(text)); }
    // push_slice() of words[i], words[i + stride], ... in order; returns
    // the index after the last, from words.size() on.
    std::size_t push_slices(std::span<const std::string_view> words, std::size_t i,
                            std::size_t stride);
    // Any text that lives as long as the document.
    void push_text(std::string_view text) { push(text, ~std::uintptr_t{0}); }
    // The cell text of the list or table that makes up all of `value`.
    void push_value(const NodeStore& value);

    std::size_t size() const noexcept { return size_; }
    ValueRef operator[](std::size_t i) const noexcept {
        if (overflow_) return {};
        return {held_first_ ? held_text() : text_at(i), nullptr};
    }
    // The bytes of every value's cell text.
    std::uint64_t text_bytes() const noexcept { return bytes_; }
    // The text did not fit kMaxBytes and was dropped; values are still
    // counted.
    bool overflowed() const noexcept { return overflow_; }
    // The positions of the values that are lists or tables (their cell
    // text begins with NUL, as a scalar may too), in order.
    const std::vector<std::uint32_t>& compound_rows() const noexcept { return compounds_; }
    // A column's first value, while it is its only one and a short slice of
    // the base text, is kept as a reference (most tags of a dictionary's
    // save frames hold one value, and need no buffers); this is that value,
    // or null when the values are in the buffers.
    std::optional<std::string_view> single() const noexcept {
        if (!held_first_) return std::nullopt;
        return held_text();
    }
    // The offsets (size() + 1 of them, 4 bytes each, then room for the spare
    // bytes) and the text, for the caller to fill up and take; a value held
    // as a reference is moved into them first.
    ByteBuffer& offsets() {
        start();
        return offsets_;
    }
    ByteBuffer& text() {
        start();
        return text_;
    }
    void clear() noexcept;  // frees storage as well

private:
    std::string_view text_at(std::size_t i) const noexcept {
        std::uint32_t bounds[2];
        std::memcpy(bounds, offsets_.data() + 4 * i, sizeof bounds);
        return {reinterpret_cast<const char*>(text_.data()) + bounds[0], bounds[1] - bounds[0]};
    }
    // Appends `text` (`off` bytes past the base) to the text. Texts with 16
    // bytes of the base text after their start are copied as one 16-byte
    // word when short: the bytes past their end are overwritten by the next
    // value or lie in the spare bytes.
    void push(std::string_view text, std::uintptr_t off) {
        const std::size_t n = text.size();
        // Once over the limit the total stays over it.
        if (bytes_ + n > kMaxBytes) [[unlikely]] {
            overflow(n);
            return;
        }
        if (!started_) [[unlikely]] {
            if (size_ == 0 && off < base_.size && n <= base_.size - off &&
                n <= ColumnBase::kMaxLen) {
                first_ = ColumnBase::ref_of(off, n);
                held_first_ = true;
                bytes_ = n;
                size_ = 1;
                return;
            }
            start();
        }
        text_.reserve_more(n);
        if (n <= 16 && off < copy16_bound_)
            copy16(text_.end(), text.data());
        else if (n != 0)
            std::memcpy(text_.end(), text.data(), n);
        append_end(n);
    }
    // Ends the value whose `n` bytes of text were just written.
    void append_end(std::size_t n) {
        text_.advance(n);
        bytes_ += n;
        const auto end = static_cast<std::uint32_t>(bytes_);
        offsets_.reserve_more(sizeof end);
        std::memcpy(offsets_.end(), &end, sizeof end);
        offsets_.advance(sizeof end);
        ++size_;
    }
    void overflow(std::size_t n) noexcept;
    // Writes the leading offset, and the value held as a reference.
    void start() {
        if (!started_) start_buffers();
    }
    void start_buffers();
    std::string_view held_text() const noexcept { return base_.text_of(first_); }
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

    ColumnBase base_;
    std::size_t copy16_bound_ = 0;  // offsets below it have 16 bytes of base text
    ByteBuffer offsets_;
    ByteBuffer text_;
    std::size_t size_ = 0;
    std::uint64_t first_ = 0;  // the held first value's reference
    std::uint64_t bytes_ = 0;
    std::vector<std::uint32_t> compounds_;  // see compound_rows()
    bool overflow_ = false;
    bool started_ = false;     // the buffers hold the leading offset
    bool held_first_ = false;  // the only value is first_, a reference
};

// The Count layout: how many values there were, and nothing of them.
class CountColumn {
public:
    void add(std::size_t n) noexcept { size_ += n; }
    std::size_t size() const noexcept { return size_; }
    void clear() noexcept { size_ = 0; }

private:
    std::size_t size_ = 0;
};

// A tag's values in the layout of its document: the one type the builder
// fills and the conversions read. Operations that only one layout has
// (side_values, packed_*) expect that layout.
class ValueColumn {
public:
    using Ref = ValueRef;
    static constexpr std::uint64_t kMaxPackedBytes = PackedColumn::kMaxBytes;

    ValueColumn() = default;
    // Slices of `base` beyond the reach of a 6-byte reference are kept aside.
    ValueColumn(const char* base, std::size_t base_size, ColumnLayout layout = ColumnLayout::Refs)
        : values_(make(base, base_size, layout)) {}

    // Stores any text that lives as long as the document.
    void push_text(std::string_view text) {
        if (PackedColumn* p = packed_column())
            p->push_text(text);
        else if (RefColumn* r = refs_column())
            r->push_text(text);
        else
            count_column()->add(1);
    }
    // Stores the list or table that makes up all of `value`.
    void push_value(const NodeStore& value) {
        if (PackedColumn* p = packed_column())
            p->push_value(value);
        else if (RefColumn* r = refs_column())
            r->push_value(value);
        else
            count_column()->add(1);
    }
    // Stores a scalar that is a short slice of the base text (in the Refs
    // layout, in 6 bytes); false (nothing stored) for any other text. The
    // Packed layout takes any text.
    bool push_slice(std::string_view text) {
        if (PackedColumn* p = packed_column()) {
            p->push_slice(text);
            return true;
        }
        if (RefColumn* r = refs_column()) [[likely]]
            return r->push_slice(text);
        count_column()->add(1);
        return true;
    }
    // Stores words[i], words[i + stride], ... as push_slice() would, up to
    // the first that it would not take; returns that one's index, or from
    // words.size() on when all are stored.
    std::size_t push_slices(std::span<const std::string_view> words, std::size_t i,
                            std::size_t stride) {
        if (PackedColumn* p = packed_column()) return p->push_slices(words, i, stride);
        if (RefColumn* r = refs_column()) [[likely]]
            return r->push_slices(words, i, stride);
        if (i < words.size()) {
            const std::size_t n = (words.size() - i + stride - 1) / stride;
            count_column()->add(n);
            i += n * stride;
        }
        return i;
    }

    std::size_t size() const noexcept {
        if (const PackedColumn* p = packed_column()) return p->size();
        if (const RefColumn* r = refs_column()) [[likely]]
            return r->size();
        return count_column()->size();
    }
    bool empty() const noexcept { return size() == 0; }
    // The value at `i` (an empty text in the Count layout).
    Ref operator[](std::size_t i) const noexcept {
        if (const PackedColumn* p = packed_column()) return (*p)[i];
        if (const RefColumn* r = refs_column()) [[likely]]
            return (*r)[i];
        return {};
    }

    bool packed() const noexcept { return values_.index() == 1; }
    // Only counted: the values were skipped.
    bool counted() const noexcept { return values_.index() == 2; }
    // Adds `n` values to a column of the Count layout.
    void add_count(std::size_t n) noexcept { count_column()->add(n); }
    // Refs: the bytes of the scalars stored as slices. Packed: the bytes of
    // every value's cell text. Count: 0.
    std::uint64_t text_bytes() const noexcept {
        if (const PackedColumn* p = packed_column()) return p->text_bytes();
        if (const RefColumn* r = refs_column()) return r->text_bytes();
        return 0;
    }
    // Refs: the values kept aside (none in the Packed layout).
    const NodeStore& side_values() const noexcept {
        const RefColumn* r = refs_column();
        return r ? r->side_values() : RefColumn::kNoValues;
    }
    // Packed: see PackedColumn.
    bool overflowed() const noexcept {
        const PackedColumn* p = packed_column();
        return p && p->overflowed();
    }
    std::optional<std::string_view> packed_single() const noexcept {
        const PackedColumn* p = packed_column();
        return p ? p->single() : std::nullopt;
    }
    // Packed: the positions of the lists and tables (none elsewhere).
    std::span<const std::uint32_t> packed_compound_rows() const noexcept {
        const PackedColumn* p = packed_column();
        if (p == nullptr) return {};
        return p->compound_rows();
    }
    ByteBuffer& packed_offsets() { return packed_column()->offsets(); }
    ByteBuffer& packed_text() { return packed_column()->text(); }
    void clear() noexcept {
        if (PackedColumn* p = packed_column())
            p->clear();
        else if (RefColumn* r = refs_column())
            r->clear();
        else
            count_column()->clear();
    }

    // The layout's own column, or null in the other layout.
    RefColumn* refs_column() noexcept { return std::get_if<RefColumn>(&values_); }
    const RefColumn* refs_column() const noexcept { return std::get_if<RefColumn>(&values_); }
    PackedColumn* packed_column() noexcept { return std::get_if<PackedColumn>(&values_); }
    const PackedColumn* packed_column() const noexcept {
        return std::get_if<PackedColumn>(&values_);
    }
    CountColumn* count_column() noexcept { return std::get_if<CountColumn>(&values_); }
    const CountColumn* count_column() const noexcept { return std::get_if<CountColumn>(&values_); }

private:
    static std::variant<RefColumn, PackedColumn, CountColumn> make(const char* base,
                                                                   std::size_t base_size,
                                                                   ColumnLayout layout) {
        if (layout == ColumnLayout::Packed) return PackedColumn(base, base_size);
        if (layout == ColumnLayout::Count) return CountColumn();
        return RefColumn(base, base_size);
    }
    std::variant<RefColumn, PackedColumn, CountColumn> values_;
};

}  // namespace quarzel
