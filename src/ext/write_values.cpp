// The values of a frame: name-value items, loops (their rows a block at a
// time through the writer's fast path), and lists and tables.
#include "ext/write_walker.hpp"

#include <algorithm>
#include <cstddef>

namespace quarzel::ext {

std::string_view Walker::encode(PyObject* s, std::string& out) {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    out.clear();
    out.reserve(static_cast<std::size_t>(n) * (kind == PyUnicode_1BYTE_KIND ? 2 : 4));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF)
                raise_with_where(PyExc_ValueError, "a lone surrogate character cannot be written");
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

PyObject* Walker::values_of(PyObject* tags, PyObject* tag) {
    PyObject* found = nullptr;
    const int got = PyDict_GetItemRef(tags, tag, &found);
    if (got < 0) raise_set();
    if (got == 0) raise_with_where(PyExc_ValueError, "the tag has no entry in the tags");
    held_.emplace_back(PyRef::steal(found));
    if (!PyList_Check(found)) type_error("a tag's values must be a list");
    return found;
}

void Walker::items(PyObject* tags, PyObject* tag, std::size_t align) {
    tag_ = tag;
    PyObject* values = values_of(tags, tag);
    const Py_ssize_t n = PyList_GET_SIZE(values);
    if (n == 0) raise_with_where(PyExc_ValueError, "the tag has no value");
    if (n > 1) {
        PyErr_Format(PyExc_ValueError,
                     "%U: the tag has %zd values outside a loop (a tag is given once)",
                     where().get(), n);
        raise_set();
    }
    w_.item(utf8(tag), align);
    value_tree(PyList_GET_ITEM(values, 0));
    tag_ = nullptr;
}

void Walker::write_loop(PyObject* tags, PyObject* loop) {
    // The loop's tags (the recovery tag left out), each with its column.
    std::vector<PyObject*> header, columns;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(loop); ++j) {
        PyObject* tag = PyList_GET_ITEM(loop, j);
        if (reserved(utf8(tag))) continue;
        tag_ = tag;
        header.push_back(tag);
        columns.push_back(values_of(tags, tag));
    }
    if (header.empty()) return;
    const std::size_t ncols = header.size();
    const Py_ssize_t rows = PyList_GET_SIZE(columns[0]);
    for (std::size_t j = 1; j < ncols; ++j) {
        if (PyList_GET_SIZE(columns[j]) != rows) {
            tag_ = header[j];
            PyErr_Format(PyExc_ValueError,
                         "%U: the loop's columns differ in length (%zd and %zd values)",
                         where().get(), rows, PyList_GET_SIZE(columns[j]));
            raise_set();
        }
    }
    tag_ = header[0];
    if (rows == 0)
        raise_with_where(PyExc_ValueError, "the loop has no values (a loop needs at least one row)");
    w_.begin_loop();
    for (PyObject* tag : header) {
        tag_ = tag;
        w_.loop_tag(utf8(tag));
    }
    // Column widths for alignment (pdbx): values on the row's line only.
    std::vector<std::size_t> pad(ncols, 0);
    if (pdbx_) {
        for (std::size_t j = 0; j + 1 < ncols; ++j) {
            tag_ = header[j];
            std::size_t width = 0;
            PyObject* last = nullptr;  // a value repeated down the column
            for (Py_ssize_t r = 0; r < rows; ++r) {
                PyObject* v = PyList_GET_ITEM(columns[j], r);
                if (v == last) continue;
                last = v;
                if (PyUnicode_Check(v)) width = std::max(width, w_.row_width(utf8(v)));
            }
            pad[j] = width;
        }
    }
    std::size_t j = 0;
    try {
        // Each column's item array, ASCII str values read in place.
        std::vector<PyObject**> items(ncols);
        for (std::size_t k = 0; k < ncols; ++k)
            items[k] = reinterpret_cast<PyListObject*>(columns[k])->ob_item;
        const std::size_t* pads = pdbx_ ? pad.data() : nullptr;
        // Rows a block at a time: the views of a block gathered column by
        // column (each column's objects tend to lie together in memory),
        // then written row by row.
        constexpr Py_ssize_t kBlock = 128;
        std::vector<std::string_view> block(static_cast<std::size_t>(kBlock) * ncols);
        std::vector<const void*> ids(block.size());
        for (Py_ssize_t r0 = 0; r0 < rows; r0 += kBlock) {
            const Py_ssize_t r1 = std::min(rows, r0 + kBlock);
            for (std::size_t k = 0; k < ncols; ++k) {
                PyObject** column = items[k];
                std::string_view* out = block.data() + k;
                const void** id = ids.data() + k;
                PyObject* last = nullptr;  // a value repeated down a column
                std::string_view last_view;
                for (Py_ssize_t r = r0; r < r1; ++r, out += ncols, id += ncols) {
                    PyObject* v = column[r];
                    *id = v;
                    if (v != last) {
                        last = v;
                        last_view =
                            Py_IS_TYPE(v, &PyUnicode_Type) && PyUnicode_IS_COMPACT_ASCII(v)
                                ? std::string_view(reinterpret_cast<const char*>(
                                                       reinterpret_cast<PyASCIIObject*>(v) + 1),
                                                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(v)))
                                : std::string_view();
                    }
                    *out = last_view;
                }
            }
            for (Py_ssize_t r = r0; r < r1; ++r) {
                const std::size_t at = static_cast<std::size_t>(r - r0) * ncols;
                const std::string_view* row = block.data() + at;
                const void* const* row_ids = ids.data() + at;
                w_.begin_row();
                // Plain bare words in one pass; others (and words that need
                // a closer look) one by one.
                for (j = 0; j < ncols;) {
                    j += w_.plain_row_values(row + j, pads ? pads + j : nullptr, ncols - j,
                                             row_ids + j, j);
                    if (j == ncols) break;
                    if (row[j].data() != nullptr)
                        w_.loop_value(row[j], pad[j]);
                    else
                        other_loop_value(items[j][r], header[j], pad[j]);
                    ++j;
                }
            }
        }
    } catch (const WriteError&) {
        tag_ = header[j];
        throw;
    }
    w_.end_loop();
    tag_ = nullptr;
}

