#include "arrow_batches.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "cell_text.hpp"

namespace quarzel::py {

namespace {

using arrow::Status;
using ArrayPtr = std::shared_ptr<arrow::Array>;

// Buffers come from malloc, so the storage the document gives back while
// the batches are built is reused for them.
arrow::MemoryPool* pool() {
    return arrow::system_memory_pool();
}

// Appends compound cell text to the value a builder has just started.
struct BuilderWriter {
    arrow::StringBuilder& builder;
    void put(char c) { builder.UnsafeExtendCurrent(reinterpret_cast<const uint8_t*>(&c), 1); }
    void put(std::string_view s) { builder.UnsafeExtendCurrent(s); }
};

// One Utf8 array with the cell text of every value of `column`, followed by
// nulls up to `rows` (never fewer cells than values).
arrow::Result<ArrayPtr> text_column(const ValueColumn& column, std::int64_t rows) {
    const std::size_t n = column.size();
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ValueColumn::Ref ref = column[i];
        bytes += ref.compound ? cell_size(*ref.compound) : ref.text.size();
    }
    arrow::StringBuilder builder(pool());
    const auto length = std::max(rows, static_cast<std::int64_t>(n));
    ARROW_RETURN_NOT_OK(builder.Reserve(length));
    ARROW_RETURN_NOT_OK(builder.ReserveData(static_cast<std::int64_t>(bytes)));
    BuilderWriter writer{builder};
    for (std::size_t i = 0; i < n; ++i) {
        ValueColumn::Ref ref = column[i];
        if (ref.compound == nullptr) {
            builder.UnsafeAppend(ref.text);
        } else {
            builder.UnsafeAppend(std::string_view{});
            put_cell(writer, *ref.compound);
        }
    }
    for (auto i = static_cast<std::int64_t>(n); i < length; ++i) builder.UnsafeAppendNull();
    return builder.Finish();
}

std::shared_ptr<arrow::Schema> batch_schema(std::span<const std::string> tags) {
    static const auto identity = std::array{
        arrow::field("_quarzel_block_idx", arrow::int32(), false),
        arrow::field("_block_name", arrow::utf8(), false),
        arrow::field("_frame_idx", arrow::int32(), true),
        arrow::field("_frame_name", arrow::utf8(), true),
        arrow::field("_loop_id", arrow::utf8(), false),
    };
    arrow::FieldVector fields(identity.begin(), identity.end());
    fields.reserve(identity.size() + tags.size());
    for (const std::string& tag : tags) fields.push_back(arrow::field(tag, arrow::utf8(), true));
    return arrow::schema(std::move(fields));
}

// Where a batch comes from.
struct FrameId {
    std::int32_t block_index;
    std::string_view block_name;
    std::optional<std::int32_t> frame_index;  // none for the block itself
    std::string_view frame_name;
};

// Builds the batches of one block or save frame.
class FrameConverter {
public:
    FrameConverter(FrameData& data, const FrameId& id, const BatchSink& sink)
        : data_(data), id_(id), sink_(sink) {}

    Status run() {
        std::unordered_set<std::string_view> in_loops;
        for (const auto& loop : data_.loops)
            for (const std::string& tag : loop) in_loops.insert(tag);

        std::vector<std::string> scalar_tags;
        std::int64_t rows = 0;
        for (const std::string& tag : data_.tag_order) {
            if (in_loops.contains(tag)) continue;
            scalar_tags.push_back(tag);
            if (const ValueColumn* column = data_.find(tag))
                rows = std::max(rows, static_cast<std::int64_t>(column->size()));
        }
        if (rows > 0) {
            std::vector<ArrayPtr> columns;
            columns.reserve(scalar_tags.size());
            for (const std::string& tag : scalar_tags) {
                ARROW_ASSIGN_OR_RAISE(auto array, take_scalar_column(tag, rows));
                columns.push_back(std::move(array));
            }
            ARROW_RETURN_NOT_OK(emit("__scalars__", scalar_tags, rows, std::move(columns)));
        }

        for (std::size_t n = 0; n < data_.loops.size(); ++n) {
            const std::vector<std::string>& tags = data_.loops[n];
            if (tags.empty()) continue;
            const std::int64_t loop_rows = value_count(tags.front());
            if (loop_rows == 0) continue;
            std::vector<ArrayPtr> columns;
            columns.reserve(tags.size());
            for (const std::string& tag : tags) {
                // A loop column holds every value of its tag, so a tag that
                // appears in more than one column shares one array.
                auto cached = built_.find(tag);
                if (cached != built_.end()) {
                    columns.push_back(cached->second);
                    continue;
                }
                auto it = data_.tags.find(tag);
                if (it == data_.tags.end()) {
                    ARROW_ASSIGN_OR_RAISE(auto nulls, null_column(loop_rows));
                    columns.push_back(std::move(nulls));
                    continue;
                }
                ARROW_ASSIGN_OR_RAISE(auto array, text_column(it->second, 0));
                it->second.clear();  // its values now live in the array
                built_.emplace(tag, array);
                columns.push_back(std::move(array));
            }
            ARROW_RETURN_NOT_OK(
                emit("__loop_" + std::to_string(n) + "__", tags, loop_rows, std::move(columns)));
        }
        return Status::OK();
    }

private:
    // Values a tag has (or had, before its array was built).
    std::int64_t value_count(const std::string& tag) const {
        auto cached = built_.find(tag);
        if (cached != built_.end()) return cached->second->length();
        const ValueColumn* column = data_.find(tag);
        return column ? static_cast<std::int64_t>(column->size()) : 0;
    }

