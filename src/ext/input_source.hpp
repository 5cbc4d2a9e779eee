// The input of the readers of any size (read_categories, iter_blocks,
// index): a file by path (plain, or gzip, bzip2 or xz as a stream) or a
// str of CIF text, as a byte-source opener; and the Python exceptions for
// inputs that cannot be read.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "binding/pyref.hpp"
#include "core/byte_source.hpp"
#include "core/document_reader.hpp"

namespace quarzel::ext {

struct InputArgument {
    bool is_path = false;
    std::string path;      // the path as the file system spells it
    py::PyRef text_owner;  // the str whose UTF-8 `text` views
    std::string_view text;

    // Opens the input (again); callable without the GIL.
    DocumentReader::Opener opener() const;
};

// `source` (a str) as a path when `is_path` is true, else as CIF text.
// False with the Python error set.
bool input_argument(PyObject* source, PyObject* is_path, InputArgument& out);

// Raises OSError for `e`: with its errno and the file name for a failure of
// the system; with only the reason (errno None) for a damaged stream.
// Returns nullptr.
std::nullptr_t raise_input_error(const InputError& e, const InputArgument& input);

// A list of str (or None: nullopt-like `present` false). False with the
// error set.
bool str_list_argument(const char* param, PyObject* obj, std::vector<std::string>& out,
                       bool& present);

}  // namespace quarzel::ext
