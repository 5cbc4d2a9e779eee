#include "binding/convert.hpp"

#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "core/ascii.hpp"
#include "core/short_copy.hpp"

namespace quarzel::py {

namespace {

using ascii::is_ascii;

// Two words that, with the size, determine a text of at most 16 bytes:
// overlapping first and last 8 (or 4) bytes, or the bytes themselves.
void short_key(std::string_view s, std::uint64_t& a, std::uint64_t& b) noexcept {
    const char* p = s.data();
    const std::size_t n = s.size();
    if (n >= 8) {
        a = load64(p);
        b = load64(p + n - 8);
    } else if (n >= 4) {
        a = load32(p);
        b = load32(p + n - 4);
    } else if (n > 0) {
        a = static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[n / 2]) << 8 |
            static_cast<unsigned char>(p[n - 1]) << 16;
        b = 0;
    } else {
        a = b = 0;
    }
}

}  // namespace

Converter::Converter() : cache_(std::make_unique<std::array<Slot, kSlots>>()) {}
Converter::~Converter() = default;

PyRef Converter::fresh(std::string_view s) {
    if (is_ascii(s)) {
        PyRef obj = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127));
        if (obj && !s.empty()) std::memcpy(PyUnicode_1BYTE_DATA(obj.get()), s.data(), s.size());
        return obj;
    }
    return PyRef::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

PyRef Converter::text(std::string_view s) {
    if (s.size() > kMaxCached) return fresh(s);
    std::uint64_t a, b;
    short_key(s, a, b);
    const std::uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ull) ^ s.size()) * 0xFF51AFD7ED558CCDull;
    Slot& slot = (*cache_)[static_cast<std::size_t>(h >> (64 - kSlotBits))];
    if (slot.a == a && slot.b == b && slot.size == s.size() && slot.str)
        return PyRef::borrow(slot.str.get());
    PyRef obj;
    if (s.size() >= 4 && is_ascii(s)) {
        // The key words hold every byte: store them instead of copying.
        obj = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127));
        if (!obj) return obj;
        char* dst = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(obj.get()));
        if (s.size() >= 8) {
            std::memcpy(dst, &a, 8);
            std::memcpy(dst + s.size() - 8, &b, 8);
        } else {
            auto a4 = static_cast<std::uint32_t>(a), b4 = static_cast<std::uint32_t>(b);
            std::memcpy(dst, &a4, 4);
            std::memcpy(dst + s.size() - 4, &b4, 4);
        }
    } else {
        obj = fresh(s);
    }
    if (!obj) return obj;
    slot.str = PyRef::borrow(obj.get());
    slot.a = a;
    slot.b = b;
    slot.size = s.size();
    return obj;
}

// Each list or dict is created when its walk opens it and attached to its
// parent when it closes, so that a value nested to any depth converts.
PyRef Converter::value(const NodeStore& nodes, std::size_t root) {
    struct Builder {
        Converter& c;
        struct Open {
            PyRef obj;
            bool is_list;
            Py_ssize_t index;  // lists: the place of the element being built
            PyRef key;         // dicts: the key of the element being built
        };
        std::vector<Open> stack;
        PyRef result;
        // Stores a finished element in the innermost list or dict.
        bool attach(PyRef item) {
            if (stack.empty()) {
                result = std::move(item);
                return true;
            }
            Open& top = stack.back();
            if (top.is_list) {
                PyList_SET_ITEM(top.obj.get(), top.index, item.release());
                return true;
            }
            return PyDict_SetItem(top.obj.get(), top.key.get(), item.get()) == 0;
        }
        bool text(std::string_view t) {
            PyRef s = c.text(t);
            return s && attach(std::move(s));
        }
        bool open(NodeKind kind, std::uint64_t count) {
            const bool is_list = kind == NodeKind::List;
            PyRef obj =
                PyRef::steal(is_list ? PyList_New(static_cast<Py_ssize_t>(count)) : PyDict_New());
            if (!obj) return false;
            stack.push_back({std::move(obj), is_list, 0, {}});
            return true;
        }
        bool close(NodeKind) {
            PyRef done = std::move(stack.back().obj);
            stack.pop_back();
            return attach(std::move(done));
        }
        bool element(bool in_table, std::uint64_t index, std::string_view key) {
            Open& top = stack.back();
            if (!in_table) {
                top.index = static_cast<Py_ssize_t>(index);
                return true;
            }
            top.key = c.text(key);
            return static_cast<bool>(top.key);
        }
    } builder{*this, {}, {}};
    if (!walk_value(nodes, root, builder)) return {};
    return std::move(builder.result);
}

