// The document walk: blocks and save frames by their fields, each frame
// in its tag order, loops where their first tag stands, pdbx runs.
#include "ext/write_walker.hpp"

#include <algorithm>
#include <cstddef>

namespace quarzel::ext {

void Walker::document(PyObject* obj, Kind kind) {
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
            // A save frame stands only inside a data block: one named after
            // the frame (a frame does not know its block).
            FrameFields f = fields(obj, false, false);
            block_name_ = f.name.get();
            w_.data_block(utf8(f.name.get()));
            frame_name_ = f.name.get();
            w_.save_frame(utf8(f.name.get()));
            frame(f);
            w_.end_save_frame();
            frame_name_ = nullptr;
            block_name_ = nullptr;
            break;
        }
    }
    w_.finish();
}

PyRef Walker::where() const {
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

void Walker::raise_with_where(PyObject* type, const char* message) {
    PyRef place = where();
    if (!place) raise_set();
    if (PyUnicode_GET_LENGTH(place.get()) == 0)
        PyErr_SetString(type, message);
    else
        PyErr_Format(type, "%U: %s", place.get(), message);
    raise_set();
}

PyRef Walker::attr(PyObject* obj, const char* name) {
    PyRef r = PyRef::steal(PyObject_GetAttrString(obj, name));
    if (!r) raise_set();
    return r;
}

PyRef Walker::item(PyObject* dict, const char* key) {
    PyObject* found = nullptr;
    const int got = PyDict_GetItemStringRef(dict, key, &found);
    if (got < 0) raise_set();
    if (got == 0) {
        const std::string message = std::string("missing key '") + key + "'";
        raise_with_where(PyExc_ValueError, message.c_str());
    }
    return PyRef::steal(found);
}

FrameFields Walker::fields(PyObject* obj, bool raw, bool is_block) {
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

void Walker::each_block(PyObject* blocks, bool raw) {
    if (!PyList_Check(blocks)) type_error("the blocks must be a list");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(blocks); ++i) block(PyList_GET_ITEM(blocks, i), raw);
}

void Walker::block(PyObject* obj, bool raw) {
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

bool Walker::reserved(std::string_view tag) {
    static constexpr std::string_view kRecovery = "_quarzel_error_value";
    if (tag.size() != kRecovery.size()) return false;
    for (std::size_t i = 0; i < tag.size(); ++i) {
        const char c = tag[i] >= 'A' && tag[i] <= 'Z' ? static_cast<char>(tag[i] + 32) : tag[i];
        if (c != kRecovery[i]) return false;
    }
    return true;
}

void Walker::frame(const FrameFields& f) {
    PyObject* tags = f.tags.get();
    PyObject* order = f.tag_order.get();
    PyObject* loops = f.loops.get();
    if (!PyDict_Check(tags)) type_error("the tags must be a dict");
    if (!PyList_Check(order)) type_error("the tag order must be a list");
    if (!PyList_Check(loops)) type_error("the loops must be a list");
    held_.clear();
    // Each tag stands once: in one loop, once in its header, and once in
    // the tag order. (The reader's recovery tag is left out: it holds
    // values that had no tag, not data.)
    std::unordered_map<std::string, Py_ssize_t> owner;
    const Py_ssize_t nloops = PyList_GET_SIZE(loops);
    for (Py_ssize_t l = 0; l < nloops; ++l) {
        PyObject* loop = PyList_GET_ITEM(loops, l);
        if (!PyList_Check(loop)) type_error("a loop must be a list of tags");
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(loop); ++j) {
            PyObject* tag = PyList_GET_ITEM(loop, j);
            if (!PyUnicode_Check(tag)) type_error("a loop's tags must be str");
            std::string name(utf8(tag));
            if (reserved(name)) continue;
            auto [it, fresh] = owner.emplace(std::move(name), l);
            if (!fresh) {
                tag_ = tag;
                raise_with_where(PyExc_ValueError, it->second == l
                                                       ? "the tag is listed twice in a loop"
                                                       : "the tag is in two loops");
            }
        }
    }
    const Py_ssize_t n = PyList_GET_SIZE(order);
    std::unordered_set<std::string> listed;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* tag = PyList_GET_ITEM(order, i);
        if (!PyUnicode_Check(tag)) type_error("the tag order must hold str");
        if (!listed.insert(std::string(utf8(tag))).second) {
            tag_ = tag;
            raise_with_where(PyExc_ValueError, "the tag stands twice in the tag order");
        }
    }
    std::vector<bool> loop_done(static_cast<std::size_t>(nloops), false);
    if (pdbx_) w_.comment_line();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* tag = PyList_GET_ITEM(order, i);
        std::string name(utf8(tag));
        if (reserved(name)) continue;
        auto it = owner.find(name);
        if (it != owner.end()) {
            if (!loop_done[static_cast<std::size_t>(it->second)]) {
                loop_done[static_cast<std::size_t>(it->second)] = true;
                write_loop(tags, PyList_GET_ITEM(loops, it->second));
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
                std::string_view nn = utf8(next);
                if (category(nn) != cat || owner.count(std::string(nn)) != 0) break;
                if (!reserved(nn)) align = std::max<std::size_t>(align, PyUnicode_GET_LENGTH(next));
            }
        }
        for (Py_ssize_t k = i; k < end; ++k) {
            PyObject* t = PyList_GET_ITEM(order, k);
            if (k == i || !reserved(utf8(t))) items(tags, t, align);
        }
        i = end - 1;
        if (pdbx_) w_.comment_line();
    }
    for (Py_ssize_t l = 0; l < nloops; ++l) {
        if (loop_done[static_cast<std::size_t>(l)]) continue;
        write_loop(tags, PyList_GET_ITEM(loops, l));
        if (pdbx_) w_.comment_line();
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(tags, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) type_error("the tags' keys must be str");
        std::string name(utf8(key));
        if (listed.count(name) == 0 && owner.count(name) == 0 && !reserved(name)) {
            tag_ = key;
            raise_with_where(PyExc_ValueError, "the tag is not in the tag order (it would be lost)");
        }
    }
    tag_ = nullptr;
    held_.clear();
}

}  // namespace quarzel::ext
