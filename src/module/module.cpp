// The quarzel_core module: definition, start-up and the published names.
#include "module/entry_points.hpp"

namespace quarzel::py {
namespace {

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

#define QUARZEL_METHOD(name, impl, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impl)), kFlags, doc}

PyMethodDef functions[] = {
    QUARZEL_METHOD("parse", py_parse, "parse(source, handler)\n--\n\n"),
    QUARZEL_METHOD("parse_raw", py_parse_raw,
                   "parse_raw(source, mode=None)\n--\n\n"
                   "Parse *source* entirely in native code and return the document.  Returns a "
                   "Python dict:\n"
                   "\n"
                   "  { \"version\": str, \"errors\": [...], \"blocks\": [...] }\n"
                   "\n"
                   "No Python calls are made during parsing.  CifScalar objects are created\n"
                   "lazily in Python when block data is first accessed via __getitem__."),
    QUARZEL_METHOD("parse_cif", py_parse_cif, "parse_cif(source, mode=None)\n--\n\n"),
    QUARZEL_METHOD("parse_arrow", py_parse_arrow, "parse_arrow(source, mode=None)\n--\n\n"),
    QUARZEL_METHOD("parse_arrow_file", py_parse_arrow_file,
                   "parse_arrow_file(path, mode=None)\n--\n\n"),
    QUARZEL_METHOD("lex_cif", py_lex_cif,
                   "lex_cif(source, mode=None)\n--\n\n"
                   "Lex *source* and return a list of token dicts.\n"
                   "\n"
                   "Each dict has the keys:\n"
                   "  ``token_type``  \u2013 ``\"tag\"``, ``\"keyword\"``, or ``\"value\"``\n"
                   "  ``value``       \u2013 the raw string value of the token\n"
                   "  ``value_type``  \u2013 a ``ValueType`` enum member (or ``None`` for "
                   "tag/keyword)\n"
                   "  ``line``        \u2013 1-based line number\n"
                   "  ``column``      \u2013 1-based column number\n"
                   "  ``errors``      \u2013 list of ``LexerError``-like dicts (may be empty)\n"
                   "\n"
                   "The detected CIF version is returned as the second element of the tuple."),
};

// Appends `name` to the module's __all__ (creating it when missing), then
// sets the attribute.
int add_public(PyObject* module, const char* name, PyObject* value) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    PyRef key = PyRef::steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) return -1;
    return PyObject_SetAttr(module, key.get(), value);
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "quarzel_core start-up expects a module object");
        return -1;
    }
    const struct {
        const char* name;
        PyTypeObject* (*get)();
    } classes[] = {{"CifSaveFrame", cif_save_frame_type},
                   {"CifBlock", cif_block_type},
                   {"CifFile", cif_file_type}};
    for (const auto& c : classes) {
        PyTypeObject* type = c.get();
        if (type == nullptr || add_public(module, c.name, reinterpret_cast<PyObject*>(type)) < 0)
            return -1;
    }
    PyRef modname = PyRef::steal(PyUnicode_FromString("quarzel_core"));
    if (!modname) return -1;
    for (PyMethodDef& def : functions) {
        PyRef fn = PyRef::steal(PyCFunction_NewEx(&def, nullptr, modname.get()));
        if (!fn || add_public(module, def.ml_name, fn.get()) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quarzel_core", "", 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quarzel::py

PyMODINIT_FUNC PyInit_quarzel_core() {
    return PyModuleDef_Init(&quarzel::py::module_def);
}
