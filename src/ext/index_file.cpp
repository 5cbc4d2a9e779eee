// index_build(source, is_path, window=None) -> (handle, blocks, entries,
// errors, groups): the index of one input (core/cif_index.hpp), its blocks
// and entries as dicts; index_read(handle, category, block=None,
// window=None) -> (pyarrow.Table, errors): one category (of one block)
// read from the byte ranges the index gives: only those bytes of a plain
// file or text; a compressed file is streamed, keeping only that category.
// The GIL is released while reading.
#include <arrow/api.h>

#include "arrow/category_tables.hpp"
#include "binding/args.hpp"
#include "binding/common.hpp"
#include "binding/pyarrow_handover.hpp"
#include "core/cif_index.hpp"
#include "core/lowercase.hpp"
#include "core/word_skim.hpp"
#include "ext/entry_points.hpp"
#include "ext/input_source.hpp"
#include "stream/open_input.hpp"

namespace quarzel::ext {

using py::PyRef;

namespace {

constexpr const char* kHandleName = "quarzel.CifIndex";

struct IndexHandle {
    InputArgument input;
    CifIndex index;
    bool plain = true;  // a plain file or a text: its byte ranges can be read alone
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;
};

void free_handle(PyObject* capsule) {
    delete static_cast<IndexHandle*>(PyCapsule_GetPointer(capsule, kHandleName));
}

std::size_t window_argument(PyObject* obj, bool& ok) {
    ok = true;
    if (obj == nullptr || obj == Py_None) return TextWindows::kDefaultWindow;
    const std::size_t w = PyLong_AsSize_t(obj);
    if (w == static_cast<std::size_t>(-1) && PyErr_Occurred()) ok = false;
    return w;
}

PyRef describe_blocks(const CifIndex& index) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return {};
    for (const IndexBlock& b : index.blocks) {
        PyRef frames = PyRef::steal(PyList_New(0));
        if (!frames) return {};
        for (const IndexFrame& f : b.frames) {
            PyRef d = PyRef::steal(Py_BuildValue(
                "{s:N,s:K,s:K,s:I}", "name", py::str(f.name).release(), "begin",
                (unsigned long long)f.begin, "end", (unsigned long long)f.end, "line", f.line));
            if (!d || PyList_Append(frames.get(), d.get()) < 0) return {};
        }
        PyRef d = PyRef::steal(
            Py_BuildValue("{s:N,s:K,s:K,s:I,s:O}", "name", py::str(b.name).release(), "begin",
                          (unsigned long long)b.begin, "end", (unsigned long long)b.end, "line",
                          b.line, "frames", frames.get()));
        if (!d || PyList_Append(list.get(), d.get()) < 0) return {};
    }
    return list;
}

PyRef describe_entries(const CifIndex& index) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return {};
    for (const IndexEntry& e : index.entries) {
        PyRef tags = PyRef::steal(PyList_New(0));
        if (!tags) return {};
        for (const std::string& t : e.tags) {
            PyRef s = py::str(t);
            if (!s || PyList_Append(tags.get(), s.get()) < 0) return {};
        }
        const IndexBlock& b = index.blocks[e.block];
        PyRef frame = e.frame >= 0 ? py::str(b.frames[static_cast<std::size_t>(e.frame)].name)
                                   : PyRef::borrow(Py_None);
        PyRef d = PyRef::steal(Py_BuildValue(
            "{s:N,s:O,s:N,s:O,s:O,s:K,s:K,s:I,s:K,s:I}", "block", py::str(b.name).release(),
            "frame", frame.get(), "category", py::str(e.category).release(), "looped",
            e.loop >= 0 ? Py_True : Py_False, "tags", tags.get(), "begin",
            (unsigned long long)e.begin, "end", (unsigned long long)e.end, "line", e.line, "rows",
            (unsigned long long)e.rows, "group", e.group));
        if (!d || PyList_Append(list.get(), d.get()) < 0) return {};
    }
    return list;
}

