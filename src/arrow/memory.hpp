// Counted memory for exported Arrow buffers: the release callbacks of the C
// data interface may run on any thread, long after the conversion, so what
// keeps a buffer alive is counted by hand.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/byte_buffer.hpp"

namespace quarzel::arrow_stage {

// Something that owns exported memory; deleted with its last reference.
class Keeper {
public:
    Keeper() = default;
    Keeper(const Keeper&) = delete;
    Keeper& operator=(const Keeper&) = delete;
    void ref() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void unref() noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

protected:
    virtual ~Keeper() = default;

private:
    std::atomic<std::int64_t> refs_{1};
};

// One counted reference to a keeper.
class KeeperRef {
public:
    KeeperRef() noexcept = default;
    // Takes over the reference `keeper` was made with.
    static KeeperRef adopt(Keeper* keeper) noexcept {
        KeeperRef r;
        r.k_ = keeper;
        return r;
    }
    KeeperRef(const KeeperRef& other) noexcept : k_(other.k_) {
        if (k_) k_->ref();
    }
    KeeperRef(KeeperRef&& other) noexcept : k_(std::exchange(other.k_, nullptr)) {}
    KeeperRef& operator=(KeeperRef other) noexcept {
        std::swap(k_, other.k_);
        return *this;
    }
    ~KeeperRef() {
        if (k_) k_->unref();
    }
    Keeper* get() const noexcept { return k_; }

private:
    Keeper* k_ = nullptr;
};

// A large packed column's storage, freed as the column would have freed it.
class StorageKeeper final : public Keeper {
public:
    StorageKeeper(ByteBuffer::Storage offsets, ByteBuffer::Storage text) noexcept
        : offsets_(offsets), text_(text) {}

private:
    ~StorageKeeper() override {
        ByteBuffer::free_storage(offsets_);
        ByteBuffer::free_storage(text_);
    }
    ByteBuffer::Storage offsets_, text_;
};

// A block of memory from malloc.
class Slab final : public Keeper {
public:
    // Null when out of memory.
    static Slab* make(std::size_t bytes) noexcept;
    unsigned char* data() const noexcept { return data_; }

private:
    explicit Slab(unsigned char* data) noexcept : data_(data) {}
    ~Slab() override;
    unsigned char* data_;
};

// Memory for the small columns (identity columns, tags with few values),
// handed out from shared slabs: documents of many save frames make many
// small batches, and each would otherwise hold allocations of its own.
// A slab is freed once no exported column uses it.
class Arena {
public:
    // `bytes` of memory aligned to 8 and the keeper that holds it, or null
    // when out of memory. Large requests get a slab of their own.
    unsigned char* allocate(std::size_t bytes, KeeperRef& keeper) {
        bytes = (std::max<std::size_t>(bytes, 8) + 7) & ~std::size_t{7};
        if (bytes > kSlabBytes / 4) return allocate_own(bytes, keeper);
        if (bytes > left_ && !new_slab()) return nullptr;
        unsigned char* out = next_;
        next_ += bytes;
        left_ -= bytes;
        keeper = slab_;
        return out;
    }

private:
    unsigned char* allocate_own(std::size_t bytes, KeeperRef& keeper);
    bool new_slab();

    static constexpr std::size_t kSlabBytes = std::size_t{64} << 10;
    KeeperRef slab_;
    unsigned char* next_ = nullptr;
    std::size_t left_ = 0;
};

}  // namespace quarzel::arrow_stage
