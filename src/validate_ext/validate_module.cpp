// The quarzel._validate_native module: the validator's bindings alone
// (validate_rules.cpp and validate_run.cpp of src/ext, the same functions
// quarzel._native offers), linked with the core and the validator and
// without Arrow or Parquet, whose libraries take longer to load than a
// `quarzel validate` of a few small files takes to check them.
#include "ext/entry_points.hpp"

namespace quarzel::ext {
namespace {

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

#define QUARZEL_EXT_METHOD(name, impl, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impl)), kFlags, doc}

PyMethodDef functions[] = {
    QUARZEL_EXT_METHOD("compile_rules", py_compile_rules,
                       "compile_rules(text)\n--\n\n"
                       "A rule set for the validator from the dictionary compiler's text."),
    QUARZEL_EXT_METHOD("compile_ddl2", py_compile_ddl2,
                       "compile_ddl2(text, name, deposition=False)\n--\n\n"
                       "The rule-set text of a DDL2 dictionary, or None (the GIL is released)."),
    QUARZEL_EXT_METHOD("rules_info", py_rules_info,
                       "rules_info(rules)\n--\n\n"
                       "(dictionary labels, findings about the dictionaries, item count)."),
    QUARZEL_EXT_METHOD(
        "validate_text", py_validate_text,
        "validate_text(rules, text, links=0, su_multiplier=3.0, ignore_case=False, "
        "imported=None)\n--\n\n"
        "(findings, reader errors) of a CIF text checked against a rule set (the GIL is "
        "released)."),
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
