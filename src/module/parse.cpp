#include "args.hpp"
#include "common.hpp"
#include "entry_points.hpp"

namespace quarzel::py {

QUARZEL_ENTRY(py_parse) {
    (void)self;
    static const Signature sig{"parse", {"source","handler"}, 2};
    PyObject* a[2];
    if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view source;
    if (!str_argument("source", a[0], source)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "parse is not implemented yet");
    return nullptr;
}

}  // namespace quarzel::py
