// Reading BinaryCIF into the object model's parts: per data block its name,
// tags (dict of tag to list of str), tag order and loops, and the problem
// records. The decoding runs without the GIL; the Python objects are made
// afterwards, one str per distinct string of a column.
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "bcif/cif_layout.hpp"
#include "bcif/container.hpp"
#include "bcif/text.hpp"
#include "binding/args.hpp"
#include "binding/common.hpp"
#include "ext/byte_source.hpp"
#include "ext/entry_points.hpp"

namespace quarzel::ext {

using py::PyRef;

namespace {

// A str from UTF-8 that may not be valid (names are not checked):
// undecodable bytes become U+FFFD.
PyRef text(std::string_view s) {
    bool ascii = true;
    for (char c : s) ascii &= static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
        if (o) std::memcpy(PyUnicode_DATA(o), s.data(), s.size());
        return PyRef::steal(o);
    }
    return PyRef::steal(
        PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

// Builds the blocks as Python objects; stops at the first Python error.
class ModelBuilder {
public:
    bool ok = true;
    PyRef blocks = PyRef::steal(PyList_New(0));

    bool start() {
        unknown_ = PyRef::steal(PyUnicode_InternFromString("?"));
        inapplicable_ = PyRef::steal(PyUnicode_InternFromString("."));
        return blocks && unknown_ && inapplicable_;
    }

    void block(std::string_view name) {
        if (!ok) return;
        close();
        keys_.clear();
        name_ = text(name);
        tags_ = PyRef::steal(PyDict_New());
        order_ = PyRef::steal(PyList_New(0));
        loops_ = PyRef::steal(PyList_New(0));
        ok = name_ && tags_ && order_ && loops_;
    }
    void column(std::string_view tag, const bcif::DecodedColumn& values) {
        if (!ok) return;
        PyRef key = tag_str(tag);
        PyRef list = values_of(values);
        ok = key && list && PyList_Append(order_.get(), key.get()) == 0 &&
             PyDict_SetItem(tags_.get(), key.get(), list.get()) == 0;
    }
    void loop(const std::vector<std::string_view>& tags) {
        if (!ok) return;
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(tags.size())));
        if (!(ok = static_cast<bool>(list))) return;
        for (std::size_t i = 0; i < tags.size(); ++i) {
            PyRef key = tag_str(tags[i]);
            if (!(ok = static_cast<bool>(key))) return;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), key.release());
        }
        ok = PyList_Append(loops_.get(), list.get()) == 0;
    }
    // Appends the open block.
    void close() {
        if (!ok || !name_) return;
        PyRef entry =
            PyRef::steal(PyTuple_Pack(4, name_.get(), tags_.get(), order_.get(), loops_.get()));
        ok = entry && PyList_Append(blocks.get(), entry.get()) == 0;
        name_.reset();
    }

private:
    // One str per tag name of a block (the tag order and the loops share it).
    PyRef tag_str(std::string_view tag) {
        auto it = keys_.find(tag);
        if (it != keys_.end()) return PyRef::borrow(it->second.get());
        PyRef key = text(tag);
        if (key) keys_.emplace(std::string(tag), PyRef::borrow(key.get()));
        return key;
    }

    PyObject* mask_str(std::uint8_t m) { return m == 1 ? inapplicable_.get() : unknown_.get(); }

    PyRef values_of(const bcif::DecodedColumn& c) {
        const std::size_t n = c.size();
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!list) return {};
        if (c.is_string) {
            // One str per distinct string, made when first used.
            std::vector<PyObject*> made(c.strings.items.size(), nullptr);
            bool failed = false;
            for (std::size_t i = 0; i < n && !failed; ++i) {
                PyObject* item;
                const std::int32_t k = c.strings.index[i];
                if (c.masked(i) || k < 0) {
                    item = mask_str(c.masked(i) ? c.mask[i] : 2);
                } else {
                    PyObject*& slot = made[static_cast<std::size_t>(k)];
                    if (!slot) {
                        slot = text(c.strings.items[static_cast<std::size_t>(k)]).release();
                        if (!slot) {
                            failed = true;
                            break;
                        }
                    }
                    item = slot;
                }
                Py_INCREF(item);
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
            }
            for (PyObject* o : made) Py_XDECREF(o);
            if (failed) return {};
            return list;
        }
        std::size_t i = 0;
        bool failed = false;
        bcif::for_each_text(c, [&](std::string_view t) {
            if (failed) return;
            PyObject* item;
            if (c.masked(i)) {
                item = mask_str(c.mask[i]);
                Py_INCREF(item);
            } else {
                item = PyUnicode_New(static_cast<Py_ssize_t>(t.size()), 127);
                if (!item) {
                    failed = true;
                    return;
                }
                std::memcpy(PyUnicode_DATA(item), t.data(), t.size());
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
            ++i;
        });
        if (failed) return {};
        return list;
    }

    PyRef unknown_, inapplicable_;
    PyRef name_, tags_, order_, loops_;
    // The block's tag names (heterogeneous look-up by view).
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>{}(s);
        }
    };
    std::unordered_map<std::string, PyRef, Hash, std::equal_to<>> keys_;
};

// Lower-cased tag or block name → its spelling in the file, where the two
// differ (the first spelling of each).
PyRef spellings(const bcif::DecodedFile& file) {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return {};
    std::string lowered;
    auto note = [&](std::string_view name) {
        lower_into(name, lowered);
        if (lowered == name) return true;
        PyRef k = text(lowered), v = text(name);
        if (!k || !v) return false;
        return PyDict_SetDefaultRef(out.get(), k.get(), v.get(), nullptr) >= 0;
    };
    for (const bcif::DecodedBlock& b : file.blocks) {
        if (!note(b.header)) return {};
        for (const bcif::DecodedCategory& c : b.categories)
            for (const bcif::NamedColumn& col : c.columns)
                if (!note(bcif::tag_of(c.name, col.name))) return {};
    }
    return out;
}

}  // namespace

QUARZEL_EXT_ENTRY(py_bcif_is) {
    (void)self;
    static const py::Signature sig{"bcif_is", {"data"}, 1};
    PyObject* bound[1] = {};
    if (!py::bind(sig, args, nargs, kwnames, bound)) return nullptr;
    ByteSource source;
    if (!source.open(bound[0], "data")) return nullptr;
    return PyBool_FromLong(bcif::looks_like_bcif(source.view()));
}

QUARZEL_EXT_ENTRY(py_bcif_read) {
    (void)self;
    static const py::Signature sig{"bcif_read", {"data"}, 1};
    PyObject* bound[1] = {};
    if (!py::bind(sig, args, nargs, kwnames, bound)) return nullptr;
    ByteSource source;
    if (!source.open(bound[0], "data")) return nullptr;
    return py::guarded([&]() -> PyObject* {
        const std::string_view input = source.view();
        bcif::Budget budget(input.size());
        bcif::DecodedFile file = py::without_gil([&] { return bcif::decode_file(input, budget); });
        py::GcPause pause;
        ModelBuilder builder;
        if (!builder.start()) return nullptr;
        bcif::walk_cif(file, budget, file.errors, builder);
        builder.close();
        if (!builder.ok) return nullptr;
        PyRef errors = py::error_list(file.errors);
        PyRef names = spellings(file);
        if (!errors || !names) return nullptr;
        return PyTuple_Pack(3, builder.blocks.get(), errors.get(), names.get());
    });
}

}  // namespace quarzel::ext
