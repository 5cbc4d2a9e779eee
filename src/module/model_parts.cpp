#include "module/model_parts.hpp"

#include <vector>

#include "module/cif_model.hpp"

namespace quarzel::py::model {

PyObject* need_dict(PyObject* value) {
    value = field(value);
    return PyDict_Check(value) ? value : type_error(value, "dict");
}

PyObject* need_list(PyObject* value) {
    value = field(value);
    return PyList_Check(value) ? value : type_error(value, "list");
}

PyObject* need_str(PyObject* value) {
    return PyUnicode_Check(value) ? value : type_error(value, "str");
}

int no_deleter() {
    PyErr_SetString(PyExc_AttributeError, "property has no deleter");
    return -1;
}

// The interpreter's own str.lower (never an override of a str subclass).
static PyObject* str_lower_method() {
    static PyObject* method = nullptr;
    if (method == nullptr)
        method = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower");
    return method;
}

PyRef lowered(PyObject* text) {
    if (PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text)) {
        const Py_UCS1* data = PyUnicode_1BYTE_DATA(text);
        const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
        Py_ssize_t i = 0;
        while (i < len && !(data[i] >= 'A' && data[i] <= 'Z')) ++i;
        if (i == len) return PyRef::borrow(text);
        PyRef out = PyRef::steal(PyUnicode_New(len, 127));
        if (!out) return {};
        Py_UCS1* dst = PyUnicode_1BYTE_DATA(out.get());
        for (Py_ssize_t j = 0; j < len; ++j) {
            Py_UCS1 c = data[j];
            dst[j] = (c >= 'A' && c <= 'Z') ? static_cast<Py_UCS1>(c + ('a' - 'A')) : c;
        }
        return out;
    }
    PyObject* method = str_lower_method();
    if (method == nullptr) return {};
    return PyRef::steal(PyObject_Vectorcall(method, &text, 1, nullptr));
}

bool to_u64(const char* param, PyObject* value, std::uint64_t& out) {
    if (!PyIndex_Check(value)) {
        if (param)
            PyErr_Format(PyExc_TypeError,
                         "argument '%s': '%s' object cannot be interpreted as an integer", param,
                         type_name(value));
        else
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be interpreted as an integer",
                         type_name(value));
        return false;
    }
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) return false;
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool bind_call(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> flat;
    for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
    PyRef kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = PyRef::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        if (!kwnames) return false;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
            flat.push_back(value);
        }
    }
    return bind(sig, flat.data(), nargs, kwnames.get(), out);
}

namespace {

// Calls `visit(item, name)` with each item of `list` and its `name`
// attribute, until `visit` returns false (then false). The walk stops at the
// shorter of the starting and current length: the list may change under it.
template <class F>
bool walk_names(PyObject* list, F&& visit) {
    const Py_ssize_t start = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < start && i < PyList_GET_SIZE(list); ++i) {
        PyRef item = PyRef::steal(PyList_GetItemRef(list, i));
        if (!item) return false;
        PyRef name = attr(item.get(), "name");
        if (!name || !visit(item.get(), name.get())) return false;
    }
    return true;
}

// New list of the items of `list` whose `name` attribute (a str) equals
// `query`.
PyObject* items_named(PyObject* list, PyObject* query) {
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    const bool walked = walk_names(list, [&](PyObject* item, PyObject* name) {
        if (!need_str(name)) return false;
        const int equal = PyUnicode_Equal(name, query);
        return equal >= 0 && (!equal || PyList_Append(out.get(), item) == 0);
    });
    return walked ? out.release() : nullptr;
}

}  // namespace

PyObject* names_of(PyObject* list, bool require_str) {
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    const bool walked = walk_names(list, [&](PyObject*, PyObject* name) {
        return (!require_str || need_str(name)) && PyList_Append(out.get(), name) == 0;
    });
    return walked ? out.release() : nullptr;
}

// Sets item._id to the list's length, appends the item, and indexes it under
// its `name` unless that name is indexed already (then returns True).
static PyObject* add_indexed(PyObject* list_field, PyObject* dict_field, PyObject* item) {
    PyObject* list = need_list(list_field);
    if (!list) return nullptr;
    PyObject* dict = need_dict(dict_field);
    if (!dict) return nullptr;
    PyRef id = PyRef::steal(PyLong_FromSsize_t(PyList_GET_SIZE(list)));
    if (!id || PyObject_SetAttrString(item, "_id", id.get()) < 0) return nullptr;
    if (PyList_Append(list, item) < 0) return nullptr;
    PyRef name = attr(item, "name");
    if (!name || !need_str(name.get())) return nullptr;
    int present = index_first(dict, name.get(), item);
    if (present < 0) return nullptr;
    return PyBool_FromLong(present);
}

PyObject* get_all_in(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject* (*list_field)(PyObject*)) {
    return reading(self, [&]() -> PyObject* {
        PyObject* a[1];
        if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
        if (!PyUnicode_Check(a[0])) return argument_type_error("name", a[0], "str");
        PyRef query = lowered(a[0]);
        if (!query) return nullptr;
        PyObject* list = need_list(list_field(self));
        if (!list) return nullptr;
        return items_named(list, query.get());
    });
}

// _add_block(block) / _add_save_frame(frame): append and index one item.
PyObject* add_in(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject* (*list_field)(PyObject*),
                 PyObject* (*dict_field)(PyObject*)) {
    return reading(self, [&]() -> PyObject* {
        PyObject* a[1];
        if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
        return add_indexed(list_field(self), dict_field(self), a[0]);
    });
}

PyRef allocate(PyTypeObject* type) {
    if (type == nullptr) return {};
    return PyRef::steal(type->tp_alloc(type, 0));
}

PyTypeObject* make_type(const TypeSpec& t) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(t.new_)},
        {Py_tp_doc, const_cast<char*>(t.doc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(t.dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(t.traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(t.clear)},
        {Py_tp_getset, t.getset},
        {Py_mp_subscript, reinterpret_cast<void*>(t.subscript)},
        {Py_sq_contains, reinterpret_cast<void*>(t.contains)},
        {0, nullptr},
    };
    PyType_Spec spec = {t.name, t.basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    PyRef type = PyRef::steal(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    for (PyMethodDef* def = t.methods; def->ml_name != nullptr; ++def) {
        PyRef descr =
            PyRef::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.get()), def));
        if (!descr || PyObject_SetAttrString(type.get(), def->ml_name, descr.get()) < 0)
            return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace quarzel::py::model

namespace quarzel::py {

int index_first(PyObject* dict, PyObject* key, PyObject* value) {
    PyObject* existing = nullptr;
    int present = PyDict_SetDefaultRef(dict, key, value, &existing);
    PyRef drop = PyRef::steal(existing);
    return present;
}

}  // namespace quarzel::py
