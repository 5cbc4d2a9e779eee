// write_cif(obj, kind, version, pdbx, line_limit) and check_name(name, kind):
// the binding of the CIF writer. It walks the object model (CifFile,
// CifBlock, CifSaveFrame through their fields) or a parse_raw dict and hands
// the core views of each str's UTF-8; the text grows inside the one str
// it becomes.
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/common.hpp"
#include "core/writer.hpp"
#include "ext/entry_points.hpp"

namespace quarzel::ext {
namespace {

using py::PyRef;

// A Python error is set; unwinds to the entry point.
struct PyErrorSet {};

[[noreturn]] void raise_set() {
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

    void document(PyObject* obj, Kind kind) {
        w_.begin_document();
        switch (kind) {
            case Kind::File: {
                PyRef blocks = attr(obj, "_block_list");
                each_block(blocks.get(), false);
                break;
            }
            case Kind::Raw: {
                if (!PyDict_Check(obj)) type_error("a parse_raw result must be a dict");
                PyRef blocks = item(obj, "blocks");
                each_block(blocks.get(), true);
                break;
            }
            case Kind::Block:
                block(obj, false);
                break;
            case Kind::Frame: {
                FrameFields f = fields(obj, false, false);
                block_name_ = nullptr;
                frame_name_ = f.name.get();
                w_.save_frame(utf8(f.name.get()));
                frame(f);
                w_.end_save_frame();
                frame_name_ = nullptr;
                break;
            }
        }
        w_.finish();
    }

    // "block 'a', save frame 'b', tag '_c'" for messages.
    PyRef where() const {
        PyRef parts = PyRef::steal(PyList_New(0));
        if (!parts) return {};
        auto add = [&](const char* what, PyObject* name) {
            if (name == nullptr) return true;
            PyRef part = PyRef::steal(PyUnicode_FromFormat("%s %R", what, name));
            return part && PyList_Append(parts.get(), part.get()) == 0;
        };
        if (!add("block", block_name_.get()) || !add("save frame", frame_name_.get()) ||
            !add("tag", tag_.get()))
            return {};
        PyRef sep = PyRef::steal(PyUnicode_FromString(", "));
        if (!sep) return {};
        return PyRef::steal(PyUnicode_Join(sep.get(), parts.get()));
    }

private:
    [[noreturn]] void type_error(const char* message) {
        raise_with_where(PyExc_TypeError, message);
    }

public:
    [[noreturn]] void raise_with_where(PyObject* type, const char* message) {
        PyRef place = where();
        if (!place) raise_set();
        if (PyUnicode_GET_LENGTH(place.get()) == 0)
            PyErr_SetString(type, message);
        else
            PyErr_Format(type, "%U: %s", place.get(), message);
        raise_set();
    }

private:
    static PyRef attr(PyObject* obj, const char* name) {
        PyRef r = PyRef::steal(PyObject_GetAttrString(obj, name));
        if (!r) raise_set();
        return r;
    }

    PyRef item(PyObject* dict, const char* key) {
        PyObject* found = nullptr;
        const int got = PyDict_GetItemStringRef(dict, key, &found);
        if (got < 0) raise_set();
        if (got == 0) {
            const std::string message = std::string("missing key '") + key + "'";
            raise_with_where(PyExc_ValueError, message.c_str());
        }
        return PyRef::steal(found);
    }

    FrameFields fields(PyObject* obj, bool raw, bool is_block) {
        FrameFields f;
        if (raw) {
            if (!PyDict_Check(obj))
                type_error("a block or save frame of a parse_raw result must be a dict");
            f.name = item(obj, "name");
            f.tags = item(obj, "tags");
            f.tag_order = item(obj, "tag_order");
            f.loops = item(obj, "loops");
            if (is_block) f.save_frames = item(obj, "save_frames");
        } else {
            f.name = attr(obj, "name");
            f.tags = attr(obj, "_tags");
            f.tag_order = attr(obj, "_tag_order");
            f.loops = attr(obj, "_loops");
            if (is_block) f.save_frames = attr(obj, "_save_frame_list");
        }
        if (!PyUnicode_Check(f.name.get())) type_error("a name must be a str");
        return f;
    }

    void each_block(PyObject* blocks, bool raw) {
        if (!PyList_Check(blocks)) type_error("the blocks must be a list");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(blocks); ++i)
            block(PyList_GET_ITEM(blocks, i), raw);
    }

