#include "arrow/memory.hpp"

#include <cstdlib>
#include <new>

namespace quarzel::arrow_stage {

Slab* Slab::make(std::size_t bytes) noexcept {
    void* data = std::malloc(bytes);
    if (data == nullptr) return nullptr;
    Slab* slab = new (std::nothrow) Slab(static_cast<unsigned char*>(data));
    if (slab == nullptr) std::free(data);
    return slab;
}

Slab::~Slab() {
    std::free(data_);
}

unsigned char* Arena::allocate_own(std::size_t bytes, KeeperRef& keeper) {
    Slab* own = Slab::make(bytes);
    if (own == nullptr) return nullptr;
    keeper = KeeperRef::adopt(own);
    return own->data();
}

bool Arena::new_slab() {
    Slab* slab = Slab::make(kSlabBytes);
    if (slab == nullptr) return false;
    slab_ = KeeperRef::adopt(slab);
    next_ = slab->data();
    left_ = kSlabBytes;
    return true;
}

}  // namespace quarzel::arrow_stage
