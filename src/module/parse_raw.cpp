#include "binding/args.hpp"
#include "binding/common.hpp"
#include "core/pipeline.hpp"
#include "binding/convert.hpp"
#include "module/entry_points.hpp"

namespace quarzel::py {

namespace {

bool set(PyObject* dict, const char* key, const PyRef& value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// The keys of every frame's dict, made once per document.
struct FrameKeys {
    PyRef name = str("name"), tag_order = str("tag_order"), loops = str("loops"),
          tags = str("tags"), save_frames = str("save_frames");
    bool ok() const { return name && tag_order && loops && tags && save_frames; }
};

bool set(PyObject* dict, const PyRef& key, const PyRef& value) {
    return value && PyDict_SetItem(dict, key.get(), value.get()) == 0;
}

// {"name", "tag_order", "loops", "tags"}. Each column is released once it is
// converted, so the native and the Python copy of the values do not both
// stand in full.
PyRef frame_data_to_python(Converter& conv, const FrameKeys& keys, const std::string& name,
                           FrameData& data) {
    PyRef d = PyRef::steal(PyDict_New());
    PyRef tag_order = conv.name_list(data.tag_order);
    if (!d || !set(d.get(), keys.name, conv.text(name)) || !set(d.get(), keys.tag_order, tag_order))
        return {};
    PyRef loops = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(data.loops.size())));
    if (!loops) return {};
    for (std::size_t i = 0; i < data.loops.size(); ++i) {
        PyRef tags = conv.name_list(data.loops[i]);
        if (!tags) return {};
        PyList_SET_ITEM(loops.get(), static_cast<Py_ssize_t>(i), tags.release());
    }
    if (!set(d.get(), keys.loops, loops)) return {};
    PyRef tags = PyRef::steal(PyDict_New());
    if (!tags) return {};
    for (std::size_t i = 0; i < data.columns.size(); ++i) {
        PyRef key = PyRef::borrow(PyList_GET_ITEM(tag_order.get(), static_cast<Py_ssize_t>(i)));
        PyRef values = conv.column(data.columns[i]);
        if (!values || PyDict_SetItem(tags.get(), key.get(), values.get()) < 0) return {};
        data.columns[i].clear();
    }
    if (!set(d.get(), keys.tags, tags)) return {};
    return d;
}

PyRef to_python(ParsedCif& doc) {
    Converter conv;
    FrameKeys keys;
    if (!keys.ok()) return {};
    PyRef result = PyRef::steal(PyDict_New());
    if (!result ||
        !set(result.get(), "version",
             str(doc.version == CifVersion::Cif20 ? "CIF_2_0" : "CIF_1_1")) ||
        !set(result.get(), "errors", error_list(doc.errors)))
        return {};
    PyRef blocks = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(doc.blocks.size())));
    if (!blocks) return {};
    for (std::size_t i = 0; i < doc.blocks.size(); ++i) {
        ParsedBlock& b = doc.blocks[i];
        PyRef bd = frame_data_to_python(conv, keys, b.name, b.data);
        if (!bd) return {};
        PyRef frames = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(b.save_frames.size())));
        if (!frames) return {};
        for (std::size_t j = 0; j < b.save_frames.size(); ++j) {
            PyRef fd =
                frame_data_to_python(conv, keys, b.save_frames[j].name, b.save_frames[j].data);
            if (!fd) return {};
            PyList_SET_ITEM(frames.get(), static_cast<Py_ssize_t>(j), fd.release());
        }
        if (!set(bd.get(), keys.save_frames, frames)) return {};
        PyList_SET_ITEM(blocks.get(), static_cast<Py_ssize_t>(i), bd.release());
    }
    if (!set(result.get(), "blocks", blocks)) return {};
    return result;
}

}  // namespace

QUARZEL_ENTRY(py_parse_raw) {
    (void)self;
    return guarded([&]() -> PyObject* {
        static const Signature sig{"parse_raw", {"source", "mode"}, 1};
        std::string_view source;
        bool strict = false;
        if (!source_and_mode(sig, args, nargs, kwnames, source, strict)) return nullptr;
        ParseResult parsed = without_gil([&] { return parse_document(source, strict); });
        GcPause pause;
        return to_python(parsed.document).release();
    });
}

}  // namespace quarzel::py
