#include "arrow/schemas.hpp"

#include <array>
#include <utility>

namespace quarzel::arrow_stage {

std::shared_ptr<arrow::Schema> Schemas::make(std::span<const std::string_view> tags) {
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
