// Walks the object model (CifFile, CifBlock, CifSaveFrame through their
// fields) or a parse_raw dict into the CIF writer. The document's structure
// (blocks, frames, the tag order, pdbx runs) is in write_walk.cpp; items,
// loops and values in write_values.cpp.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "binding/pyref.hpp"
#include "core/writer.hpp"

namespace quarzel::ext {

using py::PyRef;

// A Python error is set; unwinds to the entry point.
struct PyErrorSet {};

[[noreturn]] inline void raise_set() {
    throw PyErrorSet{};
}

enum class Kind { File, Block, Frame, Raw };

// One data block or save frame, by its fields.
struct FrameFields {
    PyRef name, tags, tag_order, loops, save_frames;
};

class Walker {
public:
    Walker(CifWriter& writer, bool pdbx) : w_(writer), pdbx_(pdbx) {}

    void document(PyObject* obj, Kind kind);

    // "block 'a', save frame 'b', tag '_c'" for messages.
    PyRef where() const;

private:
    [[noreturn]] void type_error(const char* message) {
        raise_with_where(PyExc_TypeError, message);
    }

public:
    [[noreturn]] void raise_with_where(PyObject* type, const char* message);

private:
    static PyRef attr(PyObject* obj, const char* name);
    PyRef item(PyObject* dict, const char* key);
    FrameFields fields(PyObject* obj, bool raw, bool is_block);
    void each_block(PyObject* blocks, bool raw);
    void block(PyObject* obj, bool raw);

    // The UTF-8 of a str: the str's own bytes when it is ASCII, otherwise
    // encoded into a scratch buffer (valid until the next call).
    std::string_view utf8(PyObject* s) {
        if (PyUnicode_IS_ASCII(s))
            return {static_cast<const char*>(PyUnicode_DATA(s)),
                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))};
        return encode(s, scratch_);
    }
    std::string_view utf8_key(PyObject* s) {
        if (PyUnicode_IS_ASCII(s))
            return {static_cast<const char*>(PyUnicode_DATA(s)),
                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))};
        return encode(s, key_scratch_);
    }

    std::string_view encode(PyObject* s, std::string& out);

    static std::string_view category(std::string_view tag) {
        const std::size_t dot = tag.find('.');
        return dot == std::string_view::npos ? std::string_view() : tag.substr(0, dot);
    }

    PyObject* values_of(PyObject* tags, PyObject* tag);
    void frame(const FrameFields& f);
    void items(PyObject* tags, PyObject* tag, std::size_t align);
    void write_loop(PyObject* tags, PyObject* loop);
    // The reader's recovery tag (`_quarzel_error_value`), which is not
    // written: it holds values that had no tag.
    static bool reserved(std::string_view tag);
    void other_loop_value(PyObject* v, PyObject* tag, std::size_t pad);
    void value_tree(PyObject* v);

    CifWriter& w_;
    bool pdbx_;
    std::string scratch_, key_scratch_;
    std::vector<PyRef> held_;  // value lists looked up for the frame being written

    // Where the writer is, for messages: held, as an error may surface
    // after the objects they came from were let go.
    struct Place {
        PyRef ref;
        Place& operator=(PyObject* p) {
            if (p != ref.get()) ref = PyRef::borrow(p);
            return *this;
        }
        PyObject* get() const { return ref.get(); }
    };
    Place block_name_, frame_name_, tag_;
};

}  // namespace quarzel::ext
