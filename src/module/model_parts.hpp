// The parts the three object model classes share: the instance layouts,
// the one borrow helper through which every slot and method reaches an
// instance, field checks, name look-ups and the making of heap types.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "binding/args.hpp"
#include "binding/common.hpp"
#include "binding/pyref.hpp"

namespace quarzel::py::model {

// ---------------------------------------------------------------------------
// Instances and their borrow state

struct Instance {
    PyObject ob_base;
    Py_ssize_t borrow;  // > 0: that many readers; -1: one writer
};

struct Frame : Instance {
    std::string name;  // UTF-8
    std::uint64_t id;
    PyObject* tags;
    PyObject* tag_order;
    PyObject* loops;
};

struct Block : Frame {
    PyObject* save_frames;
    PyObject* save_frame_list;
};

struct File : Instance {
    PyObject* blocks;
    PyObject* block_list;
    bool version_is_2_0;
};

inline Instance* instance(PyObject* self) {
    return reinterpret_cast<Instance*>(self);
}
inline Frame* as_frame(PyObject* self) {
    return reinterpret_cast<Frame*>(self);
}
inline Block* as_block(PyObject* self) {
    return reinterpret_cast<Block*>(self);
}
inline File* as_file(PyObject* self) {
    return reinterpret_cast<File*>(self);
}

// Borrows an instance while in scope: for reading (any number of readers)
// or for writing (alone). Converts to false, with RuntimeError set, when
// the instance is held in a way that excludes the borrow.
class Borrow {
public:
    enum Mode : bool { Read, Write };
    Borrow(PyObject* self, Mode mode) : inst_(instance(self)), mode_(mode) {
        if (mode == Read ? inst_->borrow < 0 : inst_->borrow != 0) {
            PyErr_SetString(PyExc_RuntimeError,
                            mode == Read ? "Already mutably borrowed" : "Already borrowed");
            inst_ = nullptr;
        } else if (mode == Read) {
            ++inst_->borrow;
        } else {
            inst_->borrow = -1;
        }
    }
    ~Borrow() {
        if (!inst_) return;
        if (mode_ == Read)
            --inst_->borrow;
        else
            inst_->borrow = 0;
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    explicit operator bool() const { return inst_ != nullptr; }

private:
    Instance* inst_;
    Mode mode_;
};

// `guarded` for slots that return a status (-1 error) or a truth value.
template <class F>
int guarded_int(F&& body) noexcept {
    int result = -1;
    PyObject* ok = guarded([&]() -> PyObject* {
        result = body();
        return result < 0 ? nullptr : Py_None;
    });
    return ok ? result : -1;
}

// The way into an instance for every slot and method: runs `body` inside
// the exception boundary with `self` borrowed for reading (`reading`,
// `reading_int`) or writing (`writing`). `body` returns a new reference or
// null (reading), or a status or truth value, -1 on error (the others).
template <class F>
PyObject* reading(PyObject* self, F&& body) noexcept {
    return guarded([&]() -> PyObject* {
        Borrow hold(self, Borrow::Read);
        if (!hold) return nullptr;
        return body();
    });
}

template <class F>
int reading_int(PyObject* self, F&& body) noexcept {
    return guarded_int([&]() -> int {
        Borrow hold(self, Borrow::Read);
        if (!hold) return -1;
        return body();
    });
}

template <class F>
int writing(PyObject* self, F&& body) noexcept {
    return guarded_int([&]() -> int {
        Borrow hold(self, Borrow::Write);
        if (!hold) return -1;
        return body();
    });
}

// ---------------------------------------------------------------------------
// Small helpers

// A field that the garbage collector has cleared reads as None.
inline PyObject* field(PyObject* value) {
    return value ? value : Py_None;
}
PyObject* need_dict(PyObject* value);
PyObject* need_list(PyObject* value);
PyObject* need_str(PyObject* value);
int no_deleter();

// str.lower(text), with a fast path for plain ASCII strings.
PyRef lowered(PyObject* text);

// A non-negative integer that fits 64 bits; the interpreter's conversion
// errors, TypeError prefixed with the argument name when `param` is given.
bool to_u64(const char* param, PyObject* value, std::uint64_t& out);

// Turns the (tuple, dict) arguments of a type call into the vectorcall shape
// that `bind` reads.
bool bind_call(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// New list of the `name` attribute of each item of `list` (the walk stops
// at the shorter of the starting and current length), optionally requiring
// each to be a str.
PyObject* names_of(PyObject* list, bool require_str);

// get_all(name): every item of the list in `list_field` whose name equals
// the lower-cased query.
PyObject* get_all_in(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject* (*list_field)(PyObject*));

// _add_block(block) / _add_save_frame(frame): append and index one item.
PyObject* add_in(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject* (*list_field)(PyObject*),
                 PyObject* (*dict_field)(PyObject*));

PyRef allocate(PyTypeObject* type);
inline PyRef new_dict() {
    return PyRef::steal(PyDict_New());
}
inline PyRef new_list() {
    return PyRef::steal(PyList_New(0));
}

// ---------------------------------------------------------------------------
// Stored fields: a PyObject* member as a read/write property.

template <class T>
struct member_class;
template <class C, class V>
struct member_class<V C::*> {
    using type = C;
};

template <auto Member>
PyObject* get_object_field(PyObject* self, void*) {
    using C = typename member_class<decltype(Member)>::type;
    return reading(
        self, [&]() -> PyObject* { return Py_NewRef(field(reinterpret_cast<C*>(self)->*Member)); });
}

template <auto Member>
int set_object_field(PyObject* self, PyObject* value, void*) {
    using C = typename member_class<decltype(Member)>::type;
    if (value == nullptr) return no_deleter();
    PyRef old;  // dropped after the instance is released
    return writing(self, [&]() -> int {
        old = PyRef::steal(std::exchange(reinterpret_cast<C*>(self)->*Member, Py_NewRef(value)));
        return 0;
    });
}

// ---------------------------------------------------------------------------
// Type objects

#define QUARZEL_GETSET(name, get, set) {name, get, set, "", nullptr}
#define QUARZEL_FIELD(name, member) \
    QUARZEL_GETSET(name, get_object_field<member>, set_object_field<member>)
#define QUARZEL_METHOD(name, impl, doc)                                       \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impl)), \
     METH_FASTCALL | METH_KEYWORDS, doc}

struct TypeSpec {
    const char* name;
    const char* doc;
    int basicsize;
    newfunc new_;
    destructor dealloc;
    traverseproc traverse;
    inquiry clear;
    binaryfunc subscript;
    objobjproc contains;
    PyGetSetDef* getset;
    PyMethodDef* methods;
};

// A heap type (mutable, not subclassable, no instance dict or weak
// references) that takes part in cyclic garbage collection. Methods are
// added after the properties so that the class dict lists them in that
// order.
PyTypeObject* make_type(const TypeSpec& t);

// Created on first success and kept for the life of the process.
template <const TypeSpec& Spec>
PyTypeObject* cached_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = make_type(Spec);
    return type;
}

}  // namespace quarzel::py::model
