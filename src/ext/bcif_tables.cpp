// BinaryCIF as Arrow: typed tables per category (bcif_tables), and the
// record batches parse_arrow gives for the same content as CIF text
// (bcif_batches), both with the problem records.
#include "arrow/batches.hpp"
#include "bcif/to_arrow.hpp"
#include "bcif/to_document.hpp"
#include "binding/args.hpp"
#include "binding/common.hpp"
#include "binding/pyarrow_handover.hpp"
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
        py::PyArrowHandover handover;
        if (!handover.open()) return nullptr;
        const std::string_view input = source.view();
        arrow::Result<bcif::Tables> read =
            py::without_gil([&] { return bcif::read_tables(input); });
        if (!read.ok()) return raise_arrow_status(read.status());
        bcif::Tables& tables = *read;
        // {header: {category: table}}: categories named without their
        // leading underscore; a block header or category met again adds to
        // the first (its categories), or is left out (a category).
        PyRef blocks = PyRef::steal(PyDict_New());
        if (!blocks) return nullptr;
        for (bcif::BlockBatches& b : tables.blocks) {
            PyRef header = name_str(b.header);
            if (!header) return nullptr;
            PyObject* cats = PyDict_GetItemWithError(blocks.get(), header.get());  // borrowed
            if (!cats) {
                if (PyErr_Occurred()) return nullptr;
                PyRef made = PyRef::steal(PyDict_New());
                if (!made || PyDict_SetItem(blocks.get(), header.get(), made.get()) < 0)
                    return nullptr;
                cats = made.get();
            }
            // A block's categories are rarely given twice: each is wrapped
            // and put in with one look-up, which keeps the first of a name.
            for (bcif::CategoryBatch& c : b.categories) {
                std::string_view key = c.name;
                if (key.starts_with('_')) key.remove_prefix(1);
                PyRef name = name_str(key);
                if (!name) return nullptr;
                PyRef table = handover.table(c.table);
                if (!table || PyDict_SetDefaultRef(cats, name.get(), table.get(), nullptr) < 0)
                    return nullptr;
                c.table.reset();
            }
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