    void block(PyObject* obj, bool raw) {
        FrameFields f = fields(obj, raw, true);
        block_name_ = f.name.get();
        w_.data_block(utf8(f.name.get()));
        frame(f);
        PyObject* frames = f.save_frames.get();
        if (!PyList_Check(frames)) type_error("the save frames must be a list");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(frames); ++i) {
            FrameFields sf = fields(PyList_GET_ITEM(frames, i), raw, false);
            frame_name_ = sf.name.get();
            w_.save_frame(utf8(sf.name.get()));
            frame(sf);
            w_.end_save_frame();
            frame_name_ = nullptr;
        }
        block_name_ = nullptr;
    }

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

    std::string_view encode(PyObject* s, std::string& out) {
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
                    raise_with_where(PyExc_ValueError,
                                     "a lone surrogate character cannot be written");
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

    static std::string_view category(std::string_view tag) {
        const std::size_t dot = tag.find('.');
        return dot == std::string_view::npos ? std::string_view() : tag.substr(0, dot);
    }

    PyObject* values_of(PyObject* tags, PyObject* tag) {
        PyObject* found = nullptr;
        const int got = PyDict_GetItemRef(tags, tag, &found);
        if (got < 0) raise_set();
        if (got == 0) raise_with_where(PyExc_ValueError, "the tag has no entry in the tags");
        held_.emplace_back(PyRef::steal(found));
        if (!PyList_Check(found)) type_error("a tag's values must be a list");
        return found;
    }

    void frame(const FrameFields& f) {
        PyObject* tags = f.tags.get();
        PyObject* order = f.tag_order.get();
        PyObject* loops = f.loops.get();
        if (!PyDict_Check(tags)) type_error("the tags must be a dict");
        if (!PyList_Check(order)) type_error("the tag order must be a list");
        if (!PyList_Check(loops)) type_error("the loops must be a list");
        held_.clear();
        // Each looped tag belongs to the last loop that lists it (a later
        // loop replaces an earlier one's values when read).
        std::unordered_map<std::string, Py_ssize_t> owner;
        const Py_ssize_t nloops = PyList_GET_SIZE(loops);
        for (Py_ssize_t l = 0; l < nloops; ++l) {
            PyObject* loop = PyList_GET_ITEM(loops, l);
            if (!PyList_Check(loop)) type_error("a loop must be a list of tags");
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(loop); ++j) {
                PyObject* tag = PyList_GET_ITEM(loop, j);
                if (!PyUnicode_Check(tag)) type_error("a loop's tags must be str");
                owner[std::string(utf8(tag))] = l;
            }
        }
        std::vector<bool> loop_done(static_cast<std::size_t>(nloops), false);
        std::unordered_set<std::string> seen;
        const Py_ssize_t n = PyList_GET_SIZE(order);
        if (pdbx_) w_.comment_line();
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* tag = PyList_GET_ITEM(order, i);
            if (!PyUnicode_Check(tag)) type_error("the tag order must hold str");
            std::string name(utf8(tag));
            if (!seen.insert(name).second) continue;
            auto it = owner.find(name);
            if (it != owner.end()) {
                if (!loop_done[static_cast<std::size_t>(it->second)]) {
                    loop_done[static_cast<std::size_t>(it->second)] = true;
                    write_loop(tags, PyList_GET_ITEM(loops, it->second), it->second, owner, seen);
                    if (pdbx_) w_.comment_line();
                }
                continue;
            }
            // A run of name-value pairs of one category (pdbx: aligned,
            // closed by a `#` line).
            std::size_t align = 0;
            Py_ssize_t end = i + 1;
            if (pdbx_) {
                const std::string_view cat = category(name);
                align = PyUnicode_GET_LENGTH(tag);
                for (; end < n; ++end) {
                    PyObject* next = PyList_GET_ITEM(order, end);
                    if (!PyUnicode_Check(next)) break;
                    std::string_view nn = utf8(next);
                    if (category(nn) != cat || owner.count(std::string(nn)) != 0) break;
                    align = std::max<std::size_t>(align, PyUnicode_GET_LENGTH(next));
                }
            }
            for (Py_ssize_t k = i; k < end; ++k) {
                PyObject* t = PyList_GET_ITEM(order, k);
                if (k != i && !seen.insert(std::string(utf8(t))).second) continue;
                items(tags, t, align);
            }
            i = end - 1;
            if (pdbx_) w_.comment_line();
        }
        for (Py_ssize_t l = 0; l < nloops; ++l) {
            if (loop_done[static_cast<std::size_t>(l)]) continue;
            write_loop(tags, PyList_GET_ITEM(loops, l), l, owner, seen);
            if (pdbx_) w_.comment_line();
        }
        if (PyDict_GET_SIZE(tags) > static_cast<Py_ssize_t>(seen.size())) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(tags, &pos, &key, &value)) {
                if (!PyUnicode_Check(key)) type_error("the tags' keys must be str");
                if (seen.count(std::string(utf8(key))) == 0) {
                    tag_ = key;
                    raise_with_where(PyExc_ValueError,
                                     "the tag is not in the tag order (it would be lost)");
                }
            }
        }
        tag_ = nullptr;
        held_.clear();
    }

    void items(PyObject* tags, PyObject* tag, std::size_t align) {
        tag_ = tag;
        PyObject* values = values_of(tags, tag);
        const Py_ssize_t n = PyList_GET_SIZE(values);
        if (n == 0) raise_with_where(PyExc_ValueError, "the tag has no value");
        std::string name(utf8(tag));
        for (Py_ssize_t k = 0; k < n; ++k) {
            w_.item(name, align);
            value_tree(PyList_GET_ITEM(values, k));
        }
        tag_ = nullptr;
    }

    void write_loop(PyObject* tags, PyObject* loop, Py_ssize_t index,
                    const std::unordered_map<std::string, Py_ssize_t>& owner,
                    std::unordered_set<std::string>& seen) {
        // The loop's own tags (header order, repeats kept) and each one's
        // column and how often it repeats.
        std::vector<PyObject*> header;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(loop); ++j) {
            PyObject* tag = PyList_GET_ITEM(loop, j);
            if (owner.at(std::string(utf8(tag))) == index) header.push_back(tag);
        }
        if (header.empty()) return;
        struct Col {
            PyObject* values;
            Py_ssize_t repeat, occurrence;
        };
        std::vector<Col> cols;
        std::unordered_map<std::string, std::size_t> first_at;
        for (std::size_t j = 0; j < header.size(); ++j) {
            std::string name(utf8(header[j]));
            auto [it, fresh] = first_at.emplace(name, j);
            if (fresh) {
                tag_ = header[j];
                cols.push_back({values_of(tags, header[j]), 1, 0});
                seen.insert(name);
            } else {
                cols.push_back({cols[it->second].values, 0, ++cols[it->second].repeat - 1});
            }
        }
        for (std::size_t j = 0; j < cols.size(); ++j)
            if (cols[j].repeat == 0)
                cols[j].repeat = cols[first_at[std::string(utf8(header[j]))]].repeat;
        Py_ssize_t rows = -1;
        for (std::size_t j = 0; j < cols.size(); ++j) {
            const Py_ssize_t len = PyList_GET_SIZE(cols[j].values);
            tag_ = header[j];
            if (len % cols[j].repeat != 0)
                raise_with_where(PyExc_ValueError,
                                 "a tag listed more than once in a loop needs a multiple of that "
                                 "many values");
            if (rows >= 0 && len / cols[j].repeat != rows) {
                PyErr_Format(PyExc_ValueError,
                             "%U: the loop's columns differ in length (%zd and %zd values)",
                             where().get(), rows, len / cols[j].repeat);
                raise_set();
            }
            rows = len / cols[j].repeat;
        }
        tag_ = header[0];
        w_.begin_loop();
        for (PyObject* tag : header) {
            tag_ = tag;
            w_.loop_tag(utf8(tag));
        }
        // Column widths for alignment (pdbx): values on the row's line only.
        std::vector<std::size_t> pad(cols.size(), 0);
        if (pdbx_) {
            for (std::size_t j = 0; j + 1 < cols.size(); ++j) {
                tag_ = header[j];
                std::size_t width = 0;
                PyObject* last = nullptr;  // a value repeated down the column
                for (Py_ssize_t r = 0; r < rows; ++r) {
                    PyObject* v =
                        PyList_GET_ITEM(cols[j].values, r * cols[j].repeat + cols[j].occurrence);
                    if (v == last) continue;
                    last = v;
                    if (PyUnicode_Check(v)) width = std::max(width, w_.row_width(utf8(v)));
                }
                pad[j] = width;
            }
        }
        const std::size_t ncols = cols.size();
        bool simple = true;
        for (const Col& c : cols) simple = simple && c.repeat == 1;
        std::size_t j = 0;
        try {
            if (simple) {
                // The common case, kept tight: each column's item array,
                // ASCII str values read in place.
                std::vector<PyObject**> items(ncols);
                for (std::size_t k = 0; k < ncols; ++k)
                    items[k] = reinterpret_cast<PyListObject*>(cols[k].values)->ob_item;
                const std::size_t* pads = pdbx_ ? pad.data() : nullptr;
                // Rows a block at a time: the views of a block gathered
                // column by column (each column's objects tend to lie
                // together in memory), then written row by row.
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
                                        ? std::string_view(
                                              reinterpret_cast<const char*>(
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
                        // Plain bare words in one pass; others (and words
                        // that need a closer look) one by one.
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
            } else {
                for (Py_ssize_t r = 0; r < rows; ++r) {
                    w_.begin_row();
                    for (j = 0; j < ncols; ++j) {
                        const Col& c = cols[j];
                        other_loop_value(PyList_GET_ITEM(c.values, r * c.repeat + c.occurrence),
                                         header[j], pad[j]);
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

    void other_loop_value(PyObject* v, PyObject* tag, std::size_t pad) {
        tag_ = tag;
        if (PyUnicode_Check(v))
            w_.loop_value(utf8(v), pad);
        else
            value_tree(v);
    }

    void value_tree(PyObject* v) {
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

// The text grows inside a str made for it (an ASCII str, resized as it
// grows and to its length at the end), so that it is never held twice.
// Large texts get a mapping of their own from the start, which the system
// can enlarge without copying and back with huge pages.
class StrOut final : public TextOut {
public:
    explicit StrOut(std::size_t expected) : expected_(expected) {}
    ~StrOut() override { Py_XDECREF(str_); }

    void restart() { size_ = 0; }

    // The text as a str (the one written into when it is ASCII).
    PyObject* finish(bool ascii) {
        if (str_ == nullptr) return PyUnicode_New(0, 127);
        if (!ascii)
            return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data_),
                                        static_cast<Py_ssize_t>(size_), "strict");
        if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(size_)) < 0) return nullptr;
        return std::exchange(str_, nullptr);
    }

private:
    // Large texts: beyond glibc's largest mmap threshold, a mapping of their
    // own, which grows without copying, with huge pages (one fault per 2 MiB;
    // the last, partly used page adds little). Smaller ones come from the
    // heap, whose memory is often at hand already.
    static constexpr std::size_t kLarge = std::size_t{16} << 20;
    static constexpr std::size_t kMapped = (std::size_t{32} << 20) + 4096;

    void grow(std::size_t more) override {
        std::size_t capacity = std::max({more + size_, capacity_ * 2, std::size_t{1} << 16});
        if (str_ == nullptr) {
            // Room to spare costs address space only (pages are used when
            // written): growing later might copy the text.
            capacity = std::max(capacity, expected_ + expected_ / 4 + 4096);
            if (capacity >= kLarge) capacity = std::max(capacity, kMapped);
            str_ = PyUnicode_New(static_cast<Py_ssize_t>(capacity), 127);
            if (str_ == nullptr) raise_set();
        } else {
            if (capacity >= kLarge) capacity = std::max(capacity, kMapped);
            if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(capacity)) < 0) raise_set();
        }
        data_ = static_cast<unsigned char*>(PyUnicode_DATA(str_));
        capacity_ = capacity;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (capacity >= kLarge) {
            constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
            const auto begin = (reinterpret_cast<std::uintptr_t>(data_) + kHuge - 1) & ~(kHuge - 1);
            const auto end = (reinterpret_cast<std::uintptr_t>(data_) + capacity) & ~(kHuge - 1);
            if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
        }
#endif
    }

    std::size_t expected_;
    PyObject* str_ = nullptr;
};

// A guess of the text's size from three values of each tag, without a look
// at every value. Anything unexpected is left to the writer to report.
std::size_t sample_width(PyObject* v) {
    return PyUnicode_Check(v) ? static_cast<std::size_t>(PyUnicode_GET_LENGTH(v)) + 1 : 8;
}

std::size_t expected_tags(PyObject* tags) {
    if (tags == nullptr || !PyDict_Check(tags)) return 0;
    std::size_t total = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *values;
    while (PyDict_Next(tags, &pos, &key, &values)) {
        if (PyUnicode_Check(key)) total += static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)) + 2;
        if (!PyList_Check(values)) continue;
        const Py_ssize_t n = PyList_GET_SIZE(values);
        if (n == 0) continue;
        const std::size_t sum = sample_width(PyList_GET_ITEM(values, 0)) +
                                sample_width(PyList_GET_ITEM(values, n / 2)) +
                                sample_width(PyList_GET_ITEM(values, n - 1));
        total += static_cast<std::size_t>(n) * sum / 3;
    }
    return total;
}

