#include "core/value_column.hpp"

#include "core/cell_text.hpp"

namespace quarzel {

// ---------------------------------------------------------------------------
// RefColumn

const NodeStore RefColumn::kNoValues;

RefColumn::RefColumn(RefColumn&&) noexcept = default;
RefColumn& RefColumn::operator=(RefColumn&&) noexcept = default;
RefColumn::~RefColumn() = default;

// A short slice of the base text takes a reference; anything else goes aside.
void RefColumn::push_text(std::string_view text) {
    if (push_slice(text)) return;
    NodeStore& side = side_store();
    append_ref(kSide | side.size());
    side.push_text(text);
}

// One reserve for all the words, and the word loop kept to locals (a store
// through the byte buffer could alias a member).
std::size_t RefColumn::push_slices(std::span<const std::string_view> words, std::size_t i,
                                   std::size_t stride) {
    const std::size_t n = words.size();
    if (i < n && size_ == 0) {
        if (!push_slice(words[i])) return i;
        i += stride;
    }
    if (i >= n) return i;
    std::size_t left = (n - i + stride - 1) / stride;  // the words of this column
    refs_.reserve_more(left * kRefSize);
    const ColumnBase base = base_;
    const std::size_t max_len = base.max_len();
    const std::string_view* word = words.data() + i;
    unsigned char* const start = refs_.end();
    unsigned char* out = start;
    std::uint64_t bytes = 0;
    for (;;) {
        const std::uintptr_t off = base.offset_of(*word);
        const std::size_t length = word->size();
        if (length > max_len || off > base.size - length) [[unlikely]]
            break;  // as is_short_slice
        const std::uint64_t r = ColumnBase::ref_of(off, length);
        std::memcpy(out, &r, sizeof r);
        out += kRefSize;
        bytes += length;
        if (--left == 0) break;
        word += stride;
    }
    const auto written = static_cast<std::size_t>(out - start);
    refs_.advance(written);
    size_ += written / kRefSize;
    slice_bytes_ += bytes;
    return left == 0 ? n : static_cast<std::size_t>(word - words.data());
}

// push_slices for words the lexer already gave as references: only their
// length is checked (a slice of the base text is within it).
std::size_t RefColumn::push_refs(std::span<const std::uint64_t> refs, std::size_t i,
                                 std::size_t stride) {
    const std::size_t n = refs.size();
    if (i < n && size_ == 0) {
        // The first reference lives in the column object.
        const std::uint64_t r = refs[i];
        if ((r >> kLenShift) > ColumnBase::kMaxLen) return i;
        first_ = r;
        size_ = 1;
        slice_bytes_ += r >> kLenShift;
        i += stride;
    }
    if (i >= n) return i;
    std::size_t left = (n - i + stride - 1) / stride;  // the words of this column
    refs_.reserve_more(left * kRefSize);
    const std::uint64_t* ref = refs.data() + i;
    unsigned char* const start = refs_.end();
    unsigned char* out = start;
    std::uint64_t bytes = 0;
    for (;;) {
        const std::uint64_t r = *ref;
        if ((r >> kLenShift) > ColumnBase::kMaxLen) [[unlikely]]
            break;
        std::memcpy(out, &r, sizeof r);
        out += kRefSize;
        bytes += r >> kLenShift;
        if (--left == 0) break;
        ref += stride;
    }
    const auto written = static_cast<std::size_t>(out - start);
    refs_.advance(written);
    size_ += written / kRefSize;
    slice_bytes_ += bytes;
    return left == 0 ? n : static_cast<std::size_t>(ref - refs.data());
}

void RefColumn::push_value(const NodeStore& value) {
    NodeStore& side = side_store();
    append_ref(kSide | side.size());
    side.append(value);
}

NodeStore& RefColumn::side_store() {
    if (!side_) side_ = std::make_unique<NodeStore>(base_.base, base_.size);
    return *side_;
}

ValueRef RefColumn::side(std::uint64_t r) const noexcept {
    const std::size_t i = r & ~kSide;
    const Node n = (*side_)[i];
    if (n.kind == NodeKind::Text) return {n.text};
    return {{}, side_.get(), i};
}

void RefColumn::clear() noexcept {
    refs_.release();
    size_ = 0;
    slice_bytes_ = 0;
    side_.reset();
}

// ---------------------------------------------------------------------------
// PackedColumn

PackedColumn::PackedColumn(const char* base, std::size_t base_size) noexcept
    : base_(base, base_size),
      copy16_bound_(base != nullptr && base_size >= 16 ? base_size - 15 : 0) {
    // Offsets are the most memory a large packed column writes (4 bytes
    // per value); the text stays in small pages, whose unused ends cost
    // nothing.
    offsets_.prefer_huge_pages();
}

void PackedColumn::start_buffers() {
    offsets_.reserve_more(8);
    std::memset(offsets_.end(), 0, 4);
    offsets_.advance(4);
    started_ = true;
    if (held_first_) {
        held_first_ = false;
        const std::string_view first = held_text();
        text_.reserve_more(first.size());
        if (!first.empty()) std::memcpy(text_.end(), first.data(), first.size());
        text_.advance(first.size());
        const auto end = static_cast<std::uint32_t>(first.size());
        std::memcpy(offsets_.end(), &end, sizeof end);
        offsets_.advance(sizeof end);
    }
}

// The loop of push() with what it changes kept in locals (a store through
// the byte buffers could alias any member) and the offsets' room made once;
// the first values (held, or starting the buffers), a column over its limit
// and a value that would take it there go through push() itself.
std::size_t PackedColumn::push_slices(std::span<const std::string_view> words, std::size_t i,
                                      std::size_t stride) {
    const std::size_t n = words.size();
    for (; i < n && (!started_ || overflow_); i += stride) push_slice(words[i]);
    if (i >= n) return i;
    offsets_.reserve_more(4 * ((n - i + stride - 1) / stride));
    const auto base = reinterpret_cast<std::uintptr_t>(base_.base);
    const std::size_t copy16_bound = copy16_bound_;
    unsigned char* offsets = offsets_.end();
    // Bytes the text can take before it must grow (none before it has storage).
    const auto room_left = [this] {
        const std::size_t used = text_.size() + ByteBuffer::kSpare;
        return text_.capacity() > used ? text_.capacity() - used : 0;
    };
    unsigned char* text = text_.end();
    std::size_t room = room_left();
    std::uint64_t bytes = bytes_;
    const auto commit = [&] {
        text_.advance(static_cast<std::size_t>(text - text_.end()));
        const auto written = static_cast<std::size_t>(offsets - offsets_.end());
        offsets_.advance(written);
        size_ += written / 4;
        bytes_ = bytes;
    };
    for (; i < n; i += stride) {
        const std::string_view word = words[i];
        const std::size_t length = word.size();
        if (bytes + length > kMaxBytes) [[unlikely]]
            break;
        if (length > room) [[unlikely]] {
            commit();
            text_.reserve_more(length);
            text = text_.end();
            room = room_left();
        }
        if (length <= 16 && reinterpret_cast<std::uintptr_t>(word.data()) - base < copy16_bound)
            copy16(text, word.data());
        else if (length != 0)
            std::memcpy(text, word.data(), length);
        text += length;
        room -= length;
        bytes += length;
        const auto end = static_cast<std::uint32_t>(bytes);
        std::memcpy(offsets, &end, sizeof end);
        offsets += sizeof end;
    }
    commit();
    for (; i < n; i += stride) push_slice(words[i]);
    return i;
}

// Written in one pass into room for the most it can take; the exact size is
// counted first only near the column's limit.
void PackedColumn::push_value(const NodeStore& value) {
    const std::uint64_t bound = value.cell_bound();
    if (bytes_ + bound > kMaxBytes) [[unlikely]] {
        const std::size_t n = cell_size(value, 0);
        if (bytes_ + n > kMaxBytes) {
            overflow(n);
            return;
        }
    }
    start();
    compounds_.push_back(static_cast<std::uint32_t>(size_));
    text_.reserve_more(static_cast<std::size_t>(bound));
    BufferWriter writer{text_.end()};
    put_cell(writer, value, 0);
    append_end(static_cast<std::size_t>(writer.out - text_.end()));
}

// Past the limit the text is dropped (the conversion reports the size) but
// values are still counted, so row counts stay right.
void PackedColumn::overflow(std::size_t n) noexcept {
    if (!overflow_) {
        overflow_ = true;
        held_first_ = false;
        offsets_.release();
        text_.release();
    }
    bytes_ += n;
    ++size_;
}

void PackedColumn::clear() noexcept {
    offsets_.release();
    text_.release();
    std::vector<std::uint32_t>().swap(compounds_);
    size_ = 0;
    bytes_ = 0;
    overflow_ = false;
    started_ = false;
    held_first_ = false;
}

}  // namespace quarzel
