#include "args.hpp"
#include "common.hpp"
#include "entry_points.hpp"

namespace quarzel::py {

QUARZEL_ENTRY(py_lex_cif) {
    (void)self;
    static const Signature sig{"lex_cif", {"source","mode"}, 1};
    PyObject* a[2];
    if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view source;
    if (!str_argument("source", a[0], source)) return nullptr;
    std::string_view mode;
    bool has_mode = false;
    if (!optional_str_argument("mode", a[1], mode, has_mode)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "lex_cif is not implemented yet");
    return nullptr;
}

}  // namespace quarzel::py