PyObject* field(PyObject* obj, const char* attr, const char* key, PyRef& keep) {
    if (PyDict_Check(obj)) {
        PyObject* found = nullptr;
        if (PyDict_GetItemStringRef(obj, key, &found) < 0) PyErr_Clear();
        keep = PyRef::steal(found);
    } else {
        keep = PyRef::steal(PyObject_GetAttrString(obj, attr));
        if (!keep) PyErr_Clear();
    }
    return keep.get();
}

std::size_t expected_frame(PyObject* frame, bool block) {
    PyRef tags, frames;
    std::size_t total = expected_tags(field(frame, "_tags", "tags", tags));
    if (!block) return total;
    PyObject* list = field(frame, "_save_frame_list", "save_frames", frames);
    if (list != nullptr && PyList_Check(list))
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
            total += expected_frame(PyList_GET_ITEM(list, i), false);
    return total;
}

std::size_t expected_size(PyObject* obj, Kind kind) {
    if (kind == Kind::Block) return expected_frame(obj, true);
    if (kind == Kind::Frame) return expected_frame(obj, false);
    PyRef blocks;
    PyObject* list = field(obj, "_block_list", "blocks", blocks);
    std::size_t total = 0;
    if (list != nullptr && PyList_Check(list))
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
            total += expected_frame(PyList_GET_ITEM(list, i), true);
    return total;
}

