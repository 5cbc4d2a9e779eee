// parse_cif: the native document as CifFile, CifBlock and CifSaveFrame
// objects, built in one pass after parsing.
#include "binding/args.hpp"
#include "binding/common.hpp"
#include "core/pipeline.hpp"
#include "module/cif_model.hpp"
#include "binding/convert.hpp"
#include "module/entry_points.hpp"

namespace quarzel::py {

namespace {

struct FrameObjects {
    PyRef tags;       // dict: tag -> list of values
    PyRef tag_order;  // list of str
    PyRef loops;      // list of lists of str
};

bool frame_data_to_py(Converter& conv, const FrameData& data, FrameObjects& out) {
    out.tags = PyRef::steal(PyDict_New());
    if (!out.tags) return false;
    out.tag_order = conv.name_list(data.tag_order);
    if (!out.tag_order) return false;
    for (std::size_t i = 0; i < data.columns.size(); ++i) {
        PyRef key = PyRef::borrow(PyList_GET_ITEM(out.tag_order.get(), static_cast<Py_ssize_t>(i)));
        PyRef values = conv.column(data.columns[i]);
        if (!values || PyDict_SetItem(out.tags.get(), key.get(), values.get()) < 0) return false;
    }
    out.loops = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(data.loops.size())));
    if (!out.loops) return false;
    for (std::size_t i = 0; i < data.loops.size(); ++i) {
        PyRef entry = conv.name_list(data.loops[i]);
        if (!entry) return false;
        PyList_SET_ITEM(out.loops.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return true;
}

PyRef build_block(Converter& conv, const ParsedBlock& block, std::size_t index) {
    const std::size_t count = block.save_frames.size();
    PyRef frame_list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    PyRef frame_index = PyRef::steal(PyDict_New());
    if (!frame_list || !frame_index) return {};
    for (std::size_t j = 0; j < count; ++j) {
        const ParsedSaveFrame& frame = block.save_frames[j];
        FrameObjects data;
        if (!frame_data_to_py(conv, frame.data, data)) return {};
        PyRef obj = new_cif_save_frame(frame.name, j, std::move(data.tags),
                                       std::move(data.tag_order), std::move(data.loops));
        PyRef key = conv.text(frame.name);
        if (!obj || !key || index_first(frame_index.get(), key.get(), obj.get()) < 0) return {};
        PyList_SET_ITEM(frame_list.get(), static_cast<Py_ssize_t>(j), obj.release());
    }
    FrameObjects data;
    if (!frame_data_to_py(conv, block.data, data)) return {};
    return new_cif_block(block.name, index, std::move(data.tags), std::move(data.tag_order),
                         std::move(data.loops), std::move(frame_index), std::move(frame_list));
}

PyRef build_py_cif(const ParsedCif& document) {
    Converter conv;
    const std::size_t count = document.blocks.size();
    PyRef block_list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    PyRef block_index = PyRef::steal(PyDict_New());
    if (!block_list || !block_index) return {};
    for (std::size_t i = 0; i < count; ++i) {
        const ParsedBlock& block = document.blocks[i];
        PyRef obj = build_block(conv, block, i);
        PyRef key = conv.text(block.name);
        if (!obj || !key || index_first(block_index.get(), key.get(), obj.get()) < 0) return {};
        PyList_SET_ITEM(block_list.get(), static_cast<Py_ssize_t>(i), obj.release());
    }
    return new_cif_file(std::move(block_index), std::move(block_list),
                        document.version == CifVersion::Cif20);
}

}  // namespace

QUARZEL_ENTRY(py_parse_cif) {
    (void)self;
    return guarded([&]() -> PyObject* {
        static const Signature sig{"parse_cif", {"source", "mode"}, 1};
        std::string_view source;
        bool strict = false;
        if (!source_and_mode(sig, args, nargs, kwnames, source, strict)) return nullptr;
        ParseResult parsed = without_gil([&] { return parse_document(source, strict); });
        GcPause pause;
        PyRef errors = error_list(parsed.document.errors);
        if (!errors) return nullptr;
        PyRef file = build_py_cif(parsed.document);
        if (!file) return nullptr;
        return PyTuple_Pack(2, file.get(), errors.get());
    });
}

}  // namespace quarzel::py
