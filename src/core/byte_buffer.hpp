// The growable byte array under the document's columns and node stores.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace quarzel {

// Freed mappings of byte buffers kept for the next buffers of one thread,
// instead of fresh pages that the system zeroes one by one on first touch:
// a thread that reads document after document (an archive worker) installs
// one for as long as it runs. Without one, mappings go back to the system
// when freed. Small heap blocks of freed buffers are kept too, a few of
// each size class: a document's columns make dozens of them, which the
// heap would otherwise hand out and take back on its slow paths.
class MappingCache {
public:
    explicit MappingCache(std::size_t limit) noexcept : limit_(limit) {}
    MappingCache(const MappingCache&) = delete;
    MappingCache& operator=(const MappingCache&) = delete;
    ~MappingCache();  // unmaps what it holds

    // Makes `cache` the calling thread's cache while it lives.
    class Use {
    public:
        explicit Use(MappingCache& cache) noexcept;
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        ~Use();

    private:
        MappingCache* previous_;
    };

    // The calling thread's cache, or null.
    static MappingCache* current() noexcept;
    // A held mapping of at least `size` bytes (its size in `size`), or null.
    void* take(std::size_t& size) noexcept;
    // Holds a mapping when it fits under the limit; false when it does not.
    bool put(void* data, std::size_t size) noexcept;

    // Largest heap block held.
    static constexpr std::size_t kMaxBlock = 4096;
    // A held heap block of at least `size` bytes (at most kMaxBlock; its
    // size in `size`), or null.
    void* take_block(std::size_t& size) noexcept;
    // Holds a heap block from malloc of `size` bytes (at most kMaxBlock)
    // when its size class has room; false when it has not.
    bool put_block(void* data, std::size_t size) noexcept;

private:
    struct Mapping {
        void* data;
        std::size_t size;
    };
    // Heap blocks of sizes from 2^(kFirstShelf + k) to twice that, less one.
    struct Shelf {
        unsigned count = 0;
        Mapping blocks[8];
    };
    static constexpr unsigned kFirstShelf = 4;
    static constexpr unsigned kShelves = 9;  // up to 8191 bytes, kMaxBlock within
    std::size_t limit_;
    std::size_t held_ = 0;
    std::vector<Mapping> mappings_;
    Shelf shelves_[kShelves];
};

// A growable byte array with 16 spare bytes beyond what is reserved, so
// that short copies may move whole 8- or 16-byte words. Small arrays live on
// the heap; from kMapBytes on, an array has pages of its own that grow by
// remapping (never copied) and go back to the system when freed, so that a
// column of millions of values neither is copied at every doubling nor
// leaves heap behind it.
class ByteBuffer {
public:
    static constexpr std::size_t kSpare = 16;
    static constexpr std::size_t kMapBytes = std::size_t{64} << 10;

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
          bits_(std::exchange(other.bits_, other.bits_ & kHuge)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            bits_ = std::exchange(other.bits_, other.bits_ & kHuge);
        }
        return *this;
    }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { release(); }

    // From 1 MiB on, the array grows into pages of 2 MiB where the system
    // offers them: one page fault per 2 MiB instead of 512. For arrays that
    // are certain to grow large; at most one such page is partly used.
    void prefer_huge_pages() noexcept { bits_ |= kHuge; }

    // Makes room for `n` more bytes, and the spare ones after them.
    void reserve_more(std::size_t n) {
        if (capacity() - size_ < n + kSpare) [[unlikely]]
            grow(n + kSpare);
    }
    unsigned char* data() noexcept { return data_; }
    const unsigned char* data() const noexcept { return data_; }
    unsigned char* end() noexcept { return data_ + size_; }
    std::size_t size() const noexcept { return size_; }
    // Bytes the storage holds, the spare ones included.
    std::size_t capacity() const noexcept { return bits_ & ~kFlags; }
    void advance(std::size_t n) noexcept { size_ += n; }
    void truncate(std::size_t n) noexcept {
        if (n < size_) size_ = n;
    }
    // Frees storage; leaves the buffer empty.
    void release() noexcept {
        if (data_ != nullptr) free_storage(take());
    }
    // Hands the storage over, to be freed with free_storage; leaves the
    // buffer empty.
    Storage take() noexcept {
        Storage storage{data_, capacity(), mapped()};
        data_ = nullptr;
        size_ = 0;
        bits_ &= kHuge;
        return storage;
    }

private:
    void grow(std::size_t more);
    void grow_huge(std::size_t capacity);
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;
    static constexpr std::size_t kHugeFrom = std::size_t{1} << 20;

    // The capacity (a multiple of 8) with two flags in its low bits: the
    // storage is mapped, huge pages are preferred.
    static constexpr std::size_t kMapped = 1, kHuge = 2, kFlags = 7;
    bool mapped() const noexcept { return (bits_ & kMapped) != 0; }
    void set_storage(unsigned char* data, std::size_t capacity, bool mapped) noexcept {
        data_ = data;
        bits_ = capacity | (mapped ? kMapped : 0) | (bits_ & kHuge);
    }

    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t bits_ = 0;
};

}  // namespace quarzel
