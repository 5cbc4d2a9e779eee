#include "bcif/deferred_table.hpp"

#include <arrow/chunked_array.h>
#include <arrow/type.h>

#include <utility>

namespace quarzel::bcif {

DeferredTable::DeferredTable(std::shared_ptr<arrow::Schema> schema, std::int64_t num_rows,
                             Maker make)
    : make_(std::move(make)) {
    schema_ = std::move(schema);
    num_rows_ = num_rows;
}

const std::vector<std::shared_ptr<arrow::ChunkedArray>>& DeferredTable::columns() const {
    std::call_once(made_, [this] {
        columns_ = make_();
        make_ = nullptr;
    });
    return columns_;
}

std::shared_ptr<arrow::ChunkedArray> DeferredTable::column(int i) const {
    return columns()[static_cast<std::size_t>(i)];
}

std::shared_ptr<arrow::Table> DeferredTable::whole() const {
    return arrow::Table::Make(schema_, columns(), num_rows_);
}

std::shared_ptr<arrow::Table> DeferredTable::Slice(std::int64_t offset, std::int64_t length) const {
    return whole()->Slice(offset, length);
}

arrow::Result<std::shared_ptr<arrow::Table>> DeferredTable::RemoveColumn(int i) const {
    return whole()->RemoveColumn(i);
}

arrow::Result<std::shared_ptr<arrow::Table>> DeferredTable::AddColumn(
    int i, std::shared_ptr<arrow::Field> field_arg,
    std::shared_ptr<arrow::ChunkedArray> column) const {
    return whole()->AddColumn(i, std::move(field_arg), std::move(column));
}

arrow::Result<std::shared_ptr<arrow::Table>> DeferredTable::SetColumn(
    int i, std::shared_ptr<arrow::Field> field_arg,
    std::shared_ptr<arrow::ChunkedArray> column) const {
    return whole()->SetColumn(i, std::move(field_arg), std::move(column));
}

std::shared_ptr<arrow::Table> DeferredTable::ReplaceSchemaMetadata(
    const std::shared_ptr<const arrow::KeyValueMetadata>& metadata) const {
    return whole()->ReplaceSchemaMetadata(metadata);
}

arrow::Result<std::shared_ptr<arrow::Table>> DeferredTable::Flatten(arrow::MemoryPool* pool) const {
    return whole()->Flatten(pool);
}

arrow::Status DeferredTable::Validate() const {
    return whole()->Validate();
}

arrow::Status DeferredTable::ValidateFull() const {
    return whole()->ValidateFull();
}

}  // namespace quarzel::bcif
