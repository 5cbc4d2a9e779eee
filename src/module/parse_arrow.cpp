// parse_arrow and parse_arrow_file: the document as pyarrow record batches,
// handed over one by one through the Arrow C data interface.
#include <arrow/api.h>
#include <arrow/c/abi.h>
#include <arrow/c/bridge.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "arrow/batches.hpp"
#include "binding/args.hpp"
#include "binding/common.hpp"
#include "core/file_text.hpp"
#include "core/pipeline.hpp"
#include "module/entry_points.hpp"

namespace quarzel::py {

namespace {

// An exported schema, released unless pyarrow has taken it over (which
// marks it released).
struct ExportedSchema {
    ArrowSchema schema{};
    ExportedSchema() = default;
    ExportedSchema(const ExportedSchema&) = delete;
    ExportedSchema& operator=(const ExportedSchema&) = delete;
    ~ExportedSchema() {
        if (schema.release != nullptr) schema.release(&schema);
    }
};

// pyarrow's side of the hand-over, looked up once per call: importing
// pyarrow here, and only here, keeps every other function of the module
// independent of it.
//
// Each batch goes over as one struct ArrowArray and, the first time its
// tags are met, its ArrowSchema. (A stream per batch would also do, but
// pyarrow keeps about 13 KB and spends about 9 us more per imported stream,
// which dominates for documents of many small save frames.)
class PyArrowImporter {
public:
    bool open() {
        PyRef pyarrow = PyRef::steal(PyImport_ImportModule("pyarrow"));
        if (!pyarrow) return false;
        PyRef batch_type = attr(pyarrow.get(), "RecordBatch");
        PyRef schema_type = attr(pyarrow.get(), "Schema");
        if (!batch_type || !schema_type) return false;
        import_batch_ = attr(batch_type.get(), "_import_from_c");
        import_schema_ = attr(schema_type.get(), "_import_from_c");
        return import_batch_ && import_schema_;
    }

    // The batch as a pyarrow.RecordBatch, or null with the Python error set.
    // pyarrow takes the array over. A schema object met before is not
    // exported again: its pyarrow counterpart is reused.
    arrow::Result<PyRef> convert(const std::shared_ptr<arrow::Schema>& schema, ArrowArray* array) {
        auto known = schemas_.find(schema.get());
        if (known == schemas_.end()) {
            ExportedSchema exported;
            ARROW_RETURN_NOT_OK(arrow::ExportSchema(*schema, &exported.schema));
            PyRef schema_address = PyRef::steal(PyLong_FromVoidPtr(&exported.schema));
            if (!schema_address) return PyRef();
            PyRef imported =
                PyRef::steal(PyObject_CallOneArg(import_schema_.get(), schema_address.get()));
            if (!imported) return PyRef();
            known = schemas_.emplace(schema.get(), Known{schema, std::move(imported)}).first;
        }
        PyRef array_address = PyRef::steal(PyLong_FromVoidPtr(array));
        if (!array_address) return PyRef();
        PyObject* args[] = {array_address.get(), known->second.schema.get()};
        return PyRef::steal(PyObject_Vectorcall(import_batch_.get(), args, 2, nullptr));
    }

private:
    struct Known {
        std::shared_ptr<arrow::Schema> native;  // keeps the key's address taken
        PyRef schema;
    };
    PyRef import_batch_;
    PyRef import_schema_;
    std::unordered_map<const arrow::Schema*, Known> schemas_;
};

// Raises the Python exception for a failed conversion.
PyObject* raise_status(const arrow::Status& status) {
    if (status.IsOutOfMemory()) return PyErr_NoMemory();
    PyObject* type = PyExc_RuntimeError;
    if (status.IsInvalid() && status.message().starts_with(kLengthMismatch))
        type = PyExc_ValueError;
    else if (status.IsCapacityError())
        type = PyExc_OverflowError;
    PyErr_SetString(type, status.message().c_str());
    return nullptr;
}

// The common body: (batches, errors) for a whole CIF text.
PyObject* parse_to_arrow(std::string_view text, bool strict) {
    PyArrowImporter importer;
    if (!importer.open()) return nullptr;

    ParseResult parsed =
        without_gil([&] { return parse_document(text, strict, ColumnLayout::Packed); });
    PyRef errors = error_list(parsed.document.errors);
    if (!errors) return nullptr;
    PyRef batches = PyRef::steal(PyList_New(0));
    if (!batches) return nullptr;

    arrow::Status status = document_batches(
        parsed.document, [&](const std::shared_ptr<arrow::Schema>& schema, ArrowArray* array) {
            arrow::Result<PyRef> converted = importer.convert(schema, array);
            if (!converted.ok()) return converted.status();
            PyRef py_batch = std::move(converted).ValueUnsafe();
            if (!py_batch || PyList_Append(batches.get(), py_batch.get()) < 0)
                return arrow::Status::Cancelled("Python error");
            return arrow::Status::OK();
        });
    if (!status.ok()) return PyErr_Occurred() ? nullptr : raise_status(status);
    return PyTuple_Pack(2, batches.get(), errors.get());
}

PyObject* raise_os_error(std::string_view message) {
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(PyExc_OSError, text.get());
    return nullptr;
}

}  // namespace

QUARZEL_ENTRY(py_parse_arrow) {
    (void)self;
    return guarded([&]() -> PyObject* {
        static const Signature sig{"parse_arrow", {"source", "mode"}, 1};
        std::string_view source;
        bool strict = false;
        if (!source_and_mode(sig, args, nargs, kwnames, source, strict)) return nullptr;
        return parse_to_arrow(source, strict);
    });
}

QUARZEL_ENTRY(py_parse_arrow_file) {
    (void)self;
    return guarded([&]() -> PyObject* {
        static const Signature sig{"parse_arrow_file", {"path", "mode"}, 1};
        PyObject* a[2];
        if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
        if (!PyUnicode_Check(a[0])) return argument_type_error("path", a[0], "str");
        bool strict = false;
        if (!strict_mode_argument("mode", a[1], strict)) return nullptr;

        // The path as the file system spells it (undecodable bytes kept).
        PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(a[0]));
        if (!encoded) return nullptr;
        const char* path = PyBytes_AS_STRING(encoded.get());
        if (std::strlen(path) != static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())))
            return raise_os_error("file name contained an unexpected NUL byte");

        FileText text;
        std::string error;
        if (!without_gil([&] { return read_text_file(path, text, error); }))
            return raise_os_error(error);
        return parse_to_arrow(text.view(), strict);
    });
}

}  // namespace quarzel::py
