// The module's six functions (vectorcall with keywords) and its classes.
#pragma once

#include "binding/pyref.hpp"

namespace quarzel::py {

#define QUARZEL_ENTRY(name) \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

QUARZEL_ENTRY(py_parse);
QUARZEL_ENTRY(py_parse_raw);
QUARZEL_ENTRY(py_parse_cif);
QUARZEL_ENTRY(py_parse_arrow);
QUARZEL_ENTRY(py_parse_arrow_file);
QUARZEL_ENTRY(py_lex_cif);

// The three class types, created once per process on first use. Borrowed
// references; NULL with an error set if creation fails.
PyTypeObject* cif_save_frame_type();
PyTypeObject* cif_block_type();
PyTypeObject* cif_file_type();

}  // namespace quarzel::py