    static arrow::Result<ArrayPtr> null_column(std::int64_t rows) {
        return arrow::MakeArrayOfNull(arrow::utf8(), rows, pool());
    }

    // A scalar tag's values padded with nulls to `rows` (all null for a tag
    // without values). The tag's values are freed.
    arrow::Result<ArrayPtr> take_scalar_column(const std::string& tag, std::int64_t rows) {
        auto it = data_.tags.find(tag);
        if (it == data_.tags.end()) return null_column(rows);
        ARROW_ASSIGN_OR_RAISE(auto array, text_column(it->second, rows));
        it->second.clear();
        return array;
    }

    // The four identity columns that depend only on the frame and the row
    // count; loops of equal length share them.
    arrow::Result<std::array<ArrayPtr, 4>> identity(std::int64_t rows) {
        for (const auto& [count, arrays] : identity_)
            if (count == rows) return arrays;
        std::array<ArrayPtr, 4> arrays;
        ARROW_ASSIGN_OR_RAISE(arrays[0], arrow::MakeArrayFromScalar(
                                             arrow::Int32Scalar(id_.block_index), rows, pool()));
        ARROW_ASSIGN_OR_RAISE(
            arrays[1], arrow::MakeArrayFromScalar(arrow::StringScalar(std::string(id_.block_name)),
                                                  rows, pool()));
        if (id_.frame_index) {
            ARROW_ASSIGN_OR_RAISE(
                arrays[2],
                arrow::MakeArrayFromScalar(arrow::Int32Scalar(*id_.frame_index), rows, pool()));
            ARROW_ASSIGN_OR_RAISE(
                arrays[3], arrow::MakeArrayFromScalar(
                               arrow::StringScalar(std::string(id_.frame_name)), rows, pool()));
        } else {
            ARROW_ASSIGN_OR_RAISE(arrays[2], arrow::MakeArrayOfNull(arrow::int32(), rows, pool()));
            ARROW_ASSIGN_OR_RAISE(arrays[3], arrow::MakeArrayOfNull(arrow::utf8(), rows, pool()));
        }
        identity_.emplace_back(rows, arrays);
        return arrays;
    }

    Status emit(const std::string& loop_id, std::span<const std::string> tags, std::int64_t rows,
                std::vector<ArrayPtr> tag_columns) {
        ARROW_ASSIGN_OR_RAISE(auto ids, identity(rows));
        std::vector<ArrayPtr> columns(ids.begin(), ids.end());
        ARROW_ASSIGN_OR_RAISE(auto loop_column, arrow::MakeArrayFromScalar(
                                                    arrow::StringScalar(loop_id), rows, pool()));
        columns.push_back(std::move(loop_column));
        columns.reserve(columns.size() + tag_columns.size());
        for (auto& column : tag_columns) columns.push_back(std::move(column));

        auto batch = arrow::RecordBatch::Make(batch_schema(tags), rows, std::move(columns));
        if (Status valid = batch->Validate(); !valid.ok()) return mismatch(loop_id, *batch, valid);
        return sink_(std::move(batch));
    }

    Status mismatch(const std::string& loop_id, const arrow::RecordBatch& batch,
                    const Status& valid) const {
        std::string where = loop_id + " of block " + quoted(id_.block_name);
        if (id_.frame_index) where += ", save frame " + quoted(id_.frame_name);
        for (int i = 0; i < batch.num_columns(); ++i) {
            const auto length = batch.column(i)->length();
            if (length != batch.num_rows())
                return Status::Invalid(kLengthMismatch, ": column ",
                                       quoted(batch.schema()->field(i)->name()), " of ", where,
                                       " has ", length, " value(s) but the batch has ",
                                       batch.num_rows(), " row(s)");
        }
        return Status::Invalid(kLengthMismatch, ": ", where, ": ", valid.message());
    }

    FrameData& data_;
    const FrameId& id_;
    const BatchSink& sink_;
    std::unordered_map<std::string_view, ArrayPtr> built_;
    std::vector<std::pair<std::int64_t, std::array<ArrayPtr, 4>>> identity_;
};

arrow::Result<std::int32_t> index32(std::size_t index) {
    if (index > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        return Status::CapacityError("more than 2147483647 data blocks or save frames");
    return static_cast<std::int32_t>(index);
}

Status convert_frame(FrameData& data, const FrameId& id, const BatchSink& sink) {
    ARROW_RETURN_NOT_OK(FrameConverter(data, id, sink).run());
    decltype(data.tags)().swap(data.tags);  // every value has been handed over
    return Status::OK();
}

}  // namespace

Status document_batches(ParsedCif& document, const BatchSink& sink) {
    for (std::size_t b = 0; b < document.blocks.size(); ++b) {
        ParsedBlock& block = document.blocks[b];
        ARROW_ASSIGN_OR_RAISE(auto block_index, index32(b));
        ARROW_RETURN_NOT_OK(
            convert_frame(block.data, {block_index, block.name, std::nullopt, {}}, sink));
        for (std::size_t f = 0; f < block.save_frames.size(); ++f) {
            ParsedSaveFrame& frame = block.save_frames[f];
            ARROW_ASSIGN_OR_RAISE(auto frame_index, index32(f));
            ARROW_RETURN_NOT_OK(convert_frame(
                frame.data, {block_index, block.name, frame_index, frame.name}, sink));
        }
    }
    return Status::OK();
}

}  // namespace quarzel::py
