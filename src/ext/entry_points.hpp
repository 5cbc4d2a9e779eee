// quarzel._native: the functions beyond quarzel_core's published names.
// Each feature's bindings live in a file of their own and declare their
// functions here; native_module.cpp lists them.
#pragma once

#include "binding/pyref.hpp"

namespace quarzel::ext {

#define QUARZEL_EXT_ENTRY(name) \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

// The Unicode version of the character tables the native code carries.
QUARZEL_EXT_ENTRY(py_unicode_version);
QUARZEL_EXT_ENTRY(py_text_errors);

// CIF text from the object model or a parse_raw dict; name checks.
QUARZEL_EXT_ENTRY(py_write_cif);
QUARZEL_EXT_ENTRY(py_check_name);
// number(text): (value, su) of one CIF number; numbers(chunks, integers=False):
// a struct array (value, su, status[, int_value, int_su]) of string arrays.
QUARZEL_EXT_ENTRY(py_number);
QUARZEL_EXT_ENTRY(py_numbers);
// Many CIF files to a Parquet dataset per category (dataset_convert.cpp).
QUARZEL_EXT_ENTRY(py_dataset_convert);
// A part of a run typed by its values, as its table lays it out (dataset_settle.cpp).
QUARZEL_EXT_ENTRY(py_settle_part);
// Validation against dictionaries: rule sets (validate_rules.cpp) and
// checking a text (validate_run.cpp).
QUARZEL_EXT_ENTRY(py_compile_rules);
QUARZEL_EXT_ENTRY(py_compile_ddl2);
QUARZEL_EXT_ENTRY(py_rules_info);
QUARZEL_EXT_ENTRY(py_validate_text);
QUARZEL_EXT_ENTRY(py_validate_document);
// BinaryCIF: recognising it, reading it into the object model's parts, as
// typed tables or as parse_arrow's batches (bcif_read.cpp, bcif_tables.cpp),
// and writing it (bcif_write.cpp).
QUARZEL_EXT_ENTRY(py_bcif_is);
QUARZEL_EXT_ENTRY(py_bcif_read);
QUARZEL_EXT_ENTRY(py_bcif_tables);
QUARZEL_EXT_ENTRY(py_bcif_batches);
QUARZEL_EXT_ENTRY(py_write_bcif);
QUARZEL_EXT_ENTRY(py_name_spellings);
// Inputs of any size: chosen categories as tables (read_categories.cpp),
// one block at a time (block_reader.cpp).
QUARZEL_EXT_ENTRY(py_read_categories);
QUARZEL_EXT_ENTRY(py_open_blocks);
QUARZEL_EXT_ENTRY(py_next_block);
QUARZEL_EXT_ENTRY(py_rest_errors);
// An index of one input and reads of its byte ranges (index_file.cpp).
QUARZEL_EXT_ENTRY(py_index_build);
QUARZEL_EXT_ENTRY(py_index_read);
// The fast count of skipped words switched on or off (for tests).
QUARZEL_EXT_ENTRY(py_word_skim);

}  // namespace quarzel::ext