// The entries of one read: those of `category` (and of the block named
// `block`), merged per block and save frame (the union of their ranges).
std::vector<IndexEntry> ranges_of(const CifIndex& index, const std::string& category,
                                  const std::optional<std::string>& block,
                                  std::vector<std::uint32_t>& groups) {
    std::vector<IndexEntry> out;
    for (const IndexEntry& e : index.entries) {
        if (e.category != category) continue;
        if (block && index.blocks[e.block].name != *block) continue;
        groups.push_back(e.group);
        out.push_back(e);
    }
    // A block whose rows include values without a tag is read whole, from
    // its `data_` (frames and all): one range for the block.
    for (IndexEntry& e : out) {
        if (!e.from_block_start) continue;
        for (IndexEntry& m : out)
            if (m.block == e.block) {
                m.from_block_start = true;
                m.frame = -1;
                m.begin = e.begin;
                m.line = e.line;
                m.column = e.column;
            }
    }
    std::vector<IndexEntry> merged;
    for (const IndexEntry& e : out) {
        IndexEntry* m = nullptr;
        for (IndexEntry& x : merged)
            if (x.block == e.block && x.frame == e.frame) m = &x;
        if (m == nullptr) {
            merged.push_back(e);
            continue;
        }
        if (e.begin < m->begin) {
            m->begin = e.begin;
            m->line = e.line;
            m->column = e.column;
        }
        m->end = std::max(m->end, e.end);
    }
    out = std::move(merged);
    // A block's own rows, then its save frames in order, block by block.
    std::stable_sort(out.begin(), out.end(), [](const IndexEntry& a, const IndexEntry& b) {
        return a.block != b.block ? a.block < b.block : a.frame < b.frame;
    });
    return out;
}

// The rows a range read gives: of a block's own range, the block's own tags
// (save frames met in it have ranges of their own); of a frame's range, that
// frame; from a block's start, all of the block.
arrow::Status add_range(CategoryTables& tables, ParsedCif& doc, const IndexEntry& range,
                        std::vector<NativeParseError>& mismatches) {
    if (doc.blocks.empty()) return arrow::Status::OK();
    ParsedBlock& b = doc.blocks.front();
    if (!range.from_block_start) {
        if (range.frame < 0) {
            b.save_frames.clear();
        } else {
            b.data = FrameData{};
            b.save_frames.resize(std::min<std::size_t>(b.save_frames.size(), 1));
        }
    }
    return tables.add_block(b, mismatches);
}

struct ReadOutcome {
    std::shared_ptr<arrow::Table> table;
    std::vector<NativeParseError> errors;
    arrow::Status status;
};

ReadOutcome read_category(const IndexHandle& h, const std::string& category,
                          const std::optional<std::string>& block, std::size_t window) {
    ReadOutcome out;
    std::vector<std::uint32_t> groups;
    const std::vector<IndexEntry> ranges = ranges_of(h.index, category, block, groups);
    const std::vector<std::string> named{category};
    std::vector<std::string> block_names;
    if (block) block_names.push_back(*block);
    const Selection selection(
        named, block ? std::optional<std::span<const std::string>>(block_names) : std::nullopt);
    CategoryTables tables(selection);
    std::vector<NativeParseError> mismatches;
    if (h.plain) {
        std::unique_ptr<FileSource> file;
        if (h.input.is_path) {
            file = std::make_unique<FileSource>(h.input.path);
            if (file->size() != h.size || file->mtime_ns() != h.mtime_ns)
                throw InputError("changed since it was indexed");
        }
        for (const IndexEntry& range : ranges) {
            std::unique_ptr<ByteSource> source;
            if (file) {
                file->set_range(range.begin, range.end);
                ParsedCif doc = read_index_range(*file, h.index, range, selection, window);
                out.status = add_range(tables, doc, range, mismatches);
            } else {
                MemorySource text(h.input.text.substr(range.begin, range.end - range.begin));
                ParsedCif doc = read_index_range(text, h.index, range, selection, window);
                out.status = add_range(tables, doc, range, mismatches);
            }
            if (!out.status.ok()) return out;
        }
    } else {
        // No byte range of a compressed file stands alone: all of it, as a
        // stream, keeping only the category.
        DocumentReader reader(h.input.opener(), {.window = window, .selection = &selection});
        std::vector<NativeParseError> ignored;
        while (auto b = reader.next_block()) {
            if (!selection.wants_block(b->name)) continue;
            out.status = tables.add_block(*b, mismatches);
            if (!out.status.ok()) return out;
        }
    }
    // The records are the index's, of the groups read.
    std::sort(groups.begin(), groups.end());
    for (std::size_t i = 0; i < h.index.errors.size(); ++i) {
        const std::int64_t g = h.index.error_groups[i];
        if (g >= 0 &&
            std::binary_search(groups.begin(), groups.end(), static_cast<std::uint32_t>(g)))
            out.errors.push_back(h.index.errors[i]);
    }
    out.errors.insert(out.errors.end(), mismatches.begin(), mismatches.end());
    auto finished = tables.finish(named);
    if (!finished.ok()) {
        out.status = finished.status();
        return out;
    }
    out.table = std::move(finished->front().second);
    return out;
}

}  // namespace

