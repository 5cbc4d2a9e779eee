// Native constructors of the object model classes, for code that builds a
// whole document at once (parse_cif). Each takes over the references it is
// given and returns a new instance, or an empty PyRef with the error set.
#pragma once

#include <cstdint>
#include <string>

#include "binding/pyref.hpp"

namespace quarzel::py {

PyRef new_cif_save_frame(std::string name, std::uint64_t id, PyRef tags, PyRef tag_order,
                         PyRef loops);

PyRef new_cif_block(std::string name, std::uint64_t id, PyRef tags, PyRef tag_order, PyRef loops,
                    PyRef save_frames, PyRef save_frame_list);

PyRef new_cif_file(PyRef blocks, PyRef block_list, bool version_is_2_0);

// Stores `value` under `key` in the dict unless the key is present already,
// as the name indexes of files and blocks do: 0 stored, 1 present, -1 error.
int index_first(PyObject* dict, PyObject* key, PyObject* value);

}  // namespace quarzel::py
