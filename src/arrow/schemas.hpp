// The schemas of a document's batches: five identity columns, then one
// Utf8 column per tag.
#pragma once

#include <arrow/type.h>

#include <array>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quarzel::arrow_stage {

// The schemas of one document's batches, one per distinct list of tags:
// documents of many save frames repeat a few lists of tags many times, and
// a shared schema is built, exported and imported once. A list met for the
// first time is looked up in a cache of the whole process (files of one
// kind repeat their lists of tags), and built only when it is new there.
// The first few lists go to that cache directly: a document of few batches
// seldom repeats one.
class Schemas {
public:
    // The schema, valid until the next call.
    const std::shared_ptr<arrow::Schema>& of(std::span<const std::string_view> tags) {
        if (direct_left_ != 0) {
            --direct_left_;
            last_ = make(tags);
            return last_;
        }
        // A document keeps one copy of each tag name, which stays put while
        // its batches are made: the names' addresses and sizes tell the list.
        key_.clear();
        for (std::string_view tag : tags) {
            const std::array<std::uintptr_t, 2> name{reinterpret_cast<std::uintptr_t>(tag.data()),
                                                     tag.size()};
            key_.append(reinterpret_cast<const char*>(name.data()), sizeof name);
        }
        auto it = cache_.find(key_);
        if (it == cache_.end()) it = cache_.emplace(key_, make(tags)).first;
        return it->second;
    }

private:
    static std::shared_ptr<arrow::Schema> make(std::span<const std::string_view> tags);

    static constexpr int kDirect = 16;
    int direct_left_ = kDirect;
    std::shared_ptr<arrow::Schema> last_;
    // The lists of a small document fit here, and need no allocation.
    std::array<std::byte, 4096> first_memory_;
    std::pmr::monotonic_buffer_resource memory_{first_memory_.data(), first_memory_.size()};
    std::pmr::string key_{&memory_};  // the address and size of each tag name
    std::pmr::unordered_map<std::pmr::string, std::shared_ptr<arrow::Schema>> cache_{&memory_};
};

}  // namespace quarzel::arrow_stage
