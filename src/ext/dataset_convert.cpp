// dataset_convert(inputs, out_dir, categories, tag_categories, jobs,
// progress, interval, names, failures, row_group_bytes, part_bytes,
// stream_bytes, rules, links, su_multiplier, ignore_case, typing, declared,
// seeds): runs the archive engine with the GIL released; with `rules`
// (compile_rules) each document is validated too, into _validation (links,
// su_multiplier and ignore_case as validate_text takes them). `typing` is
// None, "values" or "dictionary"; `declared` maps lower-case tags to
// "integer" or "real" (typed by a dictionary), `seeds` table names to
// {column: kinds bits} (typed by values: the parts a run adds to). Inputs
// and the output folder
// are str or bytes (file names that are not UTF-8 come as bytes); `names`
// gives each input's `_file` (default: its path), `failures` the reason
// an input is recorded as failed without being read ("" for the others). The workers run on threads
// of their own while the calling thread waits; every `interval` seconds it takes the GIL back to
// call `progress(files, bytes, text_bytes, failed, problem_files, problems)` and to look for
// signals: KeyboardInterrupt (or an exception from `progress`) stops the workers after the file
// each has in hand, lets them commit what is complete, and is raised then.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "binding/args.hpp"
#include "binding/common.hpp"
#include "dataset/engine.hpp"
#include "ext/entry_points.hpp"
#include "ext/validate_shared.hpp"
#include "validate/checker.hpp"

namespace quarzel::ext {

using py::PyRef;

namespace {

bool str_list(const char* param, PyObject* obj, std::vector<std::string>& out) {
    if (!PyList_Check(obj)) return py::argument_type_error(param, obj, "list"), false;
    const Py_ssize_t n = PyList_GET_SIZE(obj);
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::string_view s;
        if (!py::str_argument(param, PyList_GET_ITEM(obj, i), s)) return false;
        out.emplace_back(s);
    }
    return true;
}

// A path: str (UTF-8) or bytes (any name the system allows).
bool path_argument(const char* param, PyObject* obj, std::string& out) {
    if (PyBytes_Check(obj)) {
        out.assign(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
        return true;
    }
    if (!PyUnicode_Check(obj)) return py::argument_type_error(param, obj, "str or bytes"), false;
    std::string_view s;
    if (!py::str_argument(param, obj, s)) return false;
    out.assign(s);
    return true;
}

bool path_list(const char* param, PyObject* obj, std::vector<std::string>& out) {
    if (!PyList_Check(obj)) return py::argument_type_error(param, obj, "list"), false;
    const Py_ssize_t n = PyList_GET_SIZE(obj);
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!path_argument(param, PyList_GET_ITEM(obj, i), out[static_cast<std::size_t>(i)]))
            return false;
    return true;
}

// An optional list of str of one entry per input.
bool per_input(const char* param, PyObject* obj, std::size_t inputs,
               std::vector<std::string>& out) {
    if (!obj || obj == Py_None) return true;
    if (!str_list(param, obj, out)) return false;
    if (out.size() != inputs) {
        PyErr_Format(PyExc_ValueError, "%s: %zu entries for %zu inputs", param, out.size(), inputs);
        return false;
    }
    return true;
}

bool size_argument(const char* param, PyObject* obj, std::size_t& out) {
    if (!obj || obj == Py_None) return true;
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = static_cast<std::size_t>(v);
    (void)param;
    return true;
}

PyRef summary_dict(const dataset::Summary& s) {
    PyRef rows = PyRef::steal(PyDict_New());
    if (!rows) return {};
    for (const auto& [name, n] : s.rows) {
        PyRef v = PyRef::steal(PyLong_FromUnsignedLongLong(n));
        if (!v || PyDict_SetItemString(rows.get(), name.c_str(), v.get()) < 0) return {};
    }
    // Per table folder: [(tag, input that first brought it), ...] in order
    // (bytes that are not UTF-8 escaped, as os.fsdecode does).
    auto text = [](const std::string& s) {
        return PyRef::steal(
            PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape"));
    };
    PyRef columns = PyRef::steal(PyDict_New());
    if (!columns) return {};
    for (const auto& [folder, tags] : s.columns) {
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(tags.size())));
        PyRef key = text(folder);
        if (!list || !key) return {};
        for (std::size_t k = 0; k < tags.size(); ++k) {
            PyRef name = text(tags[k].first);
            if (!name) return {};
            PyObject* item =
                Py_BuildValue("(OK)", name.get(), (unsigned long long)tags[k].second);
            if (!item) return {};
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
        }
        if (PyDict_SetItem(columns.get(), key.get(), list.get()) < 0) return {};
    }
    return PyRef::steal(Py_BuildValue(
        "{s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:O,s:O,s:d,s:O,s:I,s:n,s:(KKK),s:K}", "files",
        (unsigned long long)s.files, "files_read", (unsigned long long)s.files_read, "files_failed",
        (unsigned long long)s.files_failed, "files_with_problems",
        (unsigned long long)s.files_with_problems, "problems", (unsigned long long)s.problems,
        "bytes", (unsigned long long)s.bytes, "text_bytes", (unsigned long long)s.text_bytes,
        "rows", rows.get(), "columns", columns.get(), "seconds", s.seconds, "cancelled", s.cancelled ? Py_True : Py_False,
        "jobs", s.jobs, "open_writers", static_cast<Py_ssize_t>(s.open_writers), "findings",
        (unsigned long long)s.findings[0], (unsigned long long)s.findings[1],
        (unsigned long long)s.findings[2], "files_invalid", (unsigned long long)s.files_invalid));
}

