// Handing native Arrow record batches to pyarrow through the C data
// interface, each distinct schema exported once.
#pragma once

#include <arrow/api.h>
#include <arrow/c/abi.h>

#include <memory>
#include <unordered_map>

#include "binding/pyref.hpp"

namespace quarzel::ext {

class PyArrowImport {
public:
    // Imports pyarrow; false with the Python error set.
    bool open();
    // The batch given as `array` (taken over) with `schema`, as a
    // pyarrow.RecordBatch; null with the Python error set, or a failed
    // status from the export.
    arrow::Result<py::PyRef> batch(const std::shared_ptr<arrow::Schema>& schema, ArrowArray* array);
    // A whole native batch.
    arrow::Result<py::PyRef> batch(const arrow::RecordBatch& batch);

private:
    struct Known {
        std::shared_ptr<arrow::Schema> native;  // keeps the key's address taken
        py::PyRef schema;
    };
    py::PyRef import_batch_, import_schema_;
    std::unordered_map<const arrow::Schema*, Known> schemas_;
};

// Raises the Python exception for a failed Arrow status; returns nullptr.
PyObject* raise_arrow_status(const arrow::Status& status);

}  // namespace quarzel::ext
