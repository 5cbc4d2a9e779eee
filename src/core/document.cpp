#include "document.hpp"

#include "cell_text.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace quarzel {

RawValue RawValue::list(std::vector<RawValue> items) {
    RawValue v;
    v.ptr_ = new std::vector<RawValue>(std::move(items));
    v.size_ = 0;
    v.kind_ = Kind::List;
    return v;
}

RawValue RawValue::table(std::vector<TableEntry> entries) {
    RawValue v;
    v.ptr_ = new std::vector<TableEntry>(std::move(entries));
    v.size_ = 0;
    v.kind_ = Kind::Table;
    return v;
}

RawValue::RawValue(RawValue&& other) noexcept
    : ptr_(other.ptr_), size_(other.size_), kind_(other.kind_) {
    other.ptr_ = nullptr;
    other.size_ = 0;
    other.kind_ = Kind::Scalar;
}

RawValue& RawValue::operator=(RawValue&& other) noexcept {
    if (this != &other) {
        release();
        ptr_ = std::exchange(other.ptr_, nullptr);
        size_ = std::exchange(other.size_, 0);
        kind_ = std::exchange(other.kind_, Kind::Scalar);
    }
    return *this;
}

RawValue::~RawValue() {
    release();
}

// Moves the children of a compound value into `work` and frees its vector,
// leaving `v` an empty scalar.
void destroy_children(RawValue& v, std::vector<RawValue>& work) noexcept {
    if (v.kind_ == RawValue::Kind::List) {
        auto* items = static_cast<std::vector<RawValue>*>(const_cast<void*>(v.ptr_));
        for (auto& item : *items)
            if (!item.is_scalar()) work.push_back(std::move(item));
        delete items;
    } else if (v.kind_ == RawValue::Kind::Table) {
        auto* entries = static_cast<std::vector<TableEntry>*>(const_cast<void*>(v.ptr_));
        for (auto& e : *entries)
            if (!e.value.is_scalar()) work.push_back(std::move(e.value));
        delete entries;
    }
    v.ptr_ = nullptr;
    v.size_ = 0;
    v.kind_ = RawValue::Kind::Scalar;
}

void RawValue::release() noexcept {
    if (kind_ == Kind::Scalar) return;
    // Children are moved into a work list before their parent's vector is
    // freed, so no destructor below ever meets a compound child.
    std::vector<RawValue> work;
    destroy_children(*this, work);
    while (!work.empty()) {
        RawValue v = std::move(work.back());
        work.pop_back();
        destroy_children(v, work);
    }
}

ValueColumn::ValueColumn(const char* base, std::size_t base_size, ColumnLayout layout)
    : base_(base),
      base_size_(base_size < kMaxOffset ? base_size : kMaxOffset),
      copy16_bound_(base != nullptr && base_size >= 16 ? base_size - 15 : 0),
      packed_(layout == ColumnLayout::Packed) {
    if (packed_) {
        // The leading offset.
        refs_.reserve_more(4);
        std::memset(refs_.end(), 0, 4);
        refs_.advance(4);
    }
}

void ValueColumn::push(RawValue&& value) {
    if (packed_) {
        if (value.is_scalar()) {
            push_packed(value.text(), ~std::uintptr_t{0});
            return;
        }
        const std::size_t n = cell_size(value);
        if (slice_bytes_ + n > kMaxPackedBytes) {
            packed_overflow(n);
            return;
        }
        text_.reserve_more(n);
        BufferWriter writer{text_.end()};
        put_cell(writer, value);
        append_end(n);
        return;
    }
    // A short slice of the base text takes a reference; anything else goes aside.
    if (value.is_scalar() && push_slice(value.text())) return;
    append_ref(kSide | side_.size());
    side_.push_back(std::move(value));
}

// Past the limit the text is dropped (the conversion reports the size) but
// values are still counted, so row counts stay right.
void ValueColumn::packed_overflow(std::size_t n) noexcept {
    if (!overflow_) {
        overflow_ = true;
        refs_.release();
        text_.release();
    }
    slice_bytes_ += n;
    ++size_;
}

ValueColumn::Ref ValueColumn::side(std::uint64_t r) const noexcept {
    const RawValue& v = side_[r & ~kSide];
    if (v.is_scalar()) return {v.text(), nullptr};
    return {{}, &v};
}

void ByteBuffer::grow(std::size_t more) {
    if (more > SIZE_MAX / 4 - size_) throw std::bad_alloc();
    std::size_t capacity = capacity_ < 64 ? 64 : capacity_ * 2;
    if (capacity < size_ + more) capacity = size_ + more;
#if defined(__linux__)
    if (capacity >= kMapBytes) {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        capacity = (capacity + page - 1) / page * page;
        void* p;
        if (mapped_) {
            p = mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
        } else {
            p = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p != MAP_FAILED && size_ != 0) std::memcpy(p, data_, size_);
        }
        if (p == MAP_FAILED) throw std::bad_alloc();
        if (!mapped_) std::free(data_);
        data_ = static_cast<unsigned char*>(p);
        capacity_ = capacity;
        mapped_ = true;
        return;
    }
#endif
    void* p = std::realloc(data_, capacity);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<unsigned char*>(p);
    capacity_ = capacity;
}

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

void ValueColumn::clear() noexcept {
    refs_.release();
    text_.release();
    size_ = 0;
    slice_bytes_ = 0;
    overflow_ = false;
    std::vector<RawValue>().swap(side_);
}

}  // namespace quarzel
