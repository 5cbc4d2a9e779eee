// write_bcif: a CifFile, CifBlock, CifSaveFrame or parse_raw dict as
// BinaryCIF bytes. The object's fields are read into views of its str
// values (held, with the GIL, for the length of the call); the encoding
// and packing are the native writer's.
#include <string>
#include <unordered_map>
#include <vector>

#include "bcif/spellings.hpp"
#include "bcif/write.hpp"
#include "binding/args.hpp"
#include "binding/common.hpp"
#include "core/error.hpp"
#include "ext/entry_points.hpp"

namespace quarzel::ext {

using py::PyRef;

namespace {

struct PyFailed {};  // a Python error is set

// The UTF-8 of a str (cached in the str by Python when not ASCII).
std::string_view utf8_of(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) throw PyFailed{};
    return {p, static_cast<std::size_t>(n)};
}

PyRef field(PyObject* obj, const char* name, bool raw) {
    PyRef v;
    if (!raw) {
        v = PyRef::steal(PyObject_GetAttrString(obj, name));
    } else if (PyDict_Check(obj)) {
        PyObject* found = nullptr;
        if (PyDict_GetItemStringRef(obj, name, &found) < 0) throw PyFailed{};
        v = PyRef::steal(found);
    }
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "a parse_raw block needs the key '%s'", name);
        throw PyFailed{};
    }
    return v;
}

[[noreturn]] void value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw PyFailed{};
}

std::string where(std::string_view block, std::string_view tag = {}) {
    std::string out = "block " + quoted(block);
    if (!tag.empty()) out += ", tag " + quoted(tag);
    return out;
}

// Reads blocks into FrameIn views; keeps every object it views alive.
class Collector {
public:
    std::vector<bcif::FrameIn> frames;

    void block(PyObject* obj, bool raw, bool frames_allowed) {
        PyRef name = field(obj, "name", raw);
        if (!PyUnicode_Check(name.get())) value_error("a block name must be a str");
        bcif::FrameIn f;
        f.name = utf8_of(name.get());
        hold(std::move(name));
        if (frames_allowed) {
            PyRef saves = field(obj, raw ? "save_frames" : "_save_frame_list", raw);
            const Py_ssize_t n = PyObject_Length(saves.get());
            if (n < 0) throw PyFailed{};
            if (n > 0) {
                PyRef first = PyRef::steal(PySequence_GetItem(saves.get(), 0));
                if (!first) throw PyFailed{};
                PyRef fname = field(first.get(), "name", raw);
                std::string frame_name = PyUnicode_Check(fname.get())
                                             ? std::string(utf8_of(fname.get()))
                                             : std::string("?");
                value_error(where(f.name) + ", save frame " + quoted(frame_name) +
                            ": BinaryCIF has no save frames");
            }
        }
        PyRef order = field(obj, raw ? "tag_order" : "_tag_order", raw);
        PyRef tags = field(obj, raw ? "tags" : "_tags", raw);
        PyRef loops = field(obj, raw ? "loops" : "_loops", raw);
        if (!PyList_Check(order.get()) || !PyDict_Check(tags.get()) || !PyList_Check(loops.get())) {
            PyErr_SetString(PyExc_TypeError, "tag order and loops must be lists, tags a dict");
            throw PyFailed{};
        }
        const Py_ssize_t n = PyList_GET_SIZE(order.get());
        f.tag_order.reserve(static_cast<std::size_t>(n));
        f.values.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* tag = PyList_GET_ITEM(order.get(), i);
            if (!PyUnicode_Check(tag)) value_error(where(f.name) + ": a tag must be a str");
            const std::string_view t = utf8_of(tag);
            f.tag_order.push_back(t);
            PyObject* values = nullptr;
            if (PyDict_GetItemRef(tags.get(), tag, &values) < 0) throw PyFailed{};
            PyRef held = PyRef::steal(values);
            if (!held) value_error(where(f.name, t) + ": in the tag order but has no values");
            f.values.push_back(texts(held.get(), f.name, t));
            hold(std::move(held));
        }
        const Py_ssize_t nl = PyList_GET_SIZE(loops.get());
        for (Py_ssize_t l = 0; l < nl; ++l) {
            PyObject* loop = PyList_GET_ITEM(loops.get(), l);
            if (!PyList_Check(loop)) value_error(where(f.name) + ": a loop must be a list of tags");
            std::vector<std::string_view>& out = f.loops.emplace_back();
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(loop); ++k) {
                PyObject* tag = PyList_GET_ITEM(loop, k);
                if (!PyUnicode_Check(tag)) value_error(where(f.name) + ": a tag must be a str");
                out.push_back(utf8_of(tag));
            }
        }
        hold(std::move(order));
        hold(std::move(tags));
        hold(std::move(loops));
        frames.push_back(std::move(f));
    }

