#include "document.hpp"

#include <cstdint>
#include <cstdlib>
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

void ValueColumn::push(RawValue&& value) {
    if (value.is_scalar()) {
        std::string_view t = value.text();
        auto p = reinterpret_cast<std::uintptr_t>(t.data());
        auto b = reinterpret_cast<std::uintptr_t>(base_);
        if (base_ != nullptr && p >= b && t.size() <= kMaxLen && t.size() <= base_size_ &&
            p - b <= base_size_ - t.size()) {
            refs_.push_back((p - b) | (static_cast<std::uint64_t>(t.size()) << kLenShift));
            slice_bytes_ += t.size();
            return;
        }
    }
    refs_.push_back(kSide | side_.size());
    side_.push_back(std::move(value));
}

ValueColumn::Ref ValueColumn::side(std::uint64_t r) const noexcept {
    const RawValue& v = side_[r & ~kSide];
    if (v.is_scalar()) return {v.text(), nullptr};
    return {{}, &v};
}

// realloc moves large blocks by remapping their pages (no copy) and may
// extend smaller ones in place.
void RefBuffer::grow(std::size_t at_least) {
    std::size_t capacity = capacity_ < 16 ? 16 : capacity_ * 2;
    if (capacity < at_least) capacity = at_least;
    if (capacity > (SIZE_MAX - 2) / kStride) throw std::bad_alloc();
    void* p = std::realloc(data_, capacity * kStride + 2);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<unsigned char*>(p);
    capacity_ = capacity;
}

void RefBuffer::release() noexcept {
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
}

void ValueColumn::clear() noexcept {
    refs_.release();
    slice_bytes_ = 0;
    std::vector<RawValue>().swap(side_);
}

}  // namespace quarzel