bool typing_arguments(PyObject* typing, PyObject* declared, PyObject* seeds,
                      dataset::Options& options) {
    if (typing && typing != Py_None) {
        std::string_view t;
        if (!py::str_argument("typing", typing, t)) return false;
        if (t == "values") {
            options.typing = dataset::Typing::Values;
        } else if (t == "dictionary") {
            options.typing = dataset::Typing::Dictionary;
        } else {
            PyErr_Format(PyExc_ValueError, "typing: 'values' or 'dictionary', not %R", typing);
            return false;
        }
    }
    if (declared && declared != Py_None) {
        if (!PyDict_Check(declared))
            return py::argument_type_error("declared", declared, "dict"), false;
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(declared, &pos, &key, &value)) {
            std::string_view k, v;
            if (!py::str_argument("declared", key, k) || !py::str_argument("declared", value, v))
                return false;
            options.declared[std::string(k)] = v == "integer" ? dataset::Declared::Integer
                                               : v == "real"  ? dataset::Declared::Real
                                                              : dataset::Declared::Text;
        }
    }
    if (seeds && seeds != Py_None) {
        if (!PyDict_Check(seeds)) return py::argument_type_error("seeds", seeds, "dict"), false;
        PyObject *table, *columns;
        Py_ssize_t pos = 0;
        while (PyDict_Next(seeds, &pos, &table, &columns)) {
            std::string_view t;
            if (!py::str_argument("seeds", table, t)) return false;
            if (!PyDict_Check(columns))
                return py::argument_type_error("seeds", columns, "dict"), false;
            auto& out = options.seeds[std::string(t)];
            PyObject *column, *bits;
            Py_ssize_t at = 0;
            while (PyDict_Next(columns, &at, &column, &bits)) {
                std::string_view c;
                if (!py::str_argument("seeds", column, c)) return false;
                const long b = PyLong_AsLong(bits);
                if (b == -1 && PyErr_Occurred()) return false;
                out[std::string(c)] = static_cast<std::uint8_t>(b);
            }
        }
    }
    return true;
}

}  // namespace

