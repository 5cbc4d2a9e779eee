// BinaryCIF as Arrow: typed tables per category (bcif_tables), and the
// record batches parse_arrow gives for the same content as CIF text
// (bcif_batches), both with the problem records.
#include "arrow/batches.hpp"
#include "bcif/to_arrow.hpp"
#include "bcif/to_document.hpp"
#include "binding/args.hpp"
#include "binding/common.hpp"
#include "ext/byte_source.hpp"
#include "ext/entry_points.hpp"
#include "ext/pyarrow_import.hpp"

namespace quarzel::ext {

using py::PyRef;

namespace {

PyRef name_str(std::string_view s) {
    return PyRef::steal(
        PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

bool one_bytes_argument(const char* name, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, ByteSource& source) {
    const py::Signature sig{name, {"data"}, 1};
    PyObject* bound[1] = {};
    return py::bind(sig, args, nargs, kwnames, bound) && source.open(bound[0], "data");
}

}  // namespace

QUARZEL_EXT_ENTRY(py_bcif_tables) {
    (void)self;
    ByteSource source;
    if (!one_bytes_argument("bcif_tables", args, nargs, kwnames, source)) return nullptr;
    return py::guarded([&]() -> PyObject* {
        PyArrowImport importer;
        if (!importer.open()) return nullptr;
        const std::string_view input = source.view();
        arrow::Result<bcif::Tables> read =
            py::without_gil([&] { return bcif::read_tables(input); });
        if (!read.ok()) return raise_arrow_status(read.status());
        bcif::Tables& tables = *read;
        PyRef blocks = PyRef::steal(PyList_New(0));
        if (!blocks) return nullptr;
        for (bcif::BlockBatches& b : tables.blocks) {
            PyRef cats = PyRef::steal(PyList_New(0));
            PyRef header = name_str(b.header);
            if (!cats || !header) return nullptr;
            for (bcif::CategoryBatch& c : b.categories) {
                PyRef batch = importer.keyed_batch(c.key, &c.schema, &c.array);
                if (!batch) return nullptr;
                PyRef name = name_str(c.name);
                if (!name) return nullptr;
                PyRef pair = PyRef::steal(PyTuple_Pack(2, name.get(), batch.get()));
                if (!pair || PyList_Append(cats.get(), pair.get()) < 0) return nullptr;
            }
            PyRef pair = PyRef::steal(PyTuple_Pack(2, header.get(), cats.get()));
            if (!pair || PyList_Append(blocks.get(), pair.get()) < 0) return nullptr;
        }
        PyRef errors = py::error_list(tables.errors);
        if (!errors) return nullptr;
        return PyTuple_Pack(2, blocks.get(), errors.get());
    });
}

QUARZEL_EXT_ENTRY(py_bcif_batches) {
    (void)self;
    ByteSource source;
    if (!one_bytes_argument("bcif_batches", args, nargs, kwnames, source)) return nullptr;
    return py::guarded([&]() -> PyObject* {
        PyArrowImport importer;
        if (!importer.open()) return nullptr;
        const std::string_view input = source.view();
        ParsedCif doc =
            py::without_gil([&] { return bcif::read_document(input, ColumnLayout::Packed); });
        PyRef errors = py::error_list(doc.errors);
        PyRef batches = PyRef::steal(PyList_New(0));
        if (!errors || !batches) return nullptr;
        arrow::Status status = document_batches(
            doc, [&](const std::shared_ptr<arrow::Schema>& schema, ArrowArray* array) {
                arrow::Result<PyRef> converted = importer.batch(schema, array);
                if (!converted.ok()) return converted.status();
                PyRef batch = std::move(converted).ValueUnsafe();
                if (!batch || PyList_Append(batches.get(), batch.get()) < 0)
                    return arrow::Status::Cancelled("Python error");
                return arrow::Status::OK();
            });
        if (!status.ok()) return PyErr_Occurred() ? nullptr : raise_arrow_status(status);
        return PyTuple_Pack(2, batches.get(), errors.get());
    });
}

}  // namespace quarzel::ext
