#include "args.hpp"
#include "common.hpp"
#include "entry_points.hpp"

namespace quarzel::py {

QUARZEL_ENTRY(py_parse_arrow) {
    (void)self;
    static const Signature sig{"parse_arrow", {"source","mode"}, 1};
    PyObject* a[2];
    if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view source;
    if (!str_argument("source", a[0], source)) return nullptr;
    std::string_view mode;
    bool has_mode = false;
    if (!optional_str_argument("mode", a[1], mode, has_mode)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "parse_arrow is not implemented yet");
    return nullptr;
}

}  // namespace quarzel::py

namespace quarzel::py {

QUARZEL_ENTRY(py_parse_arrow_file) {
    (void)self;
    static const Signature sig{"parse_arrow_file", {"path", "mode"}, 1};
    PyObject* a[2];
    if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view path;
    if (!str_argument("path", a[0], path)) return nullptr;
    std::string_view mode;
    bool has_mode = false;
    if (!optional_str_argument("mode", a[1], mode, has_mode)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "parse_arrow_file is not implemented yet");
    return nullptr;
}

}  // namespace quarzel::py
