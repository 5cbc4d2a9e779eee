// read_categories(source, is_path, categories, blocks=None, window=None):
// the chosen categories of one input as Arrow tables in the archive
// engine's layout, read window by window with everything else lexed and
// counted, never stored; returns ([(category, pyarrow.Table)], errors).
// The GIL is released while the input is read and the tables are built.
#include <arrow/api.h>

#include "arrow/category_tables.hpp"
#include "binding/args.hpp"
#include "binding/common.hpp"
#include "binding/pyarrow_handover.hpp"
#include "core/lowercase.hpp"
#include "ext/entry_points.hpp"
#include "ext/input_source.hpp"

namespace quarzel::ext {

using py::PyRef;

namespace {

struct Outcome {
    std::vector<std::pair<std::string, std::shared_ptr<arrow::Table>>> tables;
    std::vector<NativeParseError> errors;
    arrow::Status status;
};

Outcome read(const InputArgument& input, const Selection& selection,
             const std::vector<std::string>& named, std::size_t window) {
    Outcome out;
    DocumentReader reader(input.opener(), {.window = window,
                                           .selection = &selection,
                                           .pass_over_handed_out = false});
    auto tables = std::make_unique<CategoryTables>(selection);
    std::vector<NativeParseError> mismatches;
    std::size_t restarts = 0;
    while (auto block = reader.next_block()) {
        if (reader.restarts() != restarts) {
            // Read again from the start as Latin-1: what was made goes.
            restarts = reader.restarts();
            tables = std::make_unique<CategoryTables>(selection);
            mismatches.clear();
        }
        if (!selection.wants_block(block->name)) continue;
        out.status = tables->add_block(*block, mismatches);
        if (!out.status.ok()) return out;
    }
    out.errors = reader.take_errors();
    out.errors.insert(out.errors.end(), mismatches.begin(), mismatches.end());
    auto finished = tables->finish(named);
    if (!finished.ok()) {
        out.status = finished.status();
        return out;
    }
    out.tables = std::move(finished).ValueUnsafe();
    return out;
}

}  // namespace

QUARZEL_EXT_ENTRY(py_read_categories) {
    (void)self;
    return py::guarded([&]() -> PyObject* {
        static const py::Signature sig{
            "read_categories", {"source", "is_path", "categories", "blocks", "window"}, 3};
        PyObject* a[5];
        if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
        InputArgument input;
        if (!input_argument(a[0], a[1], input)) return nullptr;
        std::vector<std::string> categories, blocks;
        bool have_categories = false, have_blocks = false;
        if (!str_list_argument("categories", a[2], categories, have_categories) ||
            !str_list_argument("blocks", a[3], blocks, have_blocks))
            return nullptr;
        std::size_t window = TextWindows::kDefaultWindow;
        if (a[4] != nullptr && a[4] != Py_None) {
            window = PyLong_AsSize_t(a[4]);
            if (window == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
        }
        const Selection selection(
            categories,
            have_blocks ? std::optional<std::span<const std::string>>(blocks) : std::nullopt);
        std::vector<std::string> named;
        for (const std::string& c : categories) named.push_back(lower(c));

        py::PyArrowHandover handover;
        if (!handover.open()) return nullptr;
        Outcome out;
        try {
            out = py::without_gil([&] { return read(input, selection, named, window); });
        } catch (const InputError& e) {
            return raise_input_error(e, input);
        }
        if (!out.status.ok()) {
            if (out.status.IsOutOfMemory()) return PyErr_NoMemory();
            PyErr_SetString(PyExc_RuntimeError, out.status.ToString().c_str());
            return nullptr;
        }
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(out.tables.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < out.tables.size(); ++i) {
            PyRef table = handover.table(out.tables[i].second);
            out.tables[i].second.reset();
            PyRef name = py::str(out.tables[i].first);
            if (!table || !name) return nullptr;
            PyObject* pair = PyTuple_Pack(2, name.get(), table.get());
            if (!pair) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
        }
        PyRef errors = py::error_list(out.errors);
        if (!errors) return nullptr;
        return PyTuple_Pack(2, list.get(), errors.get());
    });
}

}  // namespace quarzel::ext
