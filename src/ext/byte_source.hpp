// A bytes-like argument (bytes, bytearray, memoryview, anything with the
// buffer protocol) held as a read-only view for the length of a call.
#pragma once

#include "binding/pyref.hpp"

#include <string_view>

namespace quarzel::ext {

class ByteSource {
public:
    ByteSource() = default;
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;
    ~ByteSource() {
        if (held_) PyBuffer_Release(&view_);
    }
    // False with TypeError set when `obj` has no contiguous buffer.
    bool open(PyObject* obj, const char* param) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) {
            PyErr_Format(PyExc_TypeError,
                         "argument '%s': a bytes-like object is required, not '%s'", param,
                         Py_TYPE(obj)->tp_name);
            return false;
        }
        held_ = true;
        return true;
    }
    std::string_view view() const noexcept {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace quarzel::ext
