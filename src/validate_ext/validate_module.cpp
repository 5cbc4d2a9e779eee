// The quarzel._validate_native module: the validator's bindings alone
// (validate_rules.cpp and validate_run.cpp of src/ext, the same functions
// quarzel._native offers), linked with the core and the validator and
// without Arrow or Parquet, whose libraries take longer to load than a
// `quarzel validate` of a few small files takes to check them.
#include "ext/entry_points.hpp"
#include "ext/validate_methods.hpp"

namespace quarzel::ext {
namespace {

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

#define QUARZEL_EXT_METHOD(name, impl, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impl)), kFlags, doc}

PyMethodDef functions[] = {
    QUARZEL_VALIDATE_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quarzel._validate_native",
    "quarzel's validator bindings (private).",
    0,
    functions,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quarzel::ext

PyMODINIT_FUNC PyInit__validate_native() {
    return PyModuleDef_Init(&quarzel::ext::module_def);
}
