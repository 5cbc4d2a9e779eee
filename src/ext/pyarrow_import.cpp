#include "ext/pyarrow_import.hpp"

#include <arrow/c/bridge.h>

#include "binding/common.hpp"

namespace quarzel::ext {

using py::PyRef;

namespace {

// An exported schema, released unless pyarrow has taken it over.
struct ExportedSchema {
    ArrowSchema schema{};
    ExportedSchema() = default;
    ExportedSchema(const ExportedSchema&) = delete;
    ExportedSchema& operator=(const ExportedSchema&) = delete;
    ~ExportedSchema() {
        if (schema.release != nullptr) schema.release(&schema);
    }
};

struct ExportedArray {
    ArrowArray array{};
    ExportedArray() = default;
    ExportedArray(const ExportedArray&) = delete;
    ExportedArray& operator=(const ExportedArray&) = delete;
    ~ExportedArray() {
        if (array.release != nullptr) array.release(&array);
    }
};

}  // namespace

bool PyArrowImport::open() {
    PyRef pyarrow = PyRef::steal(PyImport_ImportModule("pyarrow"));
    if (!pyarrow) return false;
    PyRef batch_type = py::attr(pyarrow.get(), "RecordBatch");
    PyRef schema_type = py::attr(pyarrow.get(), "Schema");
    if (!batch_type || !schema_type) return false;
    import_batch_ = py::attr(batch_type.get(), "_import_from_c");
    import_schema_ = py::attr(schema_type.get(), "_import_from_c");
    return import_batch_ && import_schema_;
}

arrow::Result<PyRef> PyArrowImport::batch(const std::shared_ptr<arrow::Schema>& schema,
                                          ArrowArray* array) {
    auto known = schemas_.find(schema.get());
    if (known == schemas_.end()) {
        ExportedSchema exported;
        ARROW_RETURN_NOT_OK(arrow::ExportSchema(*schema, &exported.schema));
        PyRef address = PyRef::steal(PyLong_FromVoidPtr(&exported.schema));
        if (!address) return PyRef();
        PyRef imported = PyRef::steal(PyObject_CallOneArg(import_schema_.get(), address.get()));
        if (!imported) return PyRef();
        known = schemas_.emplace(schema.get(), Known{schema, std::move(imported)}).first;
    }
    PyRef address = PyRef::steal(PyLong_FromVoidPtr(array));
    if (!address) return PyRef();
    PyObject* args[] = {address.get(), known->second.schema.get()};
    return PyRef::steal(PyObject_Vectorcall(import_batch_.get(), args, 2, nullptr));
}

arrow::Result<PyRef> PyArrowImport::batch(const arrow::RecordBatch& b) {
    ExportedArray exported;
    ARROW_RETURN_NOT_OK(arrow::ExportRecordBatch(b, &exported.array));
    return batch(b.schema(), &exported.array);
}

PyObject* raise_arrow_status(const arrow::Status& status) {
    if (status.IsOutOfMemory()) return PyErr_NoMemory();
    PyObject* type = PyExc_RuntimeError;
    if (status.IsInvalid())
        type = PyExc_ValueError;
    else if (status.IsCapacityError())
        type = PyExc_OverflowError;
    PyErr_SetString(type, status.message().c_str());
    return nullptr;
}

}  // namespace quarzel::ext
