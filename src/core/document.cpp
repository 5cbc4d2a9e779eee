#include "document.hpp"

#include "cell_text.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
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

void ByteBuffer::grow(std::size_t more) {
    if (more > SIZE_MAX / 4 - size_) throw std::bad_alloc();
    // The first allocation takes what is asked for (many columns hold one
    // value), later ones double, from 64 bytes on.
    const std::size_t old_capacity = capacity();
    std::size_t capacity = old_capacity == 0 ? more : std::max<std::size_t>(64, old_capacity * 2);
    if (capacity < size_ + more) capacity = size_ + more;
    capacity = (capacity + 7) / 8 * 8;
#if defined(__linux__)
    if (capacity >= kMapBytes) {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        capacity = (capacity + page - 1) / page * page;
        void* p;
        if ((bits_ & kHuge) && capacity >= kHugeFrom) {
            grow_huge(capacity);
            return;
        }
        if (mapped()) {
            p = mremap(data_, old_capacity, capacity, MREMAP_MAYMOVE);
        } else {
            p = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p != MAP_FAILED && size_ != 0) std::memcpy(p, data_, size_);
        }
        if (p == MAP_FAILED) throw std::bad_alloc();
        if (!mapped()) std::free(data_);
        set_storage(static_cast<unsigned char*>(p), capacity, true);
        return;
    }
#endif
    void* p = std::realloc(data_, capacity);
    if (p == nullptr) throw std::bad_alloc();
    set_storage(static_cast<unsigned char*>(p), capacity, false);
}

#if defined(__linux__)
// A fresh mapping aligned to 2 MiB and marked for huge pages before any of
// it is touched (pages already present would stay small); the contents are
// copied over.
void ByteBuffer::grow_huge(std::size_t capacity) {
    capacity = (capacity + kHugePage - 1) / kHugePage * kHugePage;
    void* raw = mmap(nullptr, capacity + kHugePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    auto* start = static_cast<unsigned char*>(raw);
    auto* aligned = reinterpret_cast<unsigned char*>(
        (reinterpret_cast<std::uintptr_t>(start) + kHugePage - 1) & ~(kHugePage - 1));
    if (aligned != start) munmap(start, static_cast<std::size_t>(aligned - start));
    const std::size_t tail = kHugePage - static_cast<std::size_t>(aligned - start);
    if (tail != 0) munmap(aligned + capacity, tail);
    madvise(aligned, capacity, MADV_HUGEPAGE);
    if (size_ != 0) std::memcpy(aligned, data_, size_);
    free_storage({data_, this->capacity(), mapped()});
    set_storage(aligned, capacity, true);
}
#endif

void ByteBuffer::free_storage(const Storage& storage) noexcept {
#if defined(__linux__)
    if (storage.mapped) {
        munmap(storage.data, storage.capacity);
        return;
    }
#endif
    std::free(storage.data);
}

void ByteBuffer::release() noexcept {
    free_storage(take());
}

namespace {

std::size_t tag_hash(std::string_view tag) noexcept {
    return std::hash<std::string_view>{}(tag);
}

}  // namespace

std::size_t FrameData::position(std::string_view tag) const noexcept {
    if (index_.empty()) {
        for (std::size_t i = 0; i < tag_order.size(); ++i)
            if (tag_order[i] == tag) return i;
        return npos;
    }
    const std::size_t mask = index_.size() - 1;
    for (std::size_t slot = tag_hash(tag) & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t entry = index_[slot];
        if (entry == 0) return npos;
        if (tag_order[entry - 1] == tag) return entry - 1;
    }
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
    const std::size_t n = tag_order.size();
    if (n >= kIndexFrom) {
        if (index_.size() < 2 * n) {
            // Rebuilt at twice the size: at most half full.
            std::size_t size = 16;
            while (size < 4 * n) size *= 2;
            index_.assign(size, 0);
            for (std::size_t i = 0; i < n; ++i) index_tag(i);
        } else {
            index_tag(n - 1);
        }
    }
    return columns.back();
}

void FrameData::index_tag(std::size_t position) {
    const std::size_t mask = index_.size() - 1;
    std::size_t slot = tag_hash(tag_order[position]) & mask;
    while (index_[slot] != 0) slot = (slot + 1) & mask;
    index_[slot] = static_cast<std::uint32_t>(position + 1);
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
