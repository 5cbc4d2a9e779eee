// compile_ddl2(text, name, deposition=False): the rule-set text of a DDL2
// dictionary (None when the text holds no DDL2 definitions);
// compile_rules(text): a rule set (from the dictionary compiler's text) in a
// capsule, made once per dictionary and reused by every check;
// rules_info(rules): its dictionaries and the faults found in them.
#include <string>

#include "binding/args.hpp"
#include "binding/common.hpp"
#include "core/pipeline.hpp"
#include "ext/entry_points.hpp"
#include "ext/validate_shared.hpp"
#include "validate/checker.hpp"
#include "validate/compile_ddl2.hpp"
#include "validate/rules_text.hpp"

namespace quarzel::ext {

using py::PyRef;

namespace {

constexpr const char* kCapsuleName = "quarzel._native.Rules";

void free_rules(PyObject* capsule) {
    delete static_cast<std::shared_ptr<const validate::RuleSet>*>(
        PyCapsule_GetPointer(capsule, kCapsuleName));
}

PyRef optional_str(const std::string& s, bool none_if_empty) {
    if (none_if_empty && s.empty()) return PyRef::borrow(Py_None);
    return py::str(s);
}

}  // namespace

std::shared_ptr<const validate::RuleSet> rules_of(PyObject* capsule, const char* param) {
    if (!PyCapsule_IsValid(capsule, kCapsuleName)) {
        py::argument_type_error(param, capsule, "Rules");
        return nullptr;
    }
    return *static_cast<std::shared_ptr<const validate::RuleSet>*>(
        PyCapsule_GetPointer(capsule, kCapsuleName));
}

PyRef findings_list(const std::vector<validate::Finding>& findings, const ParsedCif* doc) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(findings.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < findings.size(); ++i) {
        const validate::Finding& f = findings[i];
        PyRef block = PyRef::borrow(Py_None), frame = PyRef::borrow(Py_None);
        if (doc && f.block < doc->blocks.size()) {
            const ParsedBlock& b = doc->blocks[f.block];
            block = py::str(b.name);
            if (f.frame < b.save_frames.size()) frame = py::str(b.save_frames[f.frame].name);
        }
        PyRef tags = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(f.tags.size())));
        if (!tags || !block || !frame) return {};
        for (std::size_t k = 0; k < f.tags.size(); ++k) {
            PyRef t = py::str(f.tags[k]);
            if (!t) return {};
            PyTuple_SET_ITEM(tags.get(), static_cast<Py_ssize_t>(k), t.release());
        }
        PyRef value = f.value ? py::str(*f.value) : PyRef::borrow(Py_None);
        PyRef row = f.row >= 0 ? PyRef::steal(PyLong_FromLongLong(f.row)) : PyRef::borrow(Py_None);
        PyRef dict = f.dict != validate::kNoIndex ? PyRef::steal(PyLong_FromUnsignedLong(f.dict))
                                                  : PyRef::borrow(Py_None);
        PyRef code = py::str(validate::code_name(f.code));
        PyRef severity = py::str(validate::severity_name(f.severity));
        PyRef message = py::str(f.message);
        PyRef category = optional_str(f.category, true);
        PyRef rule = py::str(f.rule);
        PyRef line = PyRef::steal(PyLong_FromUnsignedLong(f.line));
        PyRef column = PyRef::steal(PyLong_FromUnsignedLong(f.column));
        if (!value || !row || !dict || !code || !severity || !message || !category || !rule ||
            !line || !column)
            return {};
        PyObject* t = PyTuple_Pack(13, code.get(), severity.get(), message.get(), block.get(),
                                   frame.get(), category.get(), tags.get(), value.get(), row.get(),
                                   line.get(), column.get(), rule.get(), dict.get());
        if (!t) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
    }
    return list;
}

QUARZEL_EXT_ENTRY(py_compile_rules) {
    (void)self;
    static const py::Signature sig{"compile_rules", {"text"}, 1};
    PyObject* a[1] = {};
    if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view text;
    if (!py::str_argument("text", a[0], text)) return nullptr;
    return py::guarded([&]() -> PyObject* {
        std::shared_ptr<const validate::RuleSet> rules;
        try {
            rules = py::without_gil([&] { return validate::parse_rules(text); });
        } catch (const validate::RulesError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
            return nullptr;
        }
        auto* holder = new std::shared_ptr<const validate::RuleSet>(std::move(rules));
        PyObject* capsule = PyCapsule_New(holder, kCapsuleName, free_rules);
        if (!capsule) delete holder;
        return capsule;
    });
}

QUARZEL_EXT_ENTRY(py_compile_ddl2) {
    (void)self;
    static const py::Signature sig{"compile_ddl2", {"text", "name", "deposition"}, 2};
    PyObject* a[3] = {};
    if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view text, name;
    if (!py::str_argument("text", a[0], text) || !py::str_argument("name", a[1], name))
        return nullptr;
    const int deposition = a[2] ? PyObject_IsTrue(a[2]) : 0;
    if (deposition < 0) return nullptr;
    return py::guarded([&]() -> PyObject* {
        std::string rules;
        bool ddl2 = false;
        py::without_gil([&] {
            ParseResult parsed = parse_document(text, false);
            ddl2 = validate::is_ddl2(parsed.document);
            if (ddl2) rules = validate::compile_ddl2(parsed.document, name, deposition != 0);
        });
        if (!ddl2) Py_RETURN_NONE;
        return py::str(rules).release();
    });
}

QUARZEL_EXT_ENTRY(py_rules_info) {
    (void)self;
    static const py::Signature sig{"rules_info", {"rules"}, 1};
    PyObject* a[1] = {};
    if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
    auto rules = rules_of(a[0], "rules");
    if (!rules) return nullptr;
    return py::guarded([&]() -> PyObject* {
        PyRef dicts = PyRef::steal(PyList_New(0));
        if (!dicts) return nullptr;
        for (const validate::DictionaryInfo& d : rules->dictionaries) {
            PyRef label = py::str(d.label());
            if (!label || PyList_Append(dicts.get(), label.get()) < 0) return nullptr;
        }
        PyRef problems = findings_list(validate::dictionary_findings(*rules), nullptr);
        if (!problems) return nullptr;
        return Py_BuildValue("(OOn)", dicts.get(), problems.get(),
                             static_cast<Py_ssize_t>(rules->items.size()));
    });
}

}  // namespace quarzel::ext
