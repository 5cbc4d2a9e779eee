#include "module/cif_frame.hpp"

#include <new>
#include <string_view>
#include <utility>

namespace quarzel::py::model {

PyObject* get_name(PyObject* self, void*) {
    return reading(self, [&]() -> PyObject* { return str(as_frame(self)->name).release(); });
}

// name is checked before the instance is borrowed (reading a str runs no
// code of the object).
int set_name(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return no_deleter();
    return guarded_int([&]() -> int {
        std::string_view text;
        if (!str_argument("name", value, text)) return -1;
        return writing(self, [&]() -> int {
            as_frame(self)->name.assign(text);
            return 0;
        });
    });
}

PyObject* get_id(PyObject* self, void*) {
    return reading(self,
                   [&]() -> PyObject* { return PyLong_FromUnsignedLongLong(as_frame(self)->id); });
}

int set_id(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return no_deleter();
    // Held before the conversion: the value's __index__ may run code that
    // reads or changes this object.
    return writing(self, [&]() -> int {
        std::uint64_t id = 0;
        if (!to_u64("_id", value, id)) return -1;
        as_frame(self)->id = id;
        return 0;
    });
}

PyObject* frame_tags(PyObject* self, void*) {
    return reading(self, [&]() -> PyObject* {
        PyObject* order = need_list(as_frame(self)->tag_order);
        if (!order) return nullptr;
        return PyList_GetSlice(order, 0, PY_SSIZE_T_MAX);
    });
}

PyObject* frame_loops(PyObject* self, void*) {
    return reading(self, [&]() -> PyObject* {
        PyObject* loops = need_list(as_frame(self)->loops);
        if (!loops) return nullptr;
        PyRef out = PyRef::steal(PyList_New(0));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(loops); ++i) {
            PyRef entry = PyRef::steal(PyList_GetItemRef(loops, i));
            if (!entry || !need_list(entry.get())) return nullptr;
            PyRef copy = PyRef::steal(PyList_GetSlice(entry.get(), 0, PY_SSIZE_T_MAX));
            if (!copy || PyList_Append(out.get(), copy.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

PyObject* frame_append_value(const Signature& sig, PyObject* self, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
    return reading(self, [&]() -> PyObject* {
        PyObject* a[2];
        if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
        PyObject* tag = a[0];
        PyObject* value = a[1];
        if (!PyUnicode_Check(tag)) return argument_type_error("tag", tag, "str");
        Frame* f = as_frame(self);
        PyObject* tags = need_dict(f->tags);
        if (!tags) return nullptr;
        PyObject* order = need_list(f->tag_order);
        if (!order) return nullptr;
        int known = PyDict_Contains(tags, tag);
        if (known < 0) return nullptr;
        if (!known) {
            if (PyList_Append(order, tag) < 0) return nullptr;
            PyRef fresh = PyRef::steal(PyList_New(0));
            if (!fresh || PyDict_SetItem(tags, tag, fresh.get()) < 0) return nullptr;
        }
        PyObject* found = nullptr;
        int got = PyDict_GetItemRef(tags, tag, &found);
        if (got < 0) return nullptr;
        PyRef values = PyRef::steal(found);
        if (got == 0) {  // a key whose equality changed under us
            PyErr_SetObject(PyExc_KeyError, tag);
            return nullptr;
        }
        if (!need_list(values.get()) || PyList_Append(values.get(), value) < 0) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* frame_add_loop(const Signature& sig, PyObject* self, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
    return reading(self, [&]() -> PyObject* {
        PyObject* a[2];
        if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
        PyObject* given = a[0];
        PyObject* buffers = a[1];
        if (PyUnicode_Check(given) || !PySequence_Check(given))
            return argument_type_error("tags", given, "Sequence");
        PyRef names = PyRef::steal(PySequence_List(given));
        if (!names) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
            PyObject* name = PyList_GET_ITEM(names.get(), i);
            if (!PyUnicode_Check(name)) return argument_type_error("tags", name, "str");
        }
        if (!PyDict_Check(buffers)) return argument_type_error("buffers", buffers, "dict");

        Frame* f = as_frame(self);
        PyObject* tags = need_dict(f->tags);
        if (!tags) return nullptr;
        PyObject* order = need_list(f->tag_order);
        if (!order) return nullptr;
        PyObject* loops = need_list(f->loops);
        if (!loops) return nullptr;

        const Py_ssize_t count = PyList_GET_SIZE(names.get());
        PyRef entry = PyRef::steal(PyList_New(0));
        if (!entry) return nullptr;
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* tag = PyList_GET_ITEM(names.get(), i);  // `names` is private
            int known = PyDict_Contains(tags, tag);
            if (known < 0) return nullptr;
            if (!known && PyList_Append(order, tag) < 0) return nullptr;
            PyObject* found = nullptr;
            int got = PyDict_GetItemRef(buffers, tag, &found);
            if (got < 0) return nullptr;
            PyRef column = got ? PyRef::steal(found) : PyRef::steal(PyList_New(0));
            if (!column || PyDict_SetItem(tags, tag, column.get()) < 0) return nullptr;
            if (PyList_Append(entry.get(), tag) < 0) return nullptr;
        }
        if (PyList_Append(loops, entry.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    });
}

void init_frame(Frame* f, std::string name, std::uint64_t id) {
    f->borrow = 0;
    new (&f->name) std::string(std::move(name));
    f->id = id;
}

int frame_traverse(PyObject* self, visitproc visit, void* arg) {
    Frame* f = as_frame(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->tags);
    Py_VISIT(f->tag_order);
    Py_VISIT(f->loops);
    return 0;
}

int frame_clear(PyObject* self) {
    Frame* f = as_frame(self);
    Py_CLEAR(f->tags);
    Py_CLEAR(f->tag_order);
    Py_CLEAR(f->loops);
    return 0;
}

int frame_lookup(PyObject* self, PyObject* key, bool is_block, PyObject** found) {
    if (!PyUnicode_Check(key)) {
        argument_type_error("key", key, "str");
        return -1;
    }
    PyRef query = lowered(key);
    if (!query) return -1;
    bool is_tag = !is_block || (PyUnicode_GET_LENGTH(query.get()) > 0 &&
                                PyUnicode_READ_CHAR(query.get(), 0) == '_');
    PyObject* dict = need_dict(is_tag ? as_frame(self)->tags : as_block(self)->save_frames);
    if (!dict) return -1;
    if (found) return PyDict_GetItemRef(dict, query.get(), found);
    return PyDict_Contains(dict, query.get());
}

bool frame_new_args(const Signature& sig, PyObject* args, PyObject* kwargs, std::string& name,
                    std::uint64_t& id) {
    PyObject* a[2];
    if (!bind_call(sig, args, kwargs, a)) return false;
    std::string_view text;
    if (!str_argument("name", a[0], text)) return false;
    id = 0;
    if (a[1] != nullptr && !to_u64("id", a[1], id)) return false;
    name.assign(text);
    return true;
}

}  // namespace quarzel::py::model
