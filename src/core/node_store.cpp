#include "core/node_store.hpp"

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

}  // namespace quarzel
