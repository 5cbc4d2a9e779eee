// open_blocks(source, is_path, categories=None, window=None) -> handle;
// next_block(handle) -> None | ((name, index, tags, tag_order, loops,
// frames), errors): the blocks of one input one at a time, each read window
// by window (only `categories`' values kept when named) and handed over as
// the parts of a CifBlock, frames as (name, tags, tag_order, loops), with
// the problem records that belong to it; rest_errors(handle): the records
// no block took (an input without blocks). The GIL is released while a
// block is read.
#include <mutex>

#include "binding/args.hpp"
#include "binding/common.hpp"
#include "binding/convert.hpp"
#include "ext/entry_points.hpp"
#include "ext/input_source.hpp"

namespace quarzel::ext {

using py::PyRef;

namespace {

constexpr const char* kHandleName = "quarzel.BlockReader";

struct BlockHandle {
    InputArgument input;
    std::optional<Selection> selection;
    std::unique_ptr<DocumentReader> reader;
    std::mutex busy;
    std::size_t index = 0;
};

void free_handle(PyObject* capsule) {
    delete static_cast<BlockHandle*>(PyCapsule_GetPointer(capsule, kHandleName));
}

BlockHandle* handle_of(PyObject* obj) {
    return static_cast<BlockHandle*>(PyCapsule_GetPointer(obj, kHandleName));
}

// (tags, tag_order, loops) of a frame: the tags whose values were kept.
PyRef frame_parts(py::Converter& conv, const FrameData& data) {
    PyRef tags = PyRef::steal(PyDict_New());
    PyRef order = PyRef::steal(PyList_New(0));
    PyRef loops = PyRef::steal(PyList_New(0));
    if (!tags || !order || !loops) return {};
    for (std::size_t i = 0; i < data.tag_order.size(); ++i) {
        if (i < data.columns.size() && data.columns[i].counted()) continue;
        PyRef name = conv.name(data.tag_order[i]);
        if (!name || PyList_Append(order.get(), name.get()) < 0) return {};
        PyRef values =
            i < data.columns.size() ? conv.column(data.columns[i]) : PyRef::steal(PyList_New(0));
        if (!values || PyDict_SetItem(tags.get(), name.get(), values.get()) < 0) return {};
    }
    for (const auto& loop : data.loops) {
        PyRef entry = PyRef::steal(PyList_New(0));
        if (!entry) return {};
        for (std::string_view tag : loop) {
            const ValueColumn* column = data.find(tag);
            if (column != nullptr && column->counted()) continue;
            PyRef name = conv.name(tag);
            if (!name || PyList_Append(entry.get(), name.get()) < 0) return {};
        }
        if (PyList_GET_SIZE(entry.get()) != 0 && PyList_Append(loops.get(), entry.get()) < 0)
            return {};
    }
    return PyRef::steal(PyTuple_Pack(3, tags.get(), order.get(), loops.get()));
}

PyRef block_parts(const ParsedBlock& block, std::size_t index) {
    py::Converter conv;
    PyRef own = frame_parts(conv, block.data);
    PyRef frames = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(block.save_frames.size())));
    PyRef name = py::str(block.name);
    PyRef number = PyRef::steal(PyLong_FromSize_t(index));
    if (!own || !frames || !name || !number) return {};
    for (std::size_t j = 0; j < block.save_frames.size(); ++j) {
        const ParsedSaveFrame& f = block.save_frames[j];
        PyRef parts = frame_parts(conv, f.data);
        PyRef frame_name = py::str(f.name);
        if (!parts || !frame_name) return {};
        PyObject* entry =
            PyTuple_Pack(4, frame_name.get(), PyTuple_GET_ITEM(parts.get(), 0),
                         PyTuple_GET_ITEM(parts.get(), 1), PyTuple_GET_ITEM(parts.get(), 2));
        if (!entry) return {};
        PyList_SET_ITEM(frames.get(), static_cast<Py_ssize_t>(j), entry);
    }
    return PyRef::steal(PyTuple_Pack(6, name.get(), number.get(), PyTuple_GET_ITEM(own.get(), 0),
                                     PyTuple_GET_ITEM(own.get(), 1), PyTuple_GET_ITEM(own.get(), 2),
                                     frames.get()));
}

// The handle, held by this call alone; null with RuntimeError set when
// another thread is reading from it.
struct Hold {
    BlockHandle* handle = nullptr;
    std::unique_lock<std::mutex> lock;
    bool take(PyObject* obj) {
        handle = handle_of(obj);
        if (handle == nullptr) return false;
        lock = std::unique_lock(handle->busy, std::try_to_lock);
        if (!lock.owns_lock()) {
            PyErr_SetString(PyExc_RuntimeError, "the block reader is in use by another thread");
            return false;
        }
        return true;
    }
};

}  // namespace

QUARZEL_EXT_ENTRY(py_open_blocks) {
    (void)self;
    return py::guarded([&]() -> PyObject* {
        static const py::Signature sig{
            "open_blocks", {"source", "is_path", "categories", "window"}, 2};
        PyObject* a[4];
        if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
        auto handle = std::make_unique<BlockHandle>();
        if (!input_argument(a[0], a[1], handle->input)) return nullptr;
        std::vector<std::string> categories;
        bool selective = false;
        if (!str_list_argument("categories", a[2], categories, selective)) return nullptr;
        std::size_t window = TextWindows::kDefaultWindow;
        if (a[3] != nullptr && a[3] != Py_None) {
            window = PyLong_AsSize_t(a[3]);
            if (window == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
        }
        if (selective) handle->selection.emplace(categories, std::nullopt);
        handle->reader = std::make_unique<DocumentReader>(
            handle->input.opener(),
            DocumentReader::Options{.window = window,
                                    .selection = selective ? &*handle->selection : nullptr});
        PyObject* capsule = PyCapsule_New(handle.get(), kHandleName, free_handle);
        if (capsule != nullptr) handle.release();
        return capsule;
    });
}

QUARZEL_EXT_ENTRY(py_next_block) {
    (void)self;
    return py::guarded([&]() -> PyObject* {
        static const py::Signature sig{"next_block", {"handle"}, 1};
        PyObject* a[1];
        if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
        Hold hold;
        if (!hold.take(a[0])) return nullptr;
        BlockHandle& h = *hold.handle;
        std::optional<ParsedBlock> block;
        std::vector<NativeParseError> errors;
        try {
            block = py::without_gil([&] { return h.reader->next_block(&errors); });
        } catch (const InputError& e) {
            return raise_input_error(e, h.input);
        }
        if (!block) Py_RETURN_NONE;
        py::GcPause pause;
        PyRef parts = block_parts(*block, h.index++);
        block.reset();
        PyRef records = py::error_list(errors);
        if (!parts || !records) return nullptr;
        return PyTuple_Pack(2, parts.get(), records.get());
    });
}

QUARZEL_EXT_ENTRY(py_rest_errors) {
    (void)self;
    return py::guarded([&]() -> PyObject* {
        static const py::Signature sig{"rest_errors", {"handle"}, 1};
        PyObject* a[1];
        if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
        Hold hold;
        if (!hold.take(a[0])) return nullptr;
        return py::error_list(hold.handle->reader->take_errors()).release();
    });
}

}  // namespace quarzel::ext