private:
    std::vector<std::string_view> texts(PyObject* values, std::string_view block,
                                        std::string_view tag) {
        if (!PyList_Check(values)) value_error(where(block, tag) + ": values must be a list");
        const Py_ssize_t n = PyList_GET_SIZE(values);
        std::vector<std::string_view> out;
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* v = PyList_GET_ITEM(values, i);
            if (PyUnicode_Check(v)) {
                out.push_back(utf8_of(v));
            } else if (PyList_Check(v) || PyDict_Check(v)) {
                value_error(where(block, tag) +
                            ": BinaryCIF holds text values only, not lists or tables");
            } else {
                PyErr_Format(PyExc_TypeError, "%s: a value must be a str, not '%s'",
                             where(block, tag).c_str(), Py_TYPE(v)->tp_name);
                throw PyFailed{};
            }
        }
        return out;
    }

    void hold(PyRef r) { held_.push_back(std::move(r)); }
    std::vector<PyRef> held_;
};

// A dict of str to str, as a native map (None: empty).
bool string_map(PyObject* obj, const char* param,
                std::unordered_map<std::string, std::string>& out) {
    if (obj == nullptr || obj == Py_None) return true;
    if (!PyDict_Check(obj)) {
        py::argument_type_error(param, obj, "dict");
        return false;
    }
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(obj, &pos, &k, &v)) {
        if (!PyUnicode_Check(k) || !PyUnicode_Check(v)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': keys and values must be str", param);
            return false;
        }
        Py_ssize_t kn = 0, vn = 0;
        const char* kp = PyUnicode_AsUTF8AndSize(k, &kn);
        const char* vp = kp ? PyUnicode_AsUTF8AndSize(v, &vn) : nullptr;
        if (!vp) return false;
        out.emplace(std::string(kp, static_cast<std::size_t>(kn)),
                    std::string(vp, static_cast<std::size_t>(vn)));
    }
    return true;
}

}  // namespace

QUARZEL_EXT_ENTRY(py_write_bcif) {
    (void)self;
    static const py::Signature sig{"write_bcif", {"obj", "kind", "types", "names"}, 2};
    PyObject* a[4] = {};
    if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view kind;
    if (!py::str_argument("kind", a[1], kind)) return nullptr;
    std::unordered_map<std::string, std::string> types, names;
    if (!string_map(a[2], "types", types) || !string_map(a[3], "names", names)) return nullptr;
    return py::guarded([&]() -> PyObject* {
        Collector c;
        try {
            if (kind == "file" || kind == "raw") {
                const bool raw = kind == "raw";
                PyRef blocks = raw ? field(a[0], "blocks", true)
                                   : PyRef::steal(PyObject_GetAttrString(a[0], "_block_list"));
                if (!blocks) return nullptr;
                PyRef seq = PyRef::steal(PySequence_Fast(blocks.get(), "blocks must be a list"));
                if (!seq) return nullptr;
                for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i)
                    c.block(PySequence_Fast_GET_ITEM(seq.get(), i), raw, true);
            } else if (kind == "block") {
                c.block(a[0], false, true);
            } else if (kind == "frame") {
                c.block(a[0], false, false);  // a save frame as a block of its own
            } else {
                PyErr_SetString(PyExc_ValueError, "kind must be file, block, frame or raw");
                return nullptr;
            }
        } catch (const PyFailed&) {
            return nullptr;
        }
        bcif::WriteOptions options;
        if (!types.empty())
            options.declared = [&](std::string_view tag) {
                auto it = types.find(std::string(tag));
                if (it == types.end()) return bcif::Declared::Auto;
                if (it->second == "integer") return bcif::Declared::Integer;
                if (it->second == "real") return bcif::Declared::Real;
                if (it->second == "text") return bcif::Declared::Text;
                return bcif::Declared::Auto;
            };
        if (!names.empty())
            options.spelling = [&](std::string_view name) {
                auto it = names.find(std::string(name));
                return it == names.end() ? std::string() : it->second;
            };
        std::string bytes;
        try {
            bytes = bcif::write_file(c.frames, options);
        } catch (const bcif::WriteError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
            return nullptr;
        }
        return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    });
}

}  // namespace quarzel::ext

namespace quarzel::ext {

QUARZEL_EXT_ENTRY(py_name_spellings) {
    (void)self;
    static const py::Signature sig{"name_spellings", {"text"}, 1};
    PyObject* a[1] = {};
    if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view text;
    if (!py::str_argument("text", a[0], text)) return nullptr;
    return py::guarded([&]() -> PyObject* {
        auto names = py::without_gil([&] { return bcif::name_spellings(text); });
        PyRef out = PyRef::steal(PyDict_New());
        if (!out) return nullptr;
        for (const auto& [lower, spelled] : names) {
            PyRef k = py::str(lower), v = py::str(spelled);
            if (!k || !v || PyDict_SetItem(out.get(), k.get(), v.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

}  // namespace quarzel::ext
