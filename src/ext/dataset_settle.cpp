// settle_part(part, text, out, text_out, columns, text_add, key, value):
// writes a part of a run typed by its values again as its table lays it out
// (dataset/settle.hpp), with the GIL released. `columns` is a list of
// tuples (source, index, name, doubles, su, status, su_index,
// status_index, text_index), source 0 (the part's column), 1 (the text of
// the part's numbers) or 2 (numbers); `text_out` is None or where the kept
// text is written with the part's columns `text_add` added. Returns False,
// writing nothing, when the part is not laid out as the engine writes it;
// raises OSError when it cannot be read or written.
#include "binding/args.hpp"
#include "binding/common.hpp"
#include "dataset/settle.hpp"
#include "ext/entry_points.hpp"

namespace quarzel::ext {

namespace {

bool path_of(const char* param, PyObject* obj, std::string& out) {
    if (PyBytes_Check(obj)) {
        out.assign(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
        return true;
    }
    std::string_view s;
    if (!py::str_argument(param, obj, s)) return false;
    out.assign(s);
    return true;
}

bool int_of(PyObject* obj, int& out) {
    const long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    out = static_cast<int>(v);
    return true;
}

bool column_of(PyObject* item, dataset::SettleColumn& c) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 9)
        return py::argument_type_error("columns", item, "tuple of 9"), false;
    int source = 0;
    std::string_view name, su, status;
    if (!int_of(PyTuple_GET_ITEM(item, 0), source) || !int_of(PyTuple_GET_ITEM(item, 1), c.index) ||
        !py::str_argument("columns", PyTuple_GET_ITEM(item, 2), name) ||
        !py::str_argument("columns", PyTuple_GET_ITEM(item, 4), su) ||
        !py::str_argument("columns", PyTuple_GET_ITEM(item, 5), status) ||
        !int_of(PyTuple_GET_ITEM(item, 6), c.su_index) ||
        !int_of(PyTuple_GET_ITEM(item, 7), c.status_index) ||
        !int_of(PyTuple_GET_ITEM(item, 8), c.text_index))
        return false;
    if (source < 0 || source > 2) {
        PyErr_SetString(PyExc_ValueError, "settle_part: a column's source is 0, 1 or 2");
        return false;
    }
    const int doubles = PyObject_IsTrue(PyTuple_GET_ITEM(item, 3));
    if (doubles < 0) return false;
    c.source = static_cast<dataset::SettleColumn::Source>(source);
    c.doubles = doubles != 0;
    c.name.assign(name);
    c.su.assign(su);
    c.status.assign(status);
    return true;
}

}  // namespace

QUARZEL_EXT_ENTRY(py_settle_part) {
    (void)self;
    static const py::Signature sig{
        "settle_part",
        {"part", "text", "out", "text_out", "columns", "text_add", "key", "value"},
        8};
    PyObject* a[8] = {};
    if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
    return py::guarded([&]() -> PyObject* {
        dataset::SettleJob job;
        if (!path_of("part", a[0], job.part) || !path_of("text", a[1], job.text) ||
            !path_of("out", a[2], job.out))
            return nullptr;
        if (a[3] != Py_None && !path_of("text_out", a[3], job.text_out)) return nullptr;
        if (!PyList_Check(a[4])) return py::argument_type_error("columns", a[4], "list");
        job.columns.resize(static_cast<std::size_t>(PyList_GET_SIZE(a[4])));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a[4]); ++i)
            if (!column_of(PyList_GET_ITEM(a[4], i), job.columns[static_cast<std::size_t>(i)]))
                return nullptr;
        if (!PyList_Check(a[5])) return py::argument_type_error("text_add", a[5], "list");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a[5]); ++i) {
            int k = 0;
            if (!int_of(PyList_GET_ITEM(a[5], i), k)) return nullptr;
            job.text_add.push_back(k);
        }
        std::string_view key, value;
        if (!py::str_argument("key", a[6], key) || !py::str_argument("value", a[7], value))
            return nullptr;
        job.key.assign(key);
        job.value.assign(value);
        arrow::Result<bool> done;
        Py_BEGIN_ALLOW_THREADS done = dataset::settle_part(job);
        Py_END_ALLOW_THREADS if (!done.ok()) {
            PyErr_SetString(PyExc_OSError, done.status().message().c_str());
            return nullptr;
        }
        return PyBool_FromLong(*done);
    });
}

}  // namespace quarzel::ext
