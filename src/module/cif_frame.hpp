// What CifBlock and CifSaveFrame share: name and id, the tag and loop
// views, the fill methods, look-up by key and the instance life cycle.
#pragma once

#include <cstdint>
#include <string>

#include "module/model_parts.hpp"

namespace quarzel::py::model {

// name and _id
PyObject* get_name(PyObject* self, void*);
int set_name(PyObject* self, PyObject* value, void*);
PyObject* get_id(PyObject* self, void*);
int set_id(PyObject* self, PyObject* value, void*);

// The tags and loops properties: fresh copies of the tag order and of
// each loop's tag list.
PyObject* frame_tags(PyObject* self, void*);
PyObject* frame_loops(PyObject* self, void*);

// _append_value(tag, value) and _add_loop(tags, buffers).
PyObject* frame_append_value(const Signature& sig, PyObject* self, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames);
PyObject* frame_add_loop(const Signature& sig, PyObject* self, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames);

// The (name, id=0) arguments of both constructors.
bool frame_new_args(const Signature& sig, PyObject* args, PyObject* kwargs, std::string& name,
                    std::uint64_t& id);

// ---------------------------------------------------------------------------
// Life cycle

void init_frame(Frame* f, std::string name, std::uint64_t id);
int frame_traverse(PyObject* self, visitproc visit, void* arg);
int frame_clear(PyObject* self);

// Instances of heap types own a reference to their type, dropped last.
template <int (*Clear)(PyObject*)>
void frame_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyRef owned_type = PyRef::steal(reinterpret_cast<PyObject*>(type));
    PyObject_GC_UnTrack(self);
    Clear(self);
    using std::string;
    as_frame(self)->name.~string();
    type->tp_free(self);
}

// ---------------------------------------------------------------------------
// Look-up by key

// Looks `key` up among the tags (a key starting with "_") or, for a block,
// the save frames. Returns 1 found (with *found set when asked), 0 not
// found, -1 error.
int frame_lookup(PyObject* self, PyObject* key, bool is_block, PyObject** found);

template <bool IsBlock>
PyObject* frame_subscript(PyObject* self, PyObject* key) {
    return reading(self, [&]() -> PyObject* {
        PyObject* found = nullptr;
        int got = frame_lookup(self, key, IsBlock, &found);
        if (got < 0) return nullptr;
        if (got == 0) {
            PyErr_SetObject(PyExc_KeyError, key);
            return nullptr;
        }
        return found;
    });
}

template <bool IsBlock>
int frame_contains(PyObject* self, PyObject* key) {
    return reading_int(self, [&]() -> int { return frame_lookup(self, key, IsBlock, nullptr); });
}

}  // namespace quarzel::py::model
