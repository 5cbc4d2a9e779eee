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

// A growable array of 48-bit references, packed six bytes apart. It grows
// with realloc: large arrays are remapped rather than copied, so a loop
// column of millions of values is not copied (and its pages touched anew) at
// every doubling. Each entry is read and written as one unaligned 8-byte
// word; two spare bytes after the last entry keep that inside the storage.
class RefBuffer {
public:
    static constexpr std::size_t kStride = 6;
    static constexpr std::uint64_t kMask = (std::uint64_t{1} << 48) - 1;

    RefBuffer() noexcept = default;
    RefBuffer(RefBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    RefBuffer& operator=(RefBuffer&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    RefBuffer(const RefBuffer&) = delete;
    RefBuffer& operator=(const RefBuffer&) = delete;
    ~RefBuffer() { release(); }

    // `ref` must fit in 48 bits.
    void push_back(std::uint64_t ref) {
        if (size_ == capacity_) [[unlikely]]
            grow(size_ + 1);
        std::memcpy(data_ + size_ * kStride, &ref, sizeof ref);
        ++size_;
    }
    void reserve(std::size_t n) {
        if (n > capacity_) grow(n);
    }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::uint64_t operator[](std::size_t i) const noexcept {
        std::uint64_t r;
        std::memcpy(&r, data_ + i * kStride, sizeof r);
        return r & kMask;
    }
    void release() noexcept;  // frees storage; leaves the buffer empty

private:
    void grow(std::size_t at_least);

    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
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
// Scalars that are short slices of the first 4 GiB of the document's text
// take 6 bytes; any other value is kept aside as a RawValue.
class ValueColumn {
public:
    // A view of one stored value: `compound` is null for scalars.
    struct Ref {
        std::string_view text;
        const RawValue* compound = nullptr;
    };

    ValueColumn() = default;
    // Slices of `base` beyond the reach of a 6-byte reference are kept aside.
    ValueColumn(const char* base, std::size_t base_size) noexcept
        : base_(base), base_size_(base_size < kMaxOffset ? base_size : kMaxOffset) {}

    void push(RawValue&& value);
    // Stores a scalar that is a short slice of the base text in 6 bytes;
    // false (nothing stored) for any other text.
    bool push_slice(std::string_view text) {
        auto off =
            reinterpret_cast<std::uintptr_t>(text.data()) - reinterpret_cast<std::uintptr_t>(base_);
        if (off > base_size_ || text.size() > base_size_ - off || text.size() > kMaxLen)
            return false;
        refs_.push_back(off | (static_cast<std::uint64_t>(text.size()) << kLenShift));
        slice_bytes_ += text.size();
        return true;
    }
    void reserve(std::size_t n) { refs_.reserve(n); }
    std::size_t size() const noexcept { return refs_.size(); }
    bool empty() const noexcept { return refs_.empty(); }
    Ref operator[](std::size_t i) const noexcept {
        std::uint64_t r = refs_[i];
        if (r & kSide) [[unlikely]]
            return side(r);
        return {
            std::string_view(base_ + (r & kMaxOffset), static_cast<std::size_t>(r >> kLenShift)),
            nullptr};
    }
    // The bytes of the scalars stored as slices, and the values kept aside:
    // together they tell the size of the column's text without a pass over
    // every value.
    std::uint64_t slice_bytes() const noexcept { return slice_bytes_; }
    const std::vector<RawValue>& side_values() const noexcept { return side_; }
    void clear() noexcept;  // frees storage as well

private:
    Ref side(std::uint64_t r) const noexcept;

    // A reference: offset (32 bits) | length (15 bits) << 32, or
    // kSide | index into side_.
    static constexpr unsigned kLenShift = 32;
    static constexpr std::uint64_t kSide = std::uint64_t{1} << 47;
    static constexpr std::uint64_t kMaxLen = (std::uint64_t{1} << 15) - 1;
    static constexpr std::uint64_t kMaxOffset = (std::uint64_t{1} << 32) - 1;

    const char* base_ = nullptr;
    std::size_t base_size_ = 0;
    RefBuffer refs_;
    std::uint64_t slice_bytes_ = 0;
    std::vector<RawValue> side_;
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
