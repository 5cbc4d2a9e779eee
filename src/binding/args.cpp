#include "binding/args.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace quarzel::py {

namespace {

// Edit distance with the weights the interpreter uses for its "Did you
// mean" suggestions: a case-only difference costs 1, anything else 2.
Py_ssize_t edit_cost(std::string_view a, std::string_view b) {
    constexpr Py_ssize_t kMove = 2, kCase = 1;
    std::vector<Py_ssize_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = static_cast<Py_ssize_t>(j) * kMove;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        Py_ssize_t diag = row[0];
        row[0] = static_cast<Py_ssize_t>(i) * kMove;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            char x = a[i - 1], y = b[j - 1];
            Py_ssize_t sub = x == y ? 0 : (std::tolower(x) == std::tolower(y) ? kCase : kMove);
            Py_ssize_t best = std::min({diag + sub, row[j] + kMove, row[j - 1] + kMove});
            diag = row[j];
            row[j] = best;
        }
    }
    return row[b.size()];
}

const char* suggestion(const Signature& sig, std::string_view wrong) {
    const char* best = nullptr;
    Py_ssize_t best_cost = -1;
    for (const char* p : sig.params) {
        std::string_view cand = p;
        Py_ssize_t max_cost = (static_cast<Py_ssize_t>(wrong.size() + cand.size()) + 3) * 2 / 6;
        if (best_cost > 0) max_cost = std::min(max_cost, best_cost - 1);
        Py_ssize_t cost = edit_cost(wrong, cand);
        if (cost > max_cost) continue;
        if (best == nullptr || cost < best_cost) {
            best = p;
            best_cost = cost;
        }
    }
    return best;
}

std::string quoted_names(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** out) {
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(sig.params.size());
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const int self = sig.is_method ? 1 : 0;
    std::fill(out, out + nparams, nullptr);

    if (nargs > nparams) {
        Py_ssize_t lo = sig.required + self, hi = nparams + self, given = nargs + self;
        if (lo == hi)
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                         sig.name, hi, hi == 1 ? "" : "s", given, given == 1 ? "was" : "were");
        else
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zd to %zd positional arguments but %zd %s given",
                         sig.name, lo, hi, given, given == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return false;
            }
            Py_ssize_t len = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
            if (utf8 == nullptr) return false;
            std::string_view name(utf8, static_cast<std::size_t>(len));
            Py_ssize_t index = -1;
            Py_ssize_t i = 0;
            for (const char* p : sig.params) {
                if (name == p) index = i;
                ++i;
            }
            if (index < 0) {
                if (const char* s = suggestion(sig, name))
                    PyErr_Format(PyExc_TypeError,
                                 "%s() got an unexpected keyword argument '%U'. Did you mean '%s'?",
                                 sig.name, key, s);
                else
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                 sig.name, key);
                return false;
            }
            if (out[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                             sig.name, key);
                return false;
            }
            out[index] = args[nargs + k];
        }
    }

    std::vector<const char*> missing;
    Py_ssize_t i = 0;
    for (const char* p : sig.params) {
        if (i < sig.required && out[i] == nullptr) missing.push_back(p);
        ++i;
    }
    if (!missing.empty()) {
        std::string names = quoted_names(missing);
        PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s",
                     sig.name, static_cast<Py_ssize_t>(missing.size()),
                     missing.size() == 1 ? "" : "s", names.c_str());
        return false;
    }
    return true;
}

// The name Python shows for a type: its __name__ (no module path).
const char* type_name(PyObject* obj) {
    const char* full = Py_TYPE(obj)->tp_name;
    const char* dot = std::strrchr(full, '.');
    return dot ? dot + 1 : full;
}

std::nullptr_t argument_type_error(const char* param, PyObject* actual, const char* expected) {
    if (actual == Py_None)
        PyErr_Format(PyExc_TypeError, "argument '%s': 'None' is not an instance of '%s'", param,
                     expected);
    else
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not an instance of '%s'",
                     param, type_name(actual), expected);
    return nullptr;
}

std::nullptr_t type_error(PyObject* actual, const char* expected) {
    // No special wording for None here: that is for arguments only.
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", type_name(actual),
                 expected);
    return nullptr;
}

bool str_argument(const char* param, PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        argument_type_error(param, obj, "str");
        return false;
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (utf8 == nullptr) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(len));
    return true;
}

bool optional_str_argument(const char* param, PyObject* obj, std::string_view& out, bool& present) {
    present = false;
    out = {};
    if (obj == nullptr || obj == Py_None) return true;
    if (!str_argument(param, obj, out)) return false;
    present = true;
    return true;
}

bool strict_mode_argument(const char* param, PyObject* mode, bool& strict) {
    strict = false;
    if (mode == nullptr || mode == Py_None) return true;
    if (!PyUnicode_Check(mode)) {
        argument_type_error(param, mode, "str");
        return false;
    }
    strict = PyUnicode_EqualToUTF8(mode, "strict") == 1;
    return true;
}

bool source_and_mode(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::string_view& source, bool& strict) {
    PyObject* a[2];
    if (!bind(sig, args, nargs, kwnames, a)) return false;
    if (!PyUnicode_Check(a[0])) {
        argument_type_error("source", a[0], "str");
        return false;
    }
    return strict_mode_argument("mode", a[1], strict) && str_argument("source", a[0], source);
}

}  // namespace quarzel::py
