#include "binding/pyarrow_handover.hpp"

#include <arrow/c/abi.h>
#include <arrow/c/bridge.h>
#include <arrow/config.h>
#include <arrow/record_batch.h>
#include <arrow/table.h>
#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <string>
#include <string_view>

#include "binding/common.hpp"

namespace quarzel::py {

struct PyArrowHandover::Direct {
    using WrapBatch = PyObject* (*)(const std::shared_ptr<arrow::RecordBatch>&);
    using WrapTable = PyObject* (*)(const std::shared_ptr<arrow::Table>&);
    WrapBatch wrap_batch = nullptr;
    WrapTable wrap_table = nullptr;
};

namespace {

// Owners of exported C structures, released unless pyarrow took them over.
struct ExportedSchema {
    ArrowSchema c{};
    ~ExportedSchema() {
        if (c.release != nullptr) c.release(&c);
    }
};
struct ExportedArray {
    ArrowArray c{};
    ~ExportedArray() {
        if (c.release != nullptr) c.release(&c);
    }
};
struct ExportedStream {
    ArrowArrayStream c{};
    ~ExportedStream() {
        if (c.release != nullptr) c.release(&c);
    }
};

// A text without its blanks: the signatures Cython writes into its capsule
// names differ in spacing from one version to the next.
std::string without_blanks(std::string_view text) {
    std::string out;
    for (char c : text)
        if (c != ' ') out.push_back(c);
    return out;
}

// The function pyarrow.lib exports as `name`, if its signature is `signature`.
void* capi_function(PyObject* capi, const char* name, std::string_view signature) {
    PyObject* capsule = PyDict_GetItemString(capi, name);  // borrowed; no error raised
    if (capsule == nullptr || !PyCapsule_CheckExact(capsule)) return nullptr;
    const char* capsule_name = PyCapsule_GetName(capsule);
    if (capsule_name == nullptr || without_blanks(capsule_name) != without_blanks(signature)) {
        PyErr_Clear();
        return nullptr;
    }
    void* f = PyCapsule_GetPointer(capsule, capsule_name);
    if (f == nullptr) PyErr_Clear();
    return f;
}

int count_libarrow(dl_phdr_info* info, std::size_t, void* data) {
    const char* name = info->dlpi_name;
    const char* slash = name ? std::strrchr(name, '/') : nullptr;
    const char* base = slash ? slash + 1 : name;
    if (base != nullptr && std::strncmp(base, "libarrow.so", 11) == 0) ++*static_cast<int*>(data);
    return 0;
}

// pyarrow's wrapping functions, when pyarrow uses this module's libarrow:
// exactly one copy of the library is loaded and pyarrow was built for this
// version of it. Null otherwise. Called with pyarrow imported, once.
const PyArrowHandover::Direct* find_direct(PyObject* pyarrow) {
    static PyArrowHandover::Direct direct;
    PyRef version = PyRef::steal(PyObject_GetAttrString(pyarrow, "cpp_version"));
    const char* text = version ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (text == nullptr || std::string_view(text) != ARROW_VERSION_STRING) {
        PyErr_Clear();
        return nullptr;
    }
    int copies = 0;
    dl_iterate_phdr(count_libarrow, &copies);
    if (copies != 1) return nullptr;
    PyRef lib = PyRef::steal(PyImport_ImportModule("pyarrow.lib"));
    PyRef capi = lib ? PyRef::steal(PyObject_GetAttrString(lib.get(), "__pyx_capi__")) : PyRef();
    if (!capi || !PyDict_Check(capi.get())) {
        PyErr_Clear();
        return nullptr;
    }
    direct.wrap_batch = reinterpret_cast<PyArrowHandover::Direct::WrapBatch>(
        capi_function(capi.get(), "pyarrow_wrap_batch",
                      "PyObject *(std::shared_ptr< arrow::RecordBatch>  const &)"));
    direct.wrap_table = reinterpret_cast<PyArrowHandover::Direct::WrapTable>(capi_function(
        capi.get(), "pyarrow_wrap_table", "PyObject *(std::shared_ptr< arrow::Table>  const &)"));
    if (direct.wrap_batch == nullptr || direct.wrap_table == nullptr) return nullptr;
    return &direct;
}

PyObject* raise_status(const arrow::Status& status) {
    if (status.IsOutOfMemory()) return PyErr_NoMemory();
    PyErr_SetString(PyExc_RuntimeError, status.message().c_str());
    return nullptr;
}

}  // namespace

bool PyArrowHandover::open() {
    // Looked up once per process, and again should `pyarrow` name another
    // module (the interpreter lock is held).
    static PyObject* looked_in = nullptr;  // a strong reference
    static const Direct* found = nullptr;
    // The module imported before, while sys.modules still holds it: what
    // an import would give, without the import system's call (microseconds
    // of every call on small texts). Anything else goes through an import,
    // which also raises what a missing or blocked pyarrow raises.
    // The key is made once (a lookup by C string makes a str every time).
    static PyObject* name = nullptr;  // a strong reference, kept for the process
    PyObject* known = nullptr;
    if (looked_in != nullptr) {
        if (name == nullptr && (name = PyUnicode_InternFromString("pyarrow")) == nullptr)
            return false;
        if (PyDict_GetItemRef(PyImport_GetModuleDict(), name, &known) < 0) return false;
    }
    if (known != nullptr && known == looked_in)
        pyarrow_ = PyRef::steal(known);
    else {
        Py_XDECREF(known);
        pyarrow_ = PyRef::steal(PyImport_ImportModule("pyarrow"));
    }
    if (!pyarrow_) return false;
    if (pyarrow_.get() != looked_in) {
        found = find_direct(pyarrow_.get());
        Py_INCREF(pyarrow_.get());
        Py_XSETREF(looked_in, pyarrow_.get());
    }
    direct_ = found;
    return true;
}

PyRef PyArrowHandover::batch(const std::shared_ptr<arrow::RecordBatch>& batch) {
    if (direct_ != nullptr) return PyRef::steal(direct_->wrap_batch(batch));
    if (!import_batch_) {
        PyRef batch_type = attr(pyarrow_.get(), "RecordBatch");
        PyRef schema_type = attr(pyarrow_.get(), "Schema");
        if (!batch_type || !schema_type) return {};
        import_batch_ = attr(batch_type.get(), "_import_from_c");
        import_schema_ = attr(schema_type.get(), "_import_from_c");
        if (!import_batch_ || !import_schema_) return {};
    }
    // A schema object met before is not exported again: its pyarrow
    // counterpart is reused.
    const std::shared_ptr<arrow::Schema>& schema = batch->schema();
    auto known = schemas_.find(schema.get());
    if (known == schemas_.end()) {
        ExportedSchema exported;
        if (arrow::Status st = arrow::ExportSchema(*schema, &exported.c); !st.ok())
            return PyRef::steal(raise_status(st));
        PyRef address = PyRef::steal(PyLong_FromVoidPtr(&exported.c));
        if (!address) return {};
        PyRef imported = PyRef::steal(PyObject_CallOneArg(import_schema_.get(), address.get()));
        if (!imported) return {};
        known = schemas_.emplace(schema.get(), std::pair{schema, std::move(imported)}).first;
    }
    ExportedArray array;
    if (arrow::Status st = arrow::ExportRecordBatch(*batch, &array.c); !st.ok())
        return PyRef::steal(raise_status(st));
    PyRef address = PyRef::steal(PyLong_FromVoidPtr(&array.c));
    if (!address) return {};
    PyObject* args[] = {address.get(), known->second.second.get()};
    return PyRef::steal(PyObject_Vectorcall(import_batch_.get(), args, 2, nullptr));
}

PyRef PyArrowHandover::table(const std::shared_ptr<arrow::Table>& table) {
    if (direct_ != nullptr) return PyRef::steal(direct_->wrap_table(table));
    auto reader = std::make_shared<arrow::TableBatchReader>(table);
    ExportedStream stream;
    if (arrow::Status st = arrow::ExportRecordBatchReader(reader, &stream.c); !st.ok())
        return PyRef::steal(raise_status(st));
    PyRef reader_type = attr(pyarrow_.get(), "RecordBatchReader");
    if (!reader_type) return {};
    PyRef import_reader = attr(reader_type.get(), "_import_from_c");
    PyRef address = PyRef::steal(PyLong_FromVoidPtr(&stream.c));
    if (!import_reader || !address) return {};
    PyRef imported = PyRef::steal(PyObject_CallOneArg(import_reader.get(), address.get()));
    if (!imported) return {};
    return PyRef::steal(PyObject_CallMethod(imported.get(), "read_all", nullptr));
}

}  // namespace quarzel::py
