// parse_arrow and parse_arrow_file: the document as pyarrow record batches,
// built as Arrow C++ batches and handed to pyarrow one by one.
#include <arrow/api.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/batches.hpp"
#include "binding/args.hpp"
#include "binding/common.hpp"
#include "binding/pyarrow_handover.hpp"
#include "core/byte_buffer.hpp"
#include "core/file_text.hpp"
#include "core/pipeline.hpp"
#include "module/entry_points.hpp"

namespace quarzel::py {

namespace {

// What one calling thread keeps of freed document buffers between calls.
constexpr std::size_t kCachedParseBytes = std::size_t{32} << 20;

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

// The common body: (batches, errors) for a whole CIF text. Parsing and the
// record batches are native work, done without the GIL; the batches then
// go to pyarrow one by one.
PyObject* parse_to_arrow(std::string_view text, bool strict) {
    // The large buffers of one call (the document's columns, mapped) go back
    // to this thread's cache when freed and serve the next call, instead of
    // fresh pages that the system maps and zeroes one by one. Only freed
    // mappings are held: what the returned batches use is theirs until they
    // die. Declared first, so that the document is freed into it.
    static thread_local MappingCache mappings(kCachedParseBytes);
    MappingCache::Use use(mappings);
    PyArrowHandover handover;
    if (!handover.open()) return nullptr;

    std::vector<std::shared_ptr<arrow::RecordBatch>> made;
    made.reserve(16);  // a small file's batches, without growing
    arrow::Status status;
    ParseResult parsed = without_gil([&] {
        ParseResult result = parse_document(
            text, strict,
            text.size() < (std::size_t{1} << 20) ? ColumnLayout::Refs : ColumnLayout::Packed);
        status = document_record_batches(result.document,
                                         [&](std::shared_ptr<arrow::RecordBatch> batch) {
                                             made.push_back(std::move(batch));
                                             return arrow::Status::OK();
                                         });
        return result;
    });
    if (!status.ok()) return raise_status(status);
    PyRef errors = error_list(parsed.document.errors);
    if (!errors) return nullptr;
    PyRef batches = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(made.size())));
    if (!batches) return nullptr;
    for (std::size_t i = 0; i < made.size(); ++i) {
        PyRef batch = handover.batch(made[i]);
        if (!batch) return nullptr;
        made[i].reset();  // pyarrow holds it now
        PyList_SET_ITEM(batches.get(), static_cast<Py_ssize_t>(i), batch.release());
    }
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
