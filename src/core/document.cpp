#include "core/document.hpp"

#include <cstdint>
#include <limits>
#include <new>
#include <utility>

namespace quarzel {

ValueColumn& FrameData::add(std::string_view tag, ValueColumn&& column, std::uint32_t loop,
                            std::uint32_t place, std::uint32_t offset) {
    ValueColumn& added = push(tag, std::move(column), loop, place, offset);
    index_.appended(tag_order);
    return added;
}

ValueColumn& FrameData::add_hashed(std::uint64_t hash, std::string_view tag, ValueColumn&& column,
                                   std::uint32_t loop, std::uint32_t place, std::uint32_t offset) {
    ValueColumn& added = push(tag, std::move(column), loop, place, offset);
    index_.appended(tag_order, hash);
    return added;
}

ValueColumn& FrameData::push(std::string_view tag, ValueColumn&& column, std::uint32_t loop,
                             std::uint32_t place, std::uint32_t offset) {
    if (tag_order.size() >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::bad_alloc();
    // Room for a typical frame at once; complete frames give back the rest.
    if (columns.capacity() == 0) reserve(8);
    // Places are kept from the first drop on (most frames have none).
    if (!places_.empty()) [[unlikely]]
        places_.push_back(Place{loop, place});
    tag_order.push_back(tag);
    tag_offsets.push_back(offset);
    columns.push_back(std::move(column));
    return columns.back();
}

void FrameData::reserve(std::size_t tags) {
    tag_order.reserve(tags);
    tag_offsets.reserve(tags);
    columns.reserve(tags);
    index_.reserve(tag_order, tags);
}

// The entry stays, blank, until settle(): no name is empty (tags begin with
// an underscore), so the index passes over it, and nothing moves, however
// many tags a large frame gives again.
bool FrameData::in_loop(std::size_t at_position) {
    if (places_.empty()) {
        // Where each tag is looped, worked out once the frame drops a tag
        // (and kept up from then on).
        places_.resize(tag_order.size());
        for (std::size_t l = 0; l < loops.size(); ++l)
            for (std::size_t at = 0; at < loops[l].size(); ++at)
                if (const std::size_t i = this->position(loops[l][at]); i != npos)
                    places_[i] =
                        Place{static_cast<std::uint32_t>(l), static_cast<std::uint32_t>(at)};
    }
    return places_[at_position].loop != kNoLoop;
}

void FrameData::drop(std::size_t position) {
    if (in_loop(position)) {
        const Place place = places_[position];
        loops[place.loop][place.at] = {};
        places_[position] = Place{};
    }
    tag_order[position] = {};
    columns[position] = ValueColumn();
    ++dropped_;
}

void FrameData::settle() {
    if (dropped_ != 0) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < tag_order.size(); ++i) {
            if (tag_order[i].empty()) continue;
            tag_order[kept] = tag_order[i];
            tag_offsets[kept] = tag_offsets[i];
            columns[kept] = std::move(columns[i]);
            ++kept;
        }
        tag_order.resize(kept);
        tag_offsets.resize(kept);
        columns.resize(kept);
        index_.clear();
        index_.appended(tag_order);
        for (auto& loop : loops) std::erase(loop, std::string_view{});
        std::erase_if(loops, [](const auto& loop) { return loop.empty(); });
        dropped_ = 0;
    }
    std::vector<Place>().swap(places_);
    tag_order.shrink_to_fit();
    tag_offsets.shrink_to_fit();
    columns.shrink_to_fit();
    loops.shrink_to_fit();
}

}  // namespace quarzel
