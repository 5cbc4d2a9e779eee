#include "core/document.hpp"

#include "core/cell_text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace quarzel {

void NodeStore::append(const NodeStore& other) {
    const std::size_t n = other.size();
    words_.reserve_more(kNodeSize * n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t w = other.word(i);
        if (w >> kKindShift == kFar || (w >> kKindShift == kSlice && other.base_ != base_)) {
            push_text(other[i].text);
        } else {
            push_word(w);
            if (w >> kKindShift == kSlice) text_bytes_ += other[i].text.size();
        }
    }
}

ValueColumn::ValueColumn(const char* base, std::size_t base_size, ColumnLayout layout)
    : base_(base),
      base_size_(base_size < kMaxOffset ? base_size : kMaxOffset),
      copy16_bound_(base != nullptr && base_size >= 16 ? base_size - 15 : 0),
      packed_(layout == ColumnLayout::Packed) {
    // Offsets are the most memory a large packed column writes (4 bytes
    // per value); the text and the 6-byte references stay in small pages,
    // whose unused ends cost nothing.
    if (packed_) refs_.prefer_huge_pages();
}

void ValueColumn::start_buffers() {
    refs_.reserve_more(8);
    std::memset(refs_.end(), 0, 4);
    refs_.advance(4);
    started_ = true;
    if (held_first_) {
        held_first_ = false;
        const std::string_view first = held_text();
        text_.reserve_more(first.size());
        if (!first.empty()) std::memcpy(text_.end(), first.data(), first.size());
        text_.advance(first.size());
        const auto end = static_cast<std::uint32_t>(first.size());
        std::memcpy(refs_.end(), &end, sizeof end);
        refs_.advance(sizeof end);
    }
}

void ValueColumn::push_text(std::string_view text) {
    if (packed_) {
        push_packed(text, ~std::uintptr_t{0});
        return;
    }
    // A short slice of the base text takes a reference; anything else goes aside.
    if (push_slice(text)) return;
    NodeStore& side = side_store();
    append_ref(kSide | side.size());
    side.push_text(text);
}

void ValueColumn::push_value(const NodeStore& value) {
    if (packed_) {
        // Written in one pass into room for the most it can take; the exact
        // size is counted first only near the column's limit.
        const std::uint64_t bound = value.cell_bound();
        if (slice_bytes_ + bound > kMaxPackedBytes) [[unlikely]] {
            const std::size_t n = cell_size(value, 0);
            if (slice_bytes_ + n > kMaxPackedBytes) {
                packed_overflow(n);
                return;
            }
        }
        start_packed();
        text_.reserve_more(static_cast<std::size_t>(bound));
        BufferWriter writer{text_.end()};
        put_cell(writer, value, 0);
        append_end(static_cast<std::size_t>(writer.out - text_.end()));
        return;
    }
    NodeStore& side = side_store();
    append_ref(kSide | side.size());
    side.append(value);
}

// Past the limit the text is dropped (the conversion reports the size) but
// values are still counted, so row counts stay right.
void ValueColumn::packed_overflow(std::size_t n) noexcept {
    if (!overflow_) {
        overflow_ = true;
        held_first_ = false;
        refs_.release();
        text_.release();
    }
    slice_bytes_ += n;
    ++size_;
}

const NodeStore ValueColumn::kNoValues;

NodeStore& ValueColumn::side_store() {
    if (!side_) side_ = std::make_unique<NodeStore>(base_, base_size_);
    return *side_;
}

ValueColumn::Ref ValueColumn::side(std::uint64_t r) const noexcept {
    const std::size_t i = r & ~kSide;
    const Node n = (*side_)[i];
    if (n.kind == NodeKind::Text) return {n.text};
    return {{}, side_.get(), i};
}

ValueColumn& FrameData::add(std::string_view tag, ValueColumn column) {
    if (tag_order.size() >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::bad_alloc();
    if (columns.capacity() == 0) {
        // Room for a typical frame at once; complete frames give back the rest.
        tag_order.reserve(8);
        columns.reserve(8);
    }
    tag_order.push_back(tag);
    columns.push_back(std::move(column));
    index_.appended(tag_order);
    return columns.back();
}

void ValueColumn::clear() noexcept {
    refs_.release();
    text_.release();
    size_ = 0;
    slice_bytes_ = 0;
    overflow_ = false;
    started_ = false;
    held_first_ = false;
    side_.reset();
}

}  // namespace quarzel
