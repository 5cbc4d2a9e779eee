#include "ext/input_source.hpp"

#include <cerrno>
#include <cstring>

#include "binding/args.hpp"
#include "stream/open_input.hpp"

namespace quarzel::ext {

using py::PyRef;

DocumentReader::Opener InputArgument::opener() const {
    if (is_path) {
        std::string p = path;
        return [p]() { return stream::open_input(p); };
    }
    std::string_view t = text;
    return [t]() -> std::unique_ptr<ByteSource> { return std::make_unique<MemorySource>(t); };
}

bool input_argument(PyObject* source, PyObject* is_path, InputArgument& out) {
    if (!PyUnicode_Check(source)) return py::argument_type_error("source", source, "str"), false;
    out.is_path = is_path != nullptr && PyObject_IsTrue(is_path) == 1;
    if (out.is_path) {
        PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(source));
        if (!encoded) return false;
        const char* p = PyBytes_AS_STRING(encoded.get());
        const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()));
        if (std::strlen(p) != n) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            return false;
        }
        out.path.assign(p, n);
        return true;
    }
    if (!py::str_argument("source", source, out.text)) return false;
    out.text_owner = PyRef::borrow(source);
    return true;
}

std::nullptr_t raise_input_error(const InputError& e, const InputArgument& input) {
    if (e.code() != 0 && input.is_path) {
        PyRef name = PyRef::steal(PyUnicode_DecodeFSDefault(input.path.c_str()));
        errno = e.code();
        if (name) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
        return nullptr;
    }
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(e.what(), static_cast<Py_ssize_t>(std::strlen(e.what())), "replace"));
    if (text) PyErr_SetObject(PyExc_OSError, text.get());
    return nullptr;
}

bool str_list_argument(const char* param, PyObject* obj, std::vector<std::string>& out,
                       bool& present) {
    present = obj != nullptr && obj != Py_None;
    if (!present) return true;
    if (!PyList_Check(obj)) return py::argument_type_error(param, obj, "list"), false;
    const Py_ssize_t n = PyList_GET_SIZE(obj);
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::string_view s;
        if (!py::str_argument(param, PyList_GET_ITEM(obj, i), s)) return false;
        out.emplace_back(s);
    }
    return true;
}

}  // namespace quarzel::ext
