#include "arrow/record_batch.hpp"

#include <arrow/array/data.h>
#include <arrow/buffer.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace quarzel::arrow_stage {

namespace {

// What a batch's arrays point into: non-owning buffer objects over the
// columns' memory and a reference to each keeper of that memory. Buffers
// are handed out as aliases of the shared pointer that owns this.
struct BufferMemory {
    explicit BufferMemory(std::size_t columns)
        : buffers(new std::optional<arrow::Buffer>[3 * columns]) {
        keepers.reserve(columns);
    }
    std::unique_ptr<std::optional<arrow::Buffer>[]> buffers;
    std::vector<KeeperRef> keepers;
};

// The array data of a batch, handed out as aliases of the shared pointer
// that owns this. (Kept apart from the buffers, which the array data hold:
// together they would hold themselves.)
struct ArrayMemory {
    explicit ArrayMemory(std::size_t columns)
        : arrays(new std::optional<arrow::ArrayData>[columns]) {}
    std::unique_ptr<std::optional<arrow::ArrayData>[]> arrays;
};

}  // namespace

arrow::Result<std::shared_ptr<arrow::RecordBatch>> make_record_batch(
    const std::shared_ptr<arrow::Schema>& schema, std::int64_t rows,
    std::span<const Column* const> columns) {
    const std::size_t n = columns.size();
    if (static_cast<std::size_t>(schema->num_fields()) != n)
        return arrow::Status::Invalid("a batch of ", n, " columns for a schema of ",
                                      schema->num_fields(), " fields");
    auto memory = std::make_shared<BufferMemory>(n);
    auto arrays = std::make_shared<ArrayMemory>(n);
    std::vector<std::shared_ptr<arrow::ArrayData>> data;
    data.reserve(n);
    std::size_t used = 0;  // buffer objects made
    auto buffer = [&](const void* at, std::int64_t size) -> std::shared_ptr<arrow::Buffer> {
        if (at == nullptr) return nullptr;
        std::optional<arrow::Buffer>& slot = memory->buffers[used++];
        slot.emplace(static_cast<const std::uint8_t*>(at), size);
        return std::shared_ptr<arrow::Buffer>(memory, &*slot);
    };
    for (std::size_t i = 0; i < n; ++i) {
        const Column& c = *columns[i];
        const std::shared_ptr<arrow::DataType>& type = schema->field(static_cast<int>(i))->type();
        std::vector<std::shared_ptr<arrow::Buffer>> buffers;
        buffers.reserve(static_cast<std::size_t>(c.n_buffers));
        buffers.push_back(c.null_count != 0 ? buffer(c.buffers[0], bitmap_bytes(c.length))
                                            : nullptr);
        if (c.n_buffers == 2) {
            buffers.push_back(buffer(c.buffers[1], 4 * c.length));
        } else {
            std::int32_t end = 0;
            std::memcpy(&end, static_cast<const char*>(c.buffers[1]) + 4 * c.length, 4);
            buffers.push_back(buffer(c.buffers[1], 4 * (c.length + 1)));
            buffers.push_back(buffer(c.buffers[2], end));
        }
        std::optional<arrow::ArrayData>& array = arrays->arrays[i];
        array.emplace(type, c.length, std::move(buffers), c.null_count);
        data.emplace_back(arrays, &*array);
        // Columns of one batch mostly share a slab: one reference will do.
        Keeper* keeper = c.keeper.get();
        if (keeper != nullptr &&
            (memory->keepers.empty() || memory->keepers.back().get() != keeper))
            memory->keepers.push_back(c.keeper);
    }
    return arrow::RecordBatch::Make(schema, rows, std::move(data));
}

}  // namespace quarzel::arrow_stage
