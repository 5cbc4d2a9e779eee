// The whole pipeline into Arrow record batches, each imported back through
// the C data interface and fully validated: the identity columns come first
// with their types and nullability, every column has the batch's row count,
// and the buffers are consistent. Some inputs also move a column out of its
// batch and release the batch before the column, as a consumer may.
#include <arrow/api.h>
#include <arrow/c/bridge.h>

#include <string>

#include "arrow/batches.hpp"
#include "core/pipeline.hpp"
#include "fuzz_common.hpp"

using namespace quarzel;

namespace {

const char* const kIdentity[] = {"_quarzel_block_idx", "_block_name", "_frame_idx", "_frame_name",
                                 "_loop_id"};

arrow::Status check_batch(const std::shared_ptr<arrow::RecordBatch>& batch, std::size_t blocks) {
    ARROW_RETURN_NOT_OK(batch->ValidateFull());
    const auto& schema = *batch->schema();
    fuzz::check(schema.num_fields() > 5, "batch without tag columns");
    fuzz::check(schema.metadata() == nullptr, "schema carries metadata");
    for (int i = 0; i < 5; ++i)
        fuzz::check(schema.field(i)->name() == kIdentity[i], "identity column out of place");
    fuzz::check(schema.field(0)->type()->id() == arrow::Type::INT32 &&
                    schema.field(2)->type()->id() == arrow::Type::INT32,
                "index columns are not Int32");
    fuzz::check(!schema.field(0)->nullable() && !schema.field(1)->nullable() &&
                    schema.field(2)->nullable() && schema.field(3)->nullable() &&
                    !schema.field(4)->nullable(),
                "identity column nullability");
    for (int i = 5; i < schema.num_fields(); ++i)
        fuzz::check(
            schema.field(i)->type()->id() == arrow::Type::STRING && schema.field(i)->nullable(),
            "tag column is not nullable Utf8");
    fuzz::check(batch->num_rows() > 0, "batch without rows");
    auto index = std::static_pointer_cast<arrow::Int32Array>(batch->column(0));
    fuzz::check(index->null_count() == 0, "null block index");
    for (int64_t r = 0; r < batch->num_rows(); ++r)
        fuzz::check(index->Value(r) >= 0 && static_cast<std::size_t>(index->Value(r)) < blocks,
                    "block index out of range");
    auto loop_id = std::static_pointer_cast<arrow::StringArray>(batch->column(4));
    std::string id(loop_id->GetView(0));
    fuzz::check(id == "__scalars__" || (id.starts_with("__loop_") && id.ends_with("__")),
                "malformed loop id", id);
    return arrow::Status::OK();
}

// Moves column `k` out of the exported batch, releases the rest of the
// batch, then imports and validates the column alone.
arrow::Status check_moved_column(const std::shared_ptr<arrow::Schema>& schema, ArrowArray* batch,
                                 std::int64_t k) {
    ArrowArray moved = *batch->children[k];
    batch->children[k]->release = nullptr;
    const std::int64_t rows = batch->length;
    batch->release(batch);
    ARROW_ASSIGN_OR_RAISE(auto column, arrow::ImportArray(&moved, schema->field(k)->type()));
    ARROW_RETURN_NOT_OK(column->ValidateFull());
    fuzz::check(column->length() == rows, "moved column lost its length");
    return arrow::Status::OK();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto in = fuzz::split(data, size);
    if (!fuzz::valid_utf8(in.text)) return 0;  // the entry points only hand on valid UTF-8
    // Both column layouts convert; parse_arrow builds packed ones.
    ParseResult r = parse_document(in.text, (in.flags & 1) != 0,
                                   (in.flags & 2) ? ColumnLayout::Refs : ColumnLayout::Packed);
    const std::size_t blocks = r.document.blocks.size();
    std::size_t seen = 0;
    arrow::Status st = document_batches(
        r.document, [&](const std::shared_ptr<arrow::Schema>& schema, ArrowArray* array) {
            fuzz::check(array->n_children == schema->num_fields(), "batch and schema differ");
            if ((in.flags & 4) && seen++ % 3 == 0)
                return check_moved_column(schema, array, (seen / 3) % array->n_children);
            ARROW_ASSIGN_OR_RAISE(auto batch, arrow::ImportRecordBatch(array, schema));
            return check_batch(batch, blocks);
        });
    // Every document converts: a tag given again leaves one occurrence, so
    // the columns of a loop have one length.
    if (!st.ok()) fuzz::fail("conversion failed:", st.ToString());
    return 0;
}