PyRef Converter::column(const ValueColumn& col) {
    const std::size_t n = col.size();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return {};
    const std::span<const std::uint32_t> compounds = col.packed_compound_rows();
    std::size_t next = 0;  // of `compounds`
    for (std::size_t i = 0; i < n; ++i) {
        ValueColumn::Ref r = col[i];
        PyRef item;
        if (next < compounds.size() && compounds[next] == i) {
            ++next;
            item = cell(r.text);
        } else {
            item = r.compound ? value(*r.compound, r.root) : text(r.text);
        }
        if (!item) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

PyRef Converter::cell(std::string_view t) {
    // One pass, an explicit stack: values nested to any depth read back.
    struct Open {
        PyRef container;
        PyRef key;  // a table's key waiting for its value
    };
    std::vector<Open> stack;
    PyRef done;
    std::string scratch;
    // Adds a finished value to the innermost container, or keeps it as the
    // result; a table's key first waits for its value.
    auto place = [&](PyRef v, bool is_text) -> bool {
        if (stack.empty()) {
            done = std::move(v);
            return true;
        }
        Open& top = stack.back();
        if (PyList_Check(top.container.get())) return PyList_Append(top.container.get(), v.get()) == 0;
        if (!top.key && is_text) {
            top.key = std::move(v);
            return true;
        }
        const int rc = PyDict_SetItem(top.container.get(), top.key.get(), v.get());
        top.key = PyRef();
        return rc == 0;
    };
    std::size_t i = t.empty() || t[0] != '\0' ? 0 : 1;
    while (i < t.size()) {
        const char c = t[i];
        if (c == '[' || c == '{') {
            PyRef made = PyRef::steal(c == '[' ? PyList_New(0) : PyDict_New());
            if (!made) return {};
            stack.push_back({std::move(made), PyRef()});
            ++i;
        } else if (c == ']' || c == '}') {
            if (stack.empty()) break;
            PyRef finished = std::move(stack.back().container);
            stack.pop_back();
            if (!place(std::move(finished), false)) return {};
            ++i;
        } else if (c == '"') {
            scratch.clear();
            std::size_t k = i + 1;
            while (k < t.size() && t[k] != '"') {
                if (t[k] == '\\' && k + 1 < t.size()) {
                    const char e = t[k + 1];
                    scratch.push_back(e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e);
                    k += 2;
                } else {
                    scratch.push_back(t[k++]);
                }
            }
            PyRef s = text(scratch);
            if (!s || !place(std::move(s), true)) return {};
            i = k + 1;
        } else {
            ++i;  // ',' and ':'
        }
    }
    if (!done) done = PyRef::steal(PyList_New(0));
    return done;
}

PyRef Converter::name(std::string_view name) {
    auto it = names_.find(name);
    if (it != names_.end()) return PyRef::borrow(it->second.get());
    PyRef s = fresh(name);
    if (!s) return s;
    names_.emplace(name, PyRef::borrow(s.get()));
    return s;
}

PyRef Converter::name_list(std::span<const std::string_view> names) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyRef s = name(names[i]);
        if (!s) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s.release());
    }
    return list;
}

PyRef column_to_list(const ValueColumn& column) {
    Converter c;
    return c.column(column);
}

}  // namespace quarzel::py
