// parse(source, handler): the parser's events as method calls on a Python
// handler object.
#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "binding/args.hpp"
#include "binding/common.hpp"
#include "core/lexer.hpp"
#include "core/parser.hpp"
#include "core/token.hpp"
#include "core/version.hpp"
#include "module/entry_points.hpp"

namespace quarzel::py {

namespace {

enum Method : std::size_t {
    kOnDataBlock,
    kOnSaveFrameStart,
    kOnSaveFrameEnd,
    kOnLoopStart,
    kOnLoopEnd,
    kAddTag,
    kAddValue,
    kOnListStart,
    kOnListEnd,
    kOnTableStart,
    kOnTableKey,
    kOnTableEnd,
    kOnError,
    kMethodCount
};

constexpr const char* kMethodNames[kMethodCount] = {
    "on_data_block", "on_save_frame_start", "on_save_frame_end", "on_loop_start", "on_loop_end",
    "add_tag",       "add_value",           "on_list_start",     "on_list_end",   "on_table_start",
    "on_table_key",  "on_table_end",        "on_error"};

constexpr std::size_t kValueKinds = std::size(kValueTypeNames);

// Turns each event into one call on the handler. The first exception (from
// the handler, from building an argument, or from the error class) is kept,
// and every later event is dropped; the parse itself runs on to its end.
class PyEventSink {
public:
    // `handler` is borrowed for the sink's lifetime.
    PyEventSink(PyObject* handler, PyRef error_class, std::array<PyRef, kValueKinds> kinds)
        : handler_(handler), error_class_(std::move(error_class)), kinds_(std::move(kinds)) {}

    // Interns the method names; false with an exception set on failure.
    bool intern_names() {
        for (std::size_t i = 0; i < kMethodCount; ++i) {
            names_[i] = PyRef::steal(PyUnicode_InternFromString(kMethodNames[i]));
            if (!names_[i]) return false;
        }
        return true;
    }

    bool failed() const noexcept { return static_cast<bool>(failure_); }
    // Sets the stored exception as the current one.
    void raise() { PyErr_SetRaisedException(failure_.release()); }

    void on_data_block(std::string_view name) { call_text(kOnDataBlock, name); }
    void on_save_frame_start(std::string_view name) { call_text(kOnSaveFrameStart, name); }
    void on_save_frame_end() { call(kOnSaveFrameEnd, {}); }
    void on_loop_start(std::span<const std::string_view> tags) {
        if (failed()) return;
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(tags.size())));
        if (!list) return store();
        for (std::size_t i = 0; i < tags.size(); ++i) {
            PyRef tag = str(tags[i]);
            if (!tag) return store();
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tag.release());
        }
        PyObject* args[] = {list.get()};
        call(kOnLoopStart, args);
    }
    void on_loop_end() { call(kOnLoopEnd, {}); }
    void add_tag(std::string_view tag) { call_text(kAddTag, tag); }
    void add_value(std::string_view value, ValueType kind) {
        call_text_kind(kAddValue, value, kind);
    }
    void on_list_start() { call(kOnListStart, {}); }
    void on_list_end() { call(kOnListEnd, {}); }
    void on_table_start() { call(kOnTableStart, {}); }
    void on_table_key(std::string_view key, ValueType kind) {
        call_text_kind(kOnTableKey, key, kind);
    }
    void on_table_end() { call(kOnTableEnd, {}); }

    void on_parse_error(const NativeParseError& e) {
        if (failed()) return;
        PyRef fields[] = {str(error_type_name(e.error_type)),
                          str(e.message),
                          PyRef::steal(PyLong_FromUnsignedLong(e.line)),
                          PyRef::steal(PyLong_FromUnsignedLong(e.column)),
                          str(e.context),
                          str(e.recovery_action)};
        PyObject* args[6];
        for (std::size_t i = 0; i < 6; ++i) {
            if (!fields[i]) return store();
            args[i] = fields[i].get();
        }
        PyRef error = PyRef::steal(PyObject_Vectorcall(error_class_.get(), args, 6, nullptr));
        if (!error) return store();
        PyObject* call_args[] = {error.get()};
        call(kOnError, call_args);
    }

private:
    void store() { failure_ = PyRef::steal(PyErr_GetRaisedException()); }

    // handler.<method>(*args)
    void call(Method method, std::span<PyObject* const> args) {
        if (failed()) return;
        // One free slot before `self` lets the call prepend without copying.
        PyObject* slots[4] = {nullptr, handler_};
        for (std::size_t i = 0; i < args.size(); ++i) slots[2 + i] = args[i];
        PyRef result = PyRef::steal(
            PyObject_VectorcallMethod(names_[method].get(), slots + 1,
                                      (1 + args.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!result) store();
    }

    void call_text(Method method, std::string_view text) {
        if (failed()) return;
        PyRef arg = str(text);
        if (!arg) return store();
        PyObject* args[] = {arg.get()};
        call(method, args);
    }

    void call_text_kind(Method method, std::string_view text, ValueType kind) {
        if (failed()) return;
        PyRef arg = str(text);
        if (!arg) return store();
        const auto code = static_cast<std::size_t>(kind);
        PyObject* args[] = {arg.get(), kinds_[code < kValueKinds ? code : 5].get()};
        call(method, args);
    }

    PyObject* handler_;
    PyRef error_class_;
    std::array<PyRef, kValueKinds> kinds_;
    std::array<PyRef, kMethodCount> names_;
    PyRef failure_;
};

}  // namespace

QUARZEL_ENTRY(py_parse) {
    (void)self;
    return guarded([&]() -> PyObject* {
        static const Signature sig{"parse", {"source", "handler"}, 2};
        PyObject* a[2];
        if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
        std::string_view source;
        if (!str_argument("source", a[0], source)) return nullptr;
        PyObject* handler = a[1];

        // Every name the events need, before anything is called.
        PyRef error_class;
        std::array<PyRef, kValueKinds> kinds;
        {
            PyRef types = import_types();
            if (!types) return nullptr;
            error_class = attr(types.get(), "ParseError");
            if (!error_class) return nullptr;
            PyRef value_type = attr(types.get(), "ValueType");
            if (!value_type) return nullptr;
            for (std::size_t i = 0; i < kValueKinds; ++i) {
                kinds[i] = attr(value_type.get(), kValueTypeNames[i].data());
                if (!kinds[i]) return nullptr;
            }
        }
        PyEventSink sink(handler, std::move(error_class), std::move(kinds));
        if (!sink.intern_names()) return nullptr;

        const VersionResult detected = detect_version(source);
        for (const NativeParseError& e : detected.errors) sink.on_parse_error(e);
        Lexer lexer(detected.text, detected.version, detected.line_offset);
        parse(lexer, sink);

        if (sink.failed()) {
            sink.raise();
            return nullptr;
        }
        return version_member(detected.version).release();
    });
}

}  // namespace quarzel::py
