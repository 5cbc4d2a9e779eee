// The native document as Arrow record batches: per block or save frame, one
// batch of its scalar tags and one batch per loop, each led by five identity
// columns (block index and name, frame index and name, loop id).
#pragma once

#include <arrow/api.h>

#include <functional>
#include <memory>

#include "../core/document.hpp"

namespace quarzel::py {

// Receives each finished batch; a failure status stops the conversion and is
// returned as it is.
using BatchSink = std::function<arrow::Status(std::shared_ptr<arrow::RecordBatch>)>;

// Text that begins the failure of a batch whose columns differ in length.
inline constexpr std::string_view kLengthMismatch = "schema/array length mismatch";

// Hands every batch of `document` to `sink`, in document order: a block's
// scalar batch, its loop batches, then each of its save frames the same way.
// Batches with the same tags share one schema object.
// The document's value columns are emptied as their arrays are built, so
// the document and the batches are not both held in full. Failures: Invalid
// beginning with kLengthMismatch for unequal columns, CapacityError for a
// column beyond 32-bit offsets, OutOfMemory, or whatever `sink` returns.
arrow::Status document_batches(ParsedCif& document, const BatchSink& sink);

}  // namespace quarzel::py
