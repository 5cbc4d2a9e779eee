#include <cstring>

#include "binding/args.hpp"
#include "binding/common.hpp"
#include "core/lexer.hpp"
#include "core/token.hpp"
#include "core/version.hpp"
#include "module/entry_points.hpp"

namespace quarzel::py {

namespace {

// A str from lexer text; ASCII text is copied straight into a compact str.
PyRef token_str(std::string_view text, bool ascii) {
    if (!ascii) return str(text);
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (s != nullptr && !text.empty()) std::memcpy(PyUnicode_DATA(s), text.data(), text.size());
    return PyRef::steal(s);
}

PyRef int_of(std::uint32_t v) {
    return PyRef::steal(PyLong_FromUnsignedLong(v));
}

// Enumeration members fetched by name from one class, each on first use.
template <std::size_t N>
class Members {
public:
    Members(PyObject* cls, const std::string_view (&names)[N]) : cls_(cls), names_(names) {}
    // Borrowed; NULL with the error set when the attribute is missing.
    PyObject* get(std::size_t code) {
        if (!members_[code]) members_[code] = attr(cls_, names_[code].data());
        return members_[code].get();
    }

private:
    PyObject* cls_;
    const std::string_view (&names_)[N];
    PyRef members_[N];
};

// Dicts with fixed keys in a fixed order. Each is copied from a template
// that already holds every key, so filling it never grows its table.
template <std::size_t N>
class DictShape {
public:
    explicit DictShape(const char* const (&keys)[N]) {
        PyRef d = PyRef::steal(PyDict_New());
        if (!d) return;
        for (std::size_t i = 0; i < N; ++i) {
            keys_[i] = PyRef::steal(PyUnicode_InternFromString(keys[i]));
            if (!keys_[i] || PyDict_SetItem(d.get(), keys_[i].get(), Py_None) < 0) return;
        }
        template_ = std::move(d);
    }
    // False with the error set when the keys could not be made.
    bool ok() const noexcept { return static_cast<bool>(template_); }

    PyRef make(PyObject* const (&values)[N]) const {
        PyRef d = PyRef::steal(PyDict_Copy(template_.get()));
        if (!d) return {};
        for (std::size_t i = 0; i < N; ++i)
            if (PyDict_SetItem(d.get(), keys_[i].get(), values[i]) < 0) return {};
        return d;
    }

private:
    PyRef keys_[N];
    PyRef template_;
};

}  // namespace

QUARZEL_ENTRY(py_lex_cif) {
    (void)self;
    return guarded([&]() -> PyObject* {
        static const Signature sig{"lex_cif", {"source", "mode"}, 1};
        PyObject* a[2];
        if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
        std::string_view source;
        if (!str_argument("source", a[0], source)) return nullptr;
        std::string_view mode;
        bool has_mode = false;
        if (!optional_str_argument("mode", a[1], mode, has_mode)) return nullptr;

        // The version-detection errors are not part of the token listing.
        const VersionResult detected = detect_version(source);
        CifVersion version = detected.version;
        if (has_mode) {
            if (mode == "cif1" || mode == "cif1.1")
                version = CifVersion::Cif11;
            else if (mode == "cif2" || mode == "cif2.0")
                version = CifVersion::Cif20;
        }

        PyRef types = import_types();
        if (!types) return nullptr;
        PyRef value_type_cls = attr(types.get(), "ValueType");
        if (!value_type_cls) return nullptr;
        PyRef token_type_cls = attr(types.get(), "TokenType");
        if (!token_type_cls) return nullptr;
        PyRef version_cls = attr(types.get(), "CifVersion");
        if (!version_cls) return nullptr;

        const TokenList list = tokenise(Lexer(detected.text, version, detected.line_offset));

        Members token_types(token_type_cls.get(), kTokenTypeNames);
        Members value_types(value_type_cls.get(), kValueTypeNames);
        static const char* const token_key_names[] = {"token_type", "value",  "value_type",
                                                      "line",       "column", "errors"};
        static const char* const error_key_names[] = {"message", "line", "column", "context"};
        const DictShape token_shape(token_key_names);
        if (!token_shape.ok()) return nullptr;
        const DictShape error_shape(error_key_names);
        if (!error_shape.ok()) return nullptr;

        GcPause pause;
        PyRef tokens = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(list.tokens.size())));
        if (!tokens) return nullptr;
        for (std::size_t i = 0; i < list.tokens.size(); ++i) {
            const Token& t = list.tokens[i];
            PyObject* token_type = token_types.get(static_cast<std::size_t>(t.type));
            if (!token_type) return nullptr;
            PyObject* value_type = Py_None;
            if (t.value_type != ValueType::None) {
                value_type = value_types.get(static_cast<std::size_t>(t.value_type));
                if (!value_type) return nullptr;
            }
            PyRef value = token_str(t.value, t.ascii);
            PyRef line = int_of(t.line);
            PyRef column = int_of(t.column);
            if (!value || !line || !column) return nullptr;

            const auto token_errors = list.errors_of(t);
            PyRef errors = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(token_errors.size())));
            if (!errors) return nullptr;
            for (std::size_t k = 0; k < token_errors.size(); ++k) {
                const LexerError& e = token_errors[k];
                PyRef message = str(e.message);
                PyRef e_line = int_of(e.line);
                PyRef e_column = int_of(e.column);
                PyRef context = str(e.context);
                if (!message || !e_line || !e_column || !context) return nullptr;
                PyRef d =
                    error_shape.make({message.get(), e_line.get(), e_column.get(), context.get()});
                if (!d) return nullptr;
                PyList_SET_ITEM(errors.get(), static_cast<Py_ssize_t>(k), d.release());
            }

            PyRef d = token_shape.make(
                {token_type, value.get(), value_type, line.get(), column.get(), errors.get()});
            if (!d) return nullptr;
            PyList_SET_ITEM(tokens.get(), static_cast<Py_ssize_t>(i), d.release());
        }

        PyRef member =
            attr(version_cls.get(), version == CifVersion::Cif20 ? "CIF_2_0" : "CIF_1_1");
        if (!member) return nullptr;
        PyRef result = PyRef::steal(PyTuple_New(2));
        if (!result) return nullptr;
        PyTuple_SET_ITEM(result.get(), 0, tokens.release());
        PyTuple_SET_ITEM(result.get(), 1, member.release());
        return result.release();
    });
}

}  // namespace quarzel::py