QUARZEL_EXT_ENTRY(py_index_build) {
    (void)self;
    return py::guarded([&]() -> PyObject* {
        static const py::Signature sig{"index_build", {"source", "is_path", "window"}, 2};
        PyObject* a[3];
        if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
        auto handle = std::make_unique<IndexHandle>();
        if (!input_argument(a[0], a[1], handle->input)) return nullptr;
        bool ok;
        const std::size_t window = window_argument(a[2], ok);
        if (!ok) return nullptr;
        try {
            py::without_gil([&] {
                if (handle->input.is_path) {
                    FileSource probe(handle->input.path);
                    handle->size = probe.size();
                    handle->mtime_ns = probe.mtime_ns();
                    char head[8];
                    std::size_t got = 0, k;
                    while (got < sizeof head &&
                           (k = probe.read(head + got, sizeof head - got)) != 0)
                        got += k;
                    handle->plain =
                        stream::sniff(std::string_view(head, got)) == stream::Compression::None &&
                        probe.rewind();
                }
                handle->index = build_index(handle->input.opener(), window);
            });
        } catch (const InputError& e) {
            return raise_input_error(e, handle->input);
        }
        PyRef blocks = describe_blocks(handle->index);
        PyRef entries = describe_entries(handle->index);
        PyRef errors = py::error_list(handle->index.errors);
        PyRef groups = PyRef::steal(PyList_New(0));
        if (!blocks || !entries || !errors || !groups) return nullptr;
        for (std::int64_t g : handle->index.error_groups) {
            PyRef v = PyRef::steal(PyLong_FromLongLong(g));
            if (!v || PyList_Append(groups.get(), v.get()) < 0) return nullptr;
        }
        PyRef capsule = PyRef::steal(PyCapsule_New(handle.get(), kHandleName, free_handle));
        if (!capsule) return nullptr;
        handle.release();
        return PyTuple_Pack(5, capsule.get(), blocks.get(), entries.get(), errors.get(),
                            groups.get());
    });
}

QUARZEL_EXT_ENTRY(py_index_read) {
    (void)self;
    return py::guarded([&]() -> PyObject* {
        static const py::Signature sig{"index_read", {"handle", "category", "block", "window"}, 2};
        PyObject* a[4];
        if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
        auto* h = static_cast<IndexHandle*>(PyCapsule_GetPointer(a[0], kHandleName));
        if (h == nullptr) return nullptr;
        std::string_view category;
        if (!py::str_argument("category", a[1], category)) return nullptr;
        std::optional<std::string> block;
        if (a[2] != nullptr && a[2] != Py_None) {
            std::string_view b;
            if (!py::str_argument("block", a[2], b)) return nullptr;
            block = lower(b);
        }
        bool ok;
        const std::size_t window = window_argument(a[3], ok);
        if (!ok) return nullptr;
        py::PyArrowHandover handover;
        if (!handover.open()) return nullptr;
        ReadOutcome out;
        const std::string wanted = lower(category);
        try {
            out = py::without_gil([&] { return read_category(*h, wanted, block, window); });
        } catch (const InputError& e) {
            return raise_input_error(e, h->input);
        }
        if (!out.status.ok()) {
            if (out.status.IsOutOfMemory()) return PyErr_NoMemory();
            PyErr_SetString(PyExc_RuntimeError, out.status.ToString().c_str());
            return nullptr;
        }
        PyRef table = handover.table(out.table);
        PyRef errors = py::error_list(out.errors);
        if (!table || !errors) return nullptr;
        return PyTuple_Pack(2, table.get(), errors.get());
    });
}

QUARZEL_EXT_ENTRY(py_word_skim) {
    (void)self;
    return py::guarded([&]() -> PyObject* {
        static const py::Signature sig{"word_skim", {"on"}, 0};
        PyObject* a[1];
        if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
        bool was;
        if (a[0] == nullptr || a[0] == Py_None) {
            was = word_skim_available();
        } else {
            const int on = PyObject_IsTrue(a[0]);
            if (on < 0) return nullptr;
            was = set_word_skim(on != 0);
        }
        return PyBool_FromLong(was);
    });
}

}  // namespace quarzel::ext
