#include "core/byte_buffer.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

namespace quarzel {

namespace {
thread_local MappingCache* tls_cache = nullptr;
}  // namespace

MappingCache::Use::Use(MappingCache& cache) noexcept : previous_(tls_cache) {
    tls_cache = &cache;
}
MappingCache::Use::~Use() {
    tls_cache = previous_;
}

MappingCache* MappingCache::current() noexcept {
    return tls_cache;
}

MappingCache::~MappingCache() {
#if defined(__linux__)
    for (const Mapping& m : mappings_) munmap(m.data, m.size);
#endif
    for (const Shelf& shelf : shelves_)
        for (unsigned i = 0; i < shelf.count; ++i) std::free(shelf.blocks[i].data);
}

// A block's shelf holds sizes of one power of two up to the next: any block
// on the shelf of the power at or above a size is large enough for it.
void* MappingCache::take_block(std::size_t& size) noexcept {
    const auto width = static_cast<unsigned>(std::bit_width(size - 1));
    const unsigned k = width > kFirstShelf ? width - kFirstShelf : 0;
    if (k >= kShelves) return nullptr;
    Shelf& shelf = shelves_[k];
    if (shelf.count == 0) return nullptr;
    const Mapping m = shelf.blocks[--shelf.count];
    size = m.size;
    return m.data;
}

bool MappingCache::put_block(void* data, std::size_t size) noexcept {
    const auto width = static_cast<unsigned>(std::bit_width(size));
    if (width <= kFirstShelf || size > kMaxBlock) return false;
    Shelf& shelf = shelves_[width - 1 - kFirstShelf];
    if (shelf.count == std::size(shelf.blocks)) return false;
    shelf.blocks[shelf.count++] = {data, size};
    return true;
}

void* MappingCache::take(std::size_t& size) noexcept {
    // The smallest that is large enough.
    std::size_t best = mappings_.size();
    for (std::size_t i = 0; i < mappings_.size(); ++i)
        if (mappings_[i].size >= size &&
            (best == mappings_.size() || mappings_[i].size < mappings_[best].size))
            best = i;
    if (best == mappings_.size()) return nullptr;
    const Mapping m = mappings_[best];
    mappings_.erase(mappings_.begin() + static_cast<std::ptrdiff_t>(best));
    held_ -= m.size;
    size = m.size;
    return m.data;
}

bool MappingCache::put(void* data, std::size_t size) noexcept {
    if (size > limit_) return false;
    // The oldest go first.
    std::size_t drop = 0;
    std::size_t held = held_;
    while (held + size > limit_) held -= mappings_[drop++].size;
#if defined(__linux__)
    for (std::size_t i = 0; i < drop; ++i) munmap(mappings_[i].data, mappings_[i].size);
#endif
    mappings_.erase(mappings_.begin(), mappings_.begin() + static_cast<std::ptrdiff_t>(drop));
    try {
        mappings_.push_back({data, size});
    } catch (...) {
        held_ = held;
        return false;
    }
    held_ = held + size;
    return true;
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
            std::size_t held = capacity;
            MappingCache* cache = tls_cache;
            p = cache ? cache->take(held) : nullptr;
            if (p != nullptr)
                capacity = held;
            else
                p = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1,
                         0);
            if (p != MAP_FAILED && size_ != 0) std::memcpy(p, data_, size_);
        }
        if (p == MAP_FAILED) throw std::bad_alloc();
        if (!mapped()) std::free(data_);
        set_storage(static_cast<unsigned char*>(p), capacity, true);
        return;
    }
#endif
    // A block the thread freed before, when it has one of the size.
    if (capacity <= MappingCache::kMaxBlock) {
        if (MappingCache* cache = tls_cache) {
            std::size_t held = capacity;
            if (void* p = cache->take_block(held)) {
                if (size_ != 0) std::memcpy(p, data_, size_);
                if (data_ != nullptr) free_storage({data_, old_capacity, false});
                set_storage(static_cast<unsigned char*>(p), held, false);
                return;
            }
        }
    }
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
        MappingCache* cache = tls_cache;
        if (!cache || !cache->put(storage.data, storage.capacity))
            munmap(storage.data, storage.capacity);
        return;
    }
#endif
    if (storage.capacity <= MappingCache::kMaxBlock && storage.data != nullptr)
        if (MappingCache* cache = tls_cache;
            cache && cache->put_block(storage.data, storage.capacity))
            return;
    std::free(storage.data);
}

}  // namespace quarzel
