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
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "error.hpp"
#include "version.hpp"

namespace quarzel {

struct TableEntry;

// A growable byte array with 16 spare bytes beyond what is reserved, so
// that short copies may move whole 8- or 16-byte words. Small arrays live on
// the heap; from kMapBytes on, an array has pages of its own that grow by
// remapping (never copied) and go back to the system when freed, so that a
// column of millions of values neither is copied at every doubling nor
// leaves heap behind it.
class ByteBuffer {
public:
    static constexpr std::size_t kSpare = 16;
    static constexpr std::size_t kMapBytes = std::size_t{256} << 10;

    // Storage handed over by take().
    struct Storage {
        unsigned char* data = nullptr;
        std::size_t capacity = 0;
        bool mapped = false;
    };
    static void free_storage(const Storage& storage) noexcept;

    ByteBuffer() noexcept = default;
    ByteBuffer(ByteBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          mapped_(std::exchange(other.mapped_, false)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
            mapped_ = std::exchange(other.mapped_, false);
        }
        return *this;
    }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { release(); }

    // Makes room for `n` more bytes, and the spare ones after them.
    void reserve_more(std::size_t n) {
        if (capacity_ - size_ < n + kSpare) [[unlikely]]
            grow(n + kSpare);
    }
    unsigned char* data() noexcept { return data_; }
    const unsigned char* data() const noexcept { return data_; }
    unsigned char* end() noexcept { return data_ + size_; }
    std::size_t size() const noexcept { return size_; }
    void advance(std::size_t n) noexcept { size_ += n; }
    void release() noexcept;  // frees storage; leaves the buffer empty
    // Hands the storage over, to be freed with free_storage; leaves the
    // buffer empty.
    Storage take() noexcept {
        Storage storage{data_, capacity_, mapped_};
        data_ = nullptr;
        size_ = capacity_ = 0;
        mapped_ = false;
        return storage;
    }

private:
    void grow(std::size_t more);

    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool mapped_ = false;
};

// How a column keeps its values.
enum class ColumnLayout : std::uint8_t {
    // Views: 6-byte references into the text, compound values kept aside.
    // The least memory, for conversions that read each value.
    Refs,
    // Arrow's layout: the cell texts back to back and the 32-bit offset of
    // each value's end after a leading 0, ready to become a Utf8 array.
    Packed,
};

// A scalar text, a list of values or a table of key/value entries in order.
// Destroying a value nested to any depth never recurses.
class RawValue {
public:
    enum class Kind : std::uint8_t { Scalar, List, Table };

    RawValue() noexcept : RawValue(std::string_view{}) {}
    static RawValue scalar(std::string_view text) noexcept { return RawValue(text); }
    static RawValue list(std::vector<RawValue> items);
    static RawValue table(std::vector<TableEntry> entries);

    RawValue(RawValue&& other) noexcept;
    RawValue& operator=(RawValue&& other) noexcept;
    RawValue(const RawValue&) = delete;
    RawValue& operator=(const RawValue&) = delete;
    ~RawValue();

    Kind kind() const noexcept { return kind_; }
    bool is_scalar() const noexcept { return kind_ == Kind::Scalar; }
    std::string_view text() const noexcept { return {static_cast<const char*>(ptr_), size_}; }
    const std::vector<RawValue>& items() const noexcept {
        return *static_cast<const std::vector<RawValue>*>(ptr_);
    }
    const std::vector<TableEntry>& entries() const noexcept {
        return *static_cast<const std::vector<TableEntry>*>(ptr_);
    }

private:
    explicit RawValue(std::string_view text) noexcept
        : ptr_(text.data()), size_(text.size()), kind_(Kind::Scalar) {}
    void release() noexcept;
    friend void destroy_children(RawValue&, std::vector<RawValue>&) noexcept;

    const void* ptr_;  // text for scalars; owned vector for lists and tables
    std::size_t size_;
    Kind kind_;
};

struct TableEntry {
    std::string_view key;  // as written (case kept)
    RawValue value;
};

// The values of one tag: one per occurrence, or one per row of a loop.
// In the Refs layout, scalars that are short slices of the first 4 GiB of the
// document's text take 6 bytes and any other value is kept aside as a
// RawValue. In the Packed layout every value is copied as its cell text
// (compound values as written by put_cell).
class ValueColumn {
public:
    // A view of one stored value: `compound` is null for scalars.
    struct Ref {
        std::string_view text;
        const RawValue* compound = nullptr;
    };

    // Most packed text one column takes: Arrow's 32-bit offsets.
    static constexpr std::uint64_t kMaxPackedBytes = 0x7FFFFFFF;

    ValueColumn() = default;
    // Slices of `base` beyond the reach of a 6-byte reference are kept aside.
    ValueColumn(const char* base, std::size_t base_size, ColumnLayout layout = ColumnLayout::Refs);

    void push(RawValue&& value);
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
        if (packed_) return {overflow_ ? std::string_view() : packed_text(i), nullptr};
        std::uint64_t r;
        std::memcpy(&r, refs_.data() + i * kRefSize, sizeof r);
        r &= kRefMask;
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
    const std::vector<RawValue>& side_values() const noexcept { return side_; }
    // Packed: the text did not fit kMaxPackedBytes and was dropped; values
    // are still counted.
    bool overflowed() const noexcept { return overflow_; }
    // Packed: the offsets (size() + 1 of them, 4 bytes each, then room for
    // the spare bytes) and the text, for the caller to fill up and take.
    ByteBuffer& packed_offsets() noexcept { return refs_; }
    ByteBuffer& packed_text() noexcept { return text_; }
    void clear() noexcept;  // frees storage as well

private:
    Ref side(std::uint64_t r) const noexcept;
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
        text_.reserve_more(n);
        if (n <= 16 && off < copy16_bound_)
            copy16(text_.end(), text.data());
        else if (n != 0)
            std::memcpy(text_.end(), text.data(), n);
        append_end(n);
    }
    // Refs: stores one reference.
    void append_ref(std::uint64_t r) {
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
    ByteBuffer refs_;               // Refs: references. Packed: offsets.
    ByteBuffer text_;               // Packed: the cell texts
    std::size_t size_ = 0;
    std::uint64_t slice_bytes_ = 0;
    std::vector<RawValue> side_;
    bool packed_ = false;
    bool overflow_ = false;
};

// The content of one data block or save frame.
struct FrameData {
    std::vector<std::string> tag_order;                 // lower-cased, first appearance, each once
    std::vector<std::vector<std::string>> loops;        // each loop's tags, header order
    std::unordered_map<std::string, ValueColumn> tags;  // keys are exactly tag_order

    const ValueColumn* find(const std::string& tag) const {
        auto it = tags.find(tag);
        return it == tags.end() ? nullptr : &it->second;
    }
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
