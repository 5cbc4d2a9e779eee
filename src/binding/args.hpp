// Binding of call arguments (vectorcall with keywords) with the messages a
// function defined with `def` gives, and the argument TypeErrors.
#pragma once

#include "binding/pyref.hpp"

#include <initializer_list>
#include <string_view>

namespace quarzel::py {

struct Signature {
    const char* name;  // as shown in messages: "parse_raw" or "CifBlock.get_all"
    std::initializer_list<const char*> params;
    int required;            // leading parameters without a default
    bool is_method = false;  // messages count `self` like a def method does
};

// Fills out[0 .. params.size()) with borrowed references (NULL for an
// omitted optional parameter). Returns false with TypeError set.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** out);

// "argument '{param}': '{type}' object is not an instance of '{expected}'"
// (for None: "argument '{param}': 'None' is not an instance of '{expected}'").
// Always returns nullptr.
std::nullptr_t argument_type_error(const char* param, PyObject* actual, const char* expected);

// The name Python shows for an object's type (its __name__).
const char* type_name(PyObject* obj);

// "'{type}' object is not an instance of '{expected}'", for fields of the
// wrong type; None reads 'NoneType' here like any other object.
std::nullptr_t type_error(PyObject* actual, const char* expected);

// UTF-8 view of a str argument, or nullopt-like failure: returns false with
// TypeError (wrong type) or UnicodeEncodeError (lone surrogate) set.
bool str_argument(const char* param, PyObject* obj, std::string_view& out);

// `mode` may be None/omitted (out stays empty, present=false) or a str.
bool optional_str_argument(const char* param, PyObject* obj, std::string_view& out, bool& present);

// The `mode` argument of the entry points that build a document: None,
// omitted or any str is accepted, and only exactly "strict" sets `strict`.
// Anything else raises TypeError naming `param`; returns false then.
bool strict_mode_argument(const char* param, PyObject* mode, bool& strict);

// `(source, mode)` of parse_raw, parse_cif and parse_arrow: binds the call,
// checks both types (source first), then takes the UTF-8 view of `source`
// (UnicodeEncodeError for a lone surrogate). False with the error set.
bool source_and_mode(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::string_view& source, bool& strict);

}  // namespace quarzel::py
