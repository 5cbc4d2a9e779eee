#include "binding/convert.hpp"

#include <cstring>
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
    for (std::size_t i = 0; i < n; ++i) {
        ValueColumn::Ref r = col[i];
        PyRef item = r.compound ? value(*r.compound, r.root) : text(r.text);
        if (!item) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
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
