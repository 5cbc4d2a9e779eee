#include "arrow/schemas.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace quarzel::arrow_stage {

namespace {

// The longest key a thread keeps the memory of between lookups.
constexpr std::size_t kKeptKeyBytes = std::size_t{64} << 10;

// Schemas already built in this process, by their list of tags. Bounded:
// when full it starts afresh (schemas in use stay alive with their batches).
class ProcessSchemas {
public:
    // `key` is room for the key, which is made there.
    std::shared_ptr<arrow::Schema> get(std::span<const std::string_view> tags, std::string& key) {
        key.clear();
        for (std::string_view tag : tags) {
            const auto n = static_cast<std::uint32_t>(tag.size());
            key.append(reinterpret_cast<const char*>(&n), sizeof n);
            key.append(tag);
        }
        std::lock_guard lock(mutex_);
        auto it = cache_.find(key);
        if (it != cache_.end()) return it->second;
        if (cache_.size() >= kMaxSchemas || held_ + key.size() > kMaxBytes) {
            cache_.clear();
            held_ = 0;
        }
        held_ += key.size();
        return cache_.emplace(key, build(tags)).first->second;
    }

    static std::shared_ptr<arrow::Schema> build(std::span<const std::string_view> tags);

private:
    static constexpr std::size_t kMaxSchemas = 4096;
    static constexpr std::size_t kMaxBytes = std::size_t{4} << 20;  // of tag names
    std::mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<arrow::Schema>> cache_;
    std::size_t held_ = 0;
};

ProcessSchemas& process_schemas() {
    static ProcessSchemas* schemas =
        new ProcessSchemas;  // never destroyed: batches may outlive exit
    return *schemas;
}

}  // namespace

std::shared_ptr<arrow::Schema> Schemas::make(std::span<const std::string_view> tags) {
    // The key is made in memory this thread keeps (a list of tags is rarely
    // longer than a few hundred bytes).
    static thread_local std::string key;
    std::shared_ptr<arrow::Schema> schema = process_schemas().get(tags, key);
    if (key.capacity() > kKeptKeyBytes) key = {};
    return schema;
}

std::shared_ptr<arrow::Schema> ProcessSchemas::build(std::span<const std::string_view> tags) {
    static const auto identity = std::array{
        arrow::field("_quarzel_block_idx", arrow::int32(), false),
        arrow::field("_block_name", arrow::utf8(), false),
        arrow::field("_frame_idx", arrow::int32(), true),
        arrow::field("_frame_name", arrow::utf8(), true),
        arrow::field("_loop_id", arrow::utf8(), false),
    };
    arrow::FieldVector fields(identity.begin(), identity.end());
    fields.reserve(identity.size() + tags.size());
    for (std::string_view tag : tags)
        fields.push_back(arrow::field(std::string(tag), arrow::utf8(), true));
    return arrow::schema(std::move(fields));
}

}  // namespace quarzel::arrow_stage
