// Arrow C++ record batches and tables handed to pyarrow.
//
// Where pyarrow runs on the very Arrow C++ library this module uses (one
// libarrow in the process, of the same version), a batch or table becomes a
// pyarrow object by pyarrow's own wrapping function, found once per process
// in `pyarrow.lib`'s C API: no export, no import, no Python call. Otherwise
// the Arrow C data interface carries it over (`RecordBatch._import_from_c`,
// `RecordBatchReader._import_from_c`), which works across copies of the
// library at a cost of microseconds per batch.
#pragma once

#include <arrow/type_fwd.h>

#include <memory>
#include <unordered_map>

#include "binding/pyref.hpp"

namespace quarzel::py {

class PyArrowHandover {
public:
    // Imports pyarrow; false with the Python error set when it cannot.
    bool open();

    // The batch as a pyarrow.RecordBatch, or null with the Python error set.
    PyRef batch(const std::shared_ptr<arrow::RecordBatch>& batch);
    // The table as a pyarrow.Table, or null with the Python error set.
    PyRef table(const std::shared_ptr<arrow::Table>& table);

    // Whether pyarrow's wrapping functions are used (after open()).
    bool direct() const noexcept { return direct_ != nullptr; }

    struct Direct;  // pyarrow's wrapping functions

private:
    const Direct* direct_ = nullptr;
    PyRef pyarrow_;
    // The C data interface's way: pyarrow's importers, and the pyarrow
    // schema of each batch schema met in this hand-over.
    PyRef import_batch_;
    PyRef import_schema_;
    std::unordered_map<const arrow::Schema*, std::pair<std::shared_ptr<arrow::Schema>, PyRef>>
        schemas_;
};

}  // namespace quarzel::py