bool parse_kind(PyObject* obj, Kind& kind) {
    if (!PyUnicode_Check(obj)) {
        py::argument_type_error("kind", obj, "str");
        return false;
    }
    static constexpr std::pair<const char*, Kind> kKinds[] = {
        {"file", Kind::File}, {"block", Kind::Block}, {"frame", Kind::Frame}, {"raw", Kind::Raw}};
    for (const auto& [name, k] : kKinds) {
        if (PyUnicode_EqualToUTF8(obj, name)) {
            kind = k;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown kind %R", obj);
    return false;
}

}  // namespace

QUARZEL_EXT_ENTRY(py_write_cif) {
    (void)self;
    static const py::Signature sig{
        "write_cif", {"obj", "kind", "version", "pdbx", "line_limit"}, 5};
    PyObject* a[5];
    if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
    Kind kind;
    if (!parse_kind(a[1], kind)) return nullptr;
    WriteOptions options;
    if (a[2] == Py_None) {
        options.may_upgrade = true;
    } else if (PyUnicode_Check(a[2]) && PyUnicode_EqualToUTF8(a[2], "2.0")) {
        options.version = CifVersion::Cif20;
    } else if (!(PyUnicode_Check(a[2]) && PyUnicode_EqualToUTF8(a[2], "1.1"))) {
        PyErr_Format(PyExc_ValueError, "version must be None, '1.1' or '2.0', not %R", a[2]);
        return nullptr;
    }
    const int pdbx = PyObject_IsTrue(a[3]);
    if (pdbx < 0) return nullptr;
    options.style = pdbx ? WriteStyle::Pdbx : WriteStyle::Plain;
    const Py_ssize_t limit = PyLong_AsSsize_t(a[4]);
    if (limit == -1 && PyErr_Occurred()) return nullptr;
    if (limit < static_cast<Py_ssize_t>(kMinLineLimit)) {
        PyErr_Format(PyExc_ValueError, "line_limit must be at least %zu", kMinLineLimit);
        return nullptr;
    }
    options.line_limit = static_cast<std::size_t>(limit);
    PyObject* obj = a[0];
    return py::guarded([&]() -> PyObject* {
        const std::size_t expected = expected_size(obj, kind);
        StrOut out(pdbx ? expected + expected / 4 : expected);  // aligned columns
        CifWriter writer(options, &out);
        for (;;) {
            Walker walker(writer, pdbx != 0);
            try {
                walker.document(obj, kind);
                return out.finish(writer.ascii());
            } catch (const PyErrorSet&) {
                return nullptr;
            } catch (const NeedsCif2&) {
                // Written as CIF 1.1 until something needed CIF 2.0: again.
                options.version = CifVersion::Cif20;
                options.may_upgrade = false;
                out.restart();
                writer.reset(options);
            } catch (const WriteError& e) {
                try {
                    walker.raise_with_where(PyExc_ValueError, e.what());
                } catch (const PyErrorSet&) {
                }
                return nullptr;
            }
        }
    });
}

QUARZEL_EXT_ENTRY(py_check_name) {
    (void)self;
    static const py::Signature sig{"check_name", {"name", "kind"}, 2};
    PyObject* a[2];
    if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view name, kind;
    if (!py::str_argument("name", a[0], name) || !py::str_argument("kind", a[1], kind))
        return nullptr;
    NameKind k;
    if (kind == "block") {
        k = NameKind::Block;
    } else if (kind == "frame") {
        k = NameKind::SaveFrame;
    } else if (kind == "tag") {
        k = NameKind::Tag;
    } else {
        PyErr_Format(PyExc_ValueError, "unknown kind %R", a[1]);
        return nullptr;
    }
    return py::guarded([&]() -> PyObject* {
        try {
            check_name(name, k);
        } catch (const WriteError& e) {
            PyErr_Format(PyExc_ValueError, "%R: %s", a[0], e.what());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

}  // namespace quarzel::ext
