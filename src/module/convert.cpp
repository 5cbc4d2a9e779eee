#include "convert.hpp"

#include <cstring>
#include <vector>

#include "args.hpp"

namespace quarzel::py {

namespace {

bool is_ascii(std::string_view s) noexcept {
    const char* p = s.data();
    std::size_t n = s.size();
    std::uint64_t acc = 0;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        acc |= w;
    }
    for (; n > 0; ++p, --n) acc |= static_cast<unsigned char>(*p);
    return (acc & 0x8080808080808080ull) == 0;
}

std::uint64_t load64(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

std::uint32_t load32(const char* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

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

PyRef Converter::value(const RawValue& v) {
    if (v.is_scalar()) return text(v.text());
    return compound(v);
}

// Depth-first with an explicit stack: each frame is one list or dict being
// filled, `next` the index of its next element.
PyRef Converter::compound(const RawValue& root) {
    struct Frame {
        const RawValue* value;
        PyRef obj;
        std::size_t next;
    };
    auto open = [](const RawValue& v) -> PyRef {
        if (v.kind() == RawValue::Kind::List)
            return PyRef::steal(PyList_New(static_cast<Py_ssize_t>(v.items().size())));
        return PyRef::steal(PyDict_New());
    };
    std::vector<Frame> stack;
    PyRef obj = open(root);
    if (!obj) return {};
    stack.push_back({&root, std::move(obj), 0});
    // Stores `child` as the next element of the innermost frame.
    auto attach = [&](PyRef child) -> bool {
        Frame& f = stack.back();
        if (f.value->kind() == RawValue::Kind::List) {
            PyList_SET_ITEM(f.obj.get(), static_cast<Py_ssize_t>(f.next), child.release());
        } else {
            PyRef key = text(f.value->entries()[f.next].key);
            if (!key || PyDict_SetItem(f.obj.get(), key.get(), child.get()) < 0) return false;
        }
        ++f.next;
        return true;
    };
    while (true) {
        Frame& f = stack.back();
        const bool is_list = f.value->kind() == RawValue::Kind::List;
        const std::size_t n = is_list ? f.value->items().size() : f.value->entries().size();
        if (f.next == n) {
            PyRef done = std::move(f.obj);
            stack.pop_back();
            if (stack.empty()) return done;
            if (!attach(std::move(done))) return {};
            continue;
        }
        const RawValue& child =
            is_list ? f.value->items()[f.next] : f.value->entries()[f.next].value;
        if (child.is_scalar()) {
            PyRef s = text(child.text());
            if (!s || !attach(std::move(s))) return {};
        } else {
            PyRef c = open(child);
            if (!c) return {};
            stack.push_back({&child, std::move(c), 0});
        }
    }
}

PyRef Converter::column(const ValueColumn& col) {
    const std::size_t n = col.size();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return {};
    for (std::size_t i = 0; i < n; ++i) {
        ValueColumn::Ref r = col[i];
        PyRef item = r.compound ? compound(*r.compound) : text(r.text);
        if (!item) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

PyRef Converter::text_list(const std::vector<std::string>& texts) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyRef s = text(texts[i]);
        if (!s) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s.release());
    }
    return list;
}

PyRef raw_value_to_python(const RawValue& value) {
    Converter c;
    return c.value(value);
}

PyRef column_to_list(const ValueColumn& column) {
    Converter c;
    return c.column(column);
}

}  // namespace quarzel::py
