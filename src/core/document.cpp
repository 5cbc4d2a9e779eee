#include "core/document.hpp"

#include <cstdint>
#include <limits>
#include <new>
#include <utility>

namespace quarzel {

ValueColumn& FrameData::add(std::string_view tag, ValueColumn column, std::uint32_t offset) {
    if (tag_order.size() >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::bad_alloc();
    if (columns.capacity() == 0) {
        // Room for a typical frame at once; complete frames give back the rest.
        tag_order.reserve(8);
        tag_offsets.reserve(8);
        columns.reserve(8);
    }
    tag_order.push_back(tag);
    tag_offsets.push_back(offset);
    columns.push_back(std::move(column));
    index_.appended(tag_order);
    return columns.back();
}

}  // namespace quarzel
