// A move-only owner of one strong reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quarzel::py {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (NULL allowed: the error is set).
    static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        reset(std::exchange(other.p_, nullptr));
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // Stores a new reference, then drops the old one (whose destructor may
    // run Python code that must not see a dangling field).
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = p_;
        p_ = stolen;
        Py_XDECREF(old);
    }

private:
    explicit PyRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace quarzel::py