void Walker::other_loop_value(PyObject* v, PyObject* tag, std::size_t pad) {
    tag_ = tag;
    if (PyUnicode_Check(v))
        w_.loop_value(utf8(v), pad);
    else
        value_tree(v);
}

void Walker::value_tree(PyObject* v) {
    if (PyUnicode_Check(v)) {
        w_.value(utf8(v));
        return;
    }
    struct Open {
        PyObject* obj;
        Py_ssize_t pos;
        bool table;
    };
    std::vector<Open> stack;
    std::unordered_set<PyObject*> on_path;
    auto open = [&](PyObject* c) {
        if (PyList_Check(c)) {
            w_.begin_list();
            stack.push_back({c, 0, false});
        } else if (PyDict_Check(c)) {
            w_.begin_table();
            stack.push_back({c, 0, true});
        } else {
            PyErr_Format(PyExc_TypeError, "%U: a value must be a str, list or dict, not '%s'",
                         where().get(), Py_TYPE(c)->tp_name);
            raise_set();
        }
        if (!on_path.insert(c).second)
            raise_with_where(PyExc_ValueError, "a list or table contains itself");
    };
    open(v);
    while (!stack.empty()) {
        Open& top = stack.back();
        PyObject* child;
        if (!top.table) {
            if (top.pos >= PyList_GET_SIZE(top.obj)) {
                w_.end_list();
                on_path.erase(top.obj);
                stack.pop_back();
                continue;
            }
            child = PyList_GET_ITEM(top.obj, top.pos++);
        } else {
            PyObject* key;
            if (!PyDict_Next(top.obj, &top.pos, &key, &child)) {
                w_.end_table();
                on_path.erase(top.obj);
                stack.pop_back();
                continue;
            }
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%U: a table key must be a str, not '%s'",
                             where().get(), Py_TYPE(key)->tp_name);
                raise_set();
            }
            w_.key(utf8_key(key));
        }
        if (PyUnicode_Check(child))
            w_.value(utf8(child));
        else
            open(child);
    }
}

}  // namespace quarzel::ext
