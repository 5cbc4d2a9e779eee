// Shared pieces of the binding layer: the C++ exception boundary, the
// companion package look-ups and the error-record conversion.
#pragma once

#include "binding/pyref.hpp"

#include <exception>
#include <new>
#include <vector>

#include "core/error.hpp"
#include "core/version.hpp"

namespace quarzel::py {

// Runs `body` (returning PyObject*); turns any C++ exception into a Python
// error so that nothing C++ crosses into the interpreter.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected native failure");
        return nullptr;
    }
}

// `import quarzel.types` (a fresh import-system look-up at every call).
PyRef import_types();
// getattr(obj, name)
PyRef attr(PyObject* obj, const char* name);
// quarzel.types.CifVersion.CIF_1_1 or CIF_2_0.
PyRef version_member(CifVersion version);

// Lets other threads run Python while native work that touches no Python
// object runs: the GIL is released from construction to destruction, and
// taken back when the scope is left, by an exception too.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// Runs `work` (which must not touch Python objects) with the GIL released.
template <class F>
decltype(auto) without_gil(F&& work) {
    GilRelease released;
    return work();
}

// Keeps the cyclic garbage collector from running while a conversion
// creates its many containers (which form no cycles): every few hundred
// new lists and dicts would otherwise start a collection pass over them.
class GcPause {
public:
    GcPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_;
};

// A str from UTF-8 the core produced (always valid UTF-8).
PyRef str(std::string_view text);

// {"error_type", "message", "line", "column", "context", "recovery_action"}
PyRef error_dict(const NativeParseError& error);
PyRef error_list(const std::vector<NativeParseError>& errors);

}  // namespace quarzel::py
