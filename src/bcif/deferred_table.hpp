// An Arrow table whose column objects (chunked arrays, arrays, array data,
// buffer slices) are made the first time anything asks for its columns.
// Its schema, row count and filled buffers are there from the start; what
// waits is only the objects over them, about 700 bytes and a dozen small
// allocations a column, which a caller that reads a few categories of a
// file never needs for the rest.
//
// Every use goes through columns() (made once, whichever thread asks
// first), so the table behaves as one made whole.
#pragma once

#include <arrow/result.h>
#include <arrow/status.h>
#include <arrow/table.h>
#include <arrow/type_fwd.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace quarzel::bcif {

class DeferredTable final : public arrow::Table {
public:
    using Maker = std::function<std::vector<std::shared_ptr<arrow::ChunkedArray>>()>;

    // `make` gives the columns, `schema`'s fields in order, each of
    // `num_rows` rows; it is called at most once, and dropped after.
    DeferredTable(std::shared_ptr<arrow::Schema> schema, std::int64_t num_rows, Maker make);

    std::shared_ptr<arrow::ChunkedArray> column(int i) const override;
    const std::vector<std::shared_ptr<arrow::ChunkedArray>>& columns() const override;
    std::shared_ptr<arrow::Table> Slice(std::int64_t offset, std::int64_t length) const override;
    arrow::Result<std::shared_ptr<arrow::Table>> RemoveColumn(int i) const override;
    arrow::Result<std::shared_ptr<arrow::Table>> AddColumn(
        int i, std::shared_ptr<arrow::Field> field_arg,
        std::shared_ptr<arrow::ChunkedArray> column) const override;
    arrow::Result<std::shared_ptr<arrow::Table>> SetColumn(
        int i, std::shared_ptr<arrow::Field> field_arg,
        std::shared_ptr<arrow::ChunkedArray> column) const override;
    std::shared_ptr<arrow::Table> ReplaceSchemaMetadata(
        const std::shared_ptr<const arrow::KeyValueMetadata>& metadata) const override;
    arrow::Result<std::shared_ptr<arrow::Table>> Flatten(
        arrow::MemoryPool* pool = arrow::default_memory_pool()) const override;
    arrow::Status Validate() const override;
    arrow::Status ValidateFull() const override;

private:
    // The same table made whole (its columns made first), for the
    // operations that give a new table or check this one.
    std::shared_ptr<arrow::Table> whole() const;

    mutable std::once_flag made_;
    mutable Maker make_;
    mutable std::vector<std::shared_ptr<arrow::ChunkedArray>> columns_;
};

}  // namespace quarzel::bcif