QUARZEL_EXT_ENTRY(py_dataset_convert) {
    (void)self;
    static const py::Signature sig{
        "dataset_convert",
        {"inputs", "out_dir", "categories", "tag_categories", "jobs", "progress", "interval",
         "names", "failures", "row_group_bytes", "part_bytes", "stream_bytes", "rules", "links",
         "su_multiplier", "ignore_case", "typing", "declared", "seeds"},
        2};
    PyObject* a[19] = {};
    if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
    return py::guarded([&]() -> PyObject* {
        dataset::Options options;
        if (!path_list("inputs", a[0], options.inputs)) return nullptr;
        if (!path_argument("out_dir", a[1], options.out_dir)) return nullptr;
        if (a[2] && a[2] != Py_None) {
            std::vector<std::string> cats;
            if (!str_list("categories", a[2], cats)) return nullptr;
            options.categories.insert(cats.begin(), cats.end());
        }
        if (a[3] && a[3] != Py_None) {
            if (!PyDict_Check(a[3])) return py::argument_type_error("tag_categories", a[3], "dict");
            PyObject *key, *value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(a[3], &pos, &key, &value)) {
                std::string_view k, v;
                if (!py::str_argument("tag_categories", key, k) ||
                    !py::str_argument("tag_categories", value, v))
                    return nullptr;
                options.tag_categories.emplace(k, v);
            }
        }
        std::size_t jobs = 1;
        if (!size_argument("jobs", a[4], jobs)) return nullptr;
        options.jobs = static_cast<unsigned>(std::max<std::size_t>(1, jobs));
        PyObject* progress = a[5] && a[5] != Py_None ? a[5] : nullptr;
        double interval = 0.2;
        if (a[6] && a[6] != Py_None) {
            interval = PyFloat_AsDouble(a[6]);
            if (interval == -1.0 && PyErr_Occurred()) return nullptr;
        }
        if (!per_input("names", a[7], options.inputs.size(), options.names) ||
            !per_input("failures", a[8], options.inputs.size(), options.failures))
            return nullptr;
        if (!size_argument("row_group_bytes", a[9], options.row_group_bytes) ||
            !size_argument("part_bytes", a[10], options.part_bytes) ||
            !size_argument("stream_bytes", a[11], options.stream_bytes))
            return nullptr;
        if (a[12] && a[12] != Py_None) {
            options.rules = rules_of(a[12], "rules");
            if (!options.rules) return nullptr;
            auto checks = std::make_shared<validate::Options>();
            if (a[13] && a[13] != Py_None) {
                const long mode = PyLong_AsLong(a[13]);
                if (mode == -1 && PyErr_Occurred()) return nullptr;
                checks->links = mode == 1   ? validate::LinkMode::All
                                : mode == 2 ? validate::LinkMode::None
                                            : validate::LinkMode::Default;
            }
            if (a[14] && a[14] != Py_None) {
                checks->su_multiplier = PyFloat_AsDouble(a[14]);
                if (checks->su_multiplier == -1.0 && PyErr_Occurred()) return nullptr;
            }
            if (a[15]) {
                const int b = PyObject_IsTrue(a[15]);
                if (b < 0) return nullptr;
                checks->ignore_case = b != 0;
            }
            options.validation = std::move(checks);
        }
        if (!typing_arguments(a[16], a[17], a[18], options)) return nullptr;

        dataset::Progress counters;
        std::atomic<bool> cancel{false};
        dataset::Summary summary;
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        std::exception_ptr failure;
        PyRef raised;  // the exception that stopped the run

        std::thread runner([&] {
            try {
                summary = dataset::convert(options, counters, cancel);
            } catch (...) {
                failure = std::current_exception();
            }
            std::lock_guard lock(mutex);
            done = true;
            cv.notify_all();
        });
        const auto tick = std::chrono::duration<double>(std::max(0.01, interval));
        for (;;) {
            bool finished;
            Py_BEGIN_ALLOW_THREADS std::unique_lock lock(mutex);
            finished = cv.wait_for(lock, tick, [&] { return done; });
            Py_END_ALLOW_THREADS if (!raised &&
                                     (PyErr_CheckSignals() < 0 ||
                                      (progress &&
                                       !PyRef::steal(PyObject_CallFunction(
                                           progress, "KKKKKK",
                                           (unsigned long long)counters.files.load(),
                                           (unsigned long long)counters.bytes.load(),
                                           (unsigned long long)counters.text_bytes.load(),
                                           (unsigned long long)counters.failed.load(),
                                           (unsigned long long)counters.problem_files.load(),
                                           (unsigned long long)counters.problems.load()))))) {
                raised = PyRef::steal(PyErr_GetRaisedException());
                cancel = true;
            }
            if (finished) break;
        }
        Py_BEGIN_ALLOW_THREADS runner.join();
        Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
        if (raised) {
            PyErr_SetRaisedException(raised.release());
            return nullptr;
        }
        if (!summary.fatal.empty()) {
            PyErr_SetString(PyExc_OSError, summary.fatal.c_str());
            return nullptr;
        }
        return summary_dict(summary).release();
    });
}

}  // namespace quarzel::ext
