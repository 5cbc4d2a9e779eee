// validate_text(rules, text, links=0, su_multiplier=3.0, ignore_case=False,
// imported=None): reads `text` natively and checks it against the rule set
// with the GIL released; returns (findings, errors), the findings as
// findings_list() gives them (with positions, in document order) and the
// reader's own error records as parse_raw gives them.
//
// links: 0 each dictionary's default, 1 all links, 2 none. imported:
// {(block index, frame index or -1): [attribute names]} that imports add
// to a definition (for DDLm scopes). timing=True adds the seconds spent
// reading and checking (for benchmarks): (findings, errors, read_s, check_s).
#include <chrono>
#include <string>

#include "binding/args.hpp"
#include "binding/common.hpp"
#include "core/pipeline.hpp"
#include "ext/entry_points.hpp"
#include "ext/validate_shared.hpp"
#include "validate/checker.hpp"
#include "validate/positions.hpp"

namespace quarzel::ext {

using py::PyRef;

namespace {

bool read_imported(PyObject* obj, validate::Options& options) {
    if (!obj || obj == Py_None) return true;
    if (!PyDict_Check(obj)) return py::argument_type_error("imported", obj, "dict"), false;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(obj, &pos, &key, &value)) {
        long long block = -1, frame = -1;
        if (!PyArg_ParseTuple(key, "LL", &block, &frame)) return false;
        if (!PyList_Check(value)) return py::type_error(value, "list"), false;
        std::vector<std::string> names;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            std::string_view s;
            if (!py::str_argument("imported", PyList_GET_ITEM(value, i), s)) return false;
            names.emplace_back(s);
        }
        options.imported[{static_cast<std::uint32_t>(block),
                          frame < 0 ? validate::kNoIndex : static_cast<std::uint32_t>(frame)}] =
            std::move(names);
    }
    return true;
}

}  // namespace

MappingCache& call_mappings() {
    static thread_local MappingCache mappings(kCallMappingBytes);
    return mappings;
}

bool read_options(PyObject* links, PyObject* su_multiplier, PyObject* ignore_case,
                  PyObject* imported, validate::Options& options) {
    if (links && links != Py_None) {
        const long mode = PyLong_AsLong(links);
        if (mode == -1 && PyErr_Occurred()) return false;
        options.links = mode == 1   ? validate::LinkMode::All
                        : mode == 2 ? validate::LinkMode::None
                                    : validate::LinkMode::Default;
    }
    if (su_multiplier && su_multiplier != Py_None) {
        options.su_multiplier = PyFloat_AsDouble(su_multiplier);
        if (options.su_multiplier == -1.0 && PyErr_Occurred()) return false;
    }
    if (ignore_case) {
        const int b = PyObject_IsTrue(ignore_case);
        if (b < 0) return false;
        options.ignore_case = b != 0;
    }
    return read_imported(imported, options);
}

QUARZEL_EXT_ENTRY(py_validate_text) {
    (void)self;
    static const py::Signature sig{
        "validate_text",
        {"rules", "text", "links", "su_multiplier", "ignore_case", "imported", "timing"},
        2};
    PyObject* a[7] = {};
    if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
    auto rules = rules_of(a[0], "rules");
    if (!rules) return nullptr;
    std::string_view text;
    if (!py::str_argument("text", a[1], text)) return nullptr;
    validate::Options options;
    if (!read_options(a[2], a[3], a[4], a[5], options)) return nullptr;
    const int timing = a[6] ? PyObject_IsTrue(a[6]) : 0;
    if (timing < 0) return nullptr;
    return py::guarded([&]() -> PyObject* {
        // Declared first: the document's large buffers are freed into it.
        MappingCache::Use use(call_mappings());
        ParseResult parsed;
        std::vector<validate::Finding> findings;
        double reading = 0.0, checking = 0.0;
        py::without_gil([&] {
            using Clock = std::chrono::steady_clock;
            const auto t0 = Clock::now();
            parsed = parse_document(text, false);
            const auto t1 = Clock::now();
            findings = validate::check_document(parsed.document, *rules, options);
            validate::resolve_positions(findings, parsed.document, parsed.detected);
            validate::sort_findings(findings);
            reading = std::chrono::duration<double>(t1 - t0).count();
            checking = std::chrono::duration<double>(Clock::now() - t1).count();
        });
        PyRef list = findings_list(findings, &parsed.document);
        if (!list) return nullptr;
        PyRef errors = py::error_list(parsed.document.errors);
        if (!errors) return nullptr;
        if (timing) return Py_BuildValue("(OOdd)", list.get(), errors.get(), reading, checking);
        return PyTuple_Pack(2, list.get(), errors.get());
    });
}

}  // namespace quarzel::ext
