// write_cif(obj, kind, version, pdbx, line_limit) and check_name(name, kind):
// the binding of the CIF writer. It walks the object model (CifFile,
// CifBlock, CifSaveFrame through their fields) or a parse_raw dict and hands
// the core views of each str's UTF-8; the text grows inside the one str
// it becomes.
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/common.hpp"
#include "core/writer.hpp"
#include "ext/entry_points.hpp"
#include "ext/write_walker.hpp"

namespace quarzel::ext {
namespace {

// The text grows inside a str made for it (an ASCII str, resized as it
// grows and to its length at the end), so that it is never held twice.
// Large texts get a mapping of their own from the start, which the system
// can enlarge without copying and back with huge pages.
class StrOut final : public TextOut {
public:
    explicit StrOut(std::size_t expected) : expected_(expected) {}
    ~StrOut() override { Py_XDECREF(str_); }

    void restart() { size_ = 0; }

    // The text as a str (the one written into when it is ASCII).
    PyObject* finish(bool ascii) {
        if (str_ == nullptr) return PyUnicode_New(0, 127);
        if (!ascii)
            return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data_),
                                        static_cast<Py_ssize_t>(size_), "strict");
        if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(size_)) < 0) return nullptr;
        return std::exchange(str_, nullptr);
    }

private:
    // Large texts: beyond glibc's largest mmap threshold, a mapping of their
    // own, which grows without copying, with huge pages (one fault per 2 MiB;
    // the last, partly used page adds little). Smaller ones come from the
    // heap, whose memory is often at hand already.
    static constexpr std::size_t kLarge = std::size_t{16} << 20;
    static constexpr std::size_t kMapped = (std::size_t{32} << 20) + 4096;

    void grow(std::size_t more) override {
        std::size_t capacity = std::max({more + size_, capacity_ * 2, std::size_t{1} << 16});
        if (str_ == nullptr) {
            // Room to spare costs address space only (pages are used when
            // written): growing later might copy the text.
            capacity = std::max(capacity, expected_ + expected_ / 4 + 4096);
            if (capacity >= kLarge) capacity = std::max(capacity, kMapped);
            str_ = PyUnicode_New(static_cast<Py_ssize_t>(capacity), 127);
            if (str_ == nullptr) raise_set();
        } else {
            if (capacity >= kLarge) capacity = std::max(capacity, kMapped);
            if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(capacity)) < 0) raise_set();
        }
        data_ = static_cast<unsigned char*>(PyUnicode_DATA(str_));
        capacity_ = capacity;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (capacity >= kLarge) {
            constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
            const auto begin = (reinterpret_cast<std::uintptr_t>(data_) + kHuge - 1) & ~(kHuge - 1);
            const auto end = (reinterpret_cast<std::uintptr_t>(data_) + capacity) & ~(kHuge - 1);
            if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
        }
#endif
    }

    std::size_t expected_;
    PyObject* str_ = nullptr;
};

// A guess of the text's size from three values of each tag, without a look
// at every value. Anything unexpected is left to the writer to report.
std::size_t sample_width(PyObject* v) {
    return PyUnicode_Check(v) ? static_cast<std::size_t>(PyUnicode_GET_LENGTH(v)) + 1 : 8;
}

std::size_t expected_tags(PyObject* tags) {
    if (tags == nullptr || !PyDict_Check(tags)) return 0;
    std::size_t total = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *values;
    while (PyDict_Next(tags, &pos, &key, &values)) {
        if (PyUnicode_Check(key)) total += static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)) + 2;
        if (!PyList_Check(values)) continue;
        const Py_ssize_t n = PyList_GET_SIZE(values);
        if (n == 0) continue;
        const std::size_t sum = sample_width(PyList_GET_ITEM(values, 0)) +
                                sample_width(PyList_GET_ITEM(values, n / 2)) +
                                sample_width(PyList_GET_ITEM(values, n - 1));
        total += static_cast<std::size_t>(n) * sum / 3;
    }
    return total;
}

PyObject* field(PyObject* obj, const char* attr, const char* key, PyRef& keep) {
    if (PyDict_Check(obj)) {
        PyObject* found = nullptr;
        if (PyDict_GetItemStringRef(obj, key, &found) < 0) PyErr_Clear();
        keep = PyRef::steal(found);
    } else {
        keep = PyRef::steal(PyObject_GetAttrString(obj, attr));
        if (!keep) PyErr_Clear();
    }
    return keep.get();
}

std::size_t expected_frame(PyObject* frame, bool block) {
    PyRef tags, frames;
    std::size_t total = expected_tags(field(frame, "_tags", "tags", tags));
    if (!block) return total;
    PyObject* list = field(frame, "_save_frame_list", "save_frames", frames);
    if (list != nullptr && PyList_Check(list))
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
            total += expected_frame(PyList_GET_ITEM(list, i), false);
    return total;
}

std::size_t expected_size(PyObject* obj, Kind kind) {
    if (kind == Kind::Block) return expected_frame(obj, true);
    if (kind == Kind::Frame) return expected_frame(obj, false);
    PyRef blocks;
    PyObject* list = field(obj, "_block_list", "blocks", blocks);
    std::size_t total = 0;
    if (list != nullptr && PyList_Check(list))
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
            total += expected_frame(PyList_GET_ITEM(list, i), true);
    return total;
}

bool parse_kind(PyObject* obj, Kind& kind) {
    if (!PyUnicode_Check(obj)) {
        py::argument_type_error("kind", obj, "str");
        return false;
    }
    static constexpr std::pair<const char*, Kind> kKinds[] = {
        {"file", Kind::File}, {"block", Kind::Block}, {"frame", Kind::Frame}, {"raw", Kind::Raw}};
    for (const auto& [name, k] : kKinds) {
        if (PyUnicode_EqualToUTF8(obj, name)) {
            kind = k;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown kind %R", obj);
    return false;
}

}  // namespace

QUARZEL_EXT_ENTRY(py_write_cif) {
    (void)self;
    static const py::Signature sig{
        "write_cif", {"obj", "kind", "version", "pdbx", "line_limit"}, 5};
    PyObject* a[5];
    if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
    Kind kind;
    if (!parse_kind(a[1], kind)) return nullptr;
    WriteOptions options;
    if (a[2] == Py_None) {
        options.may_upgrade = true;
    } else if (PyUnicode_Check(a[2]) && PyUnicode_EqualToUTF8(a[2], "2.0")) {
        options.version = CifVersion::Cif20;
    } else if (!(PyUnicode_Check(a[2]) && PyUnicode_EqualToUTF8(a[2], "1.1"))) {
        PyErr_Format(PyExc_ValueError, "version must be None, '1.1' or '2.0', not %R", a[2]);
        return nullptr;
    }
    const int pdbx = PyObject_IsTrue(a[3]);
    if (pdbx < 0) return nullptr;
    options.style = pdbx ? WriteStyle::Pdbx : WriteStyle::Plain;
    const Py_ssize_t limit = PyLong_AsSsize_t(a[4]);
    if (limit == -1 && PyErr_Occurred()) return nullptr;
    if (limit < static_cast<Py_ssize_t>(kMinLineLimit)) {
        PyErr_Format(PyExc_ValueError, "line_limit must be at least %zu", kMinLineLimit);
        return nullptr;
    }
    options.line_limit = static_cast<std::size_t>(limit);
    PyObject* obj = a[0];
    return py::guarded([&]() -> PyObject* {
        const std::size_t expected = expected_size(obj, kind);
        StrOut out(pdbx ? expected + expected / 4 : expected);  // aligned columns
        CifWriter writer(options, &out);
        for (;;) {
            Walker walker(writer, pdbx != 0);
            try {
                walker.document(obj, kind);
                return out.finish(writer.ascii());
            } catch (const PyErrorSet&) {
                return nullptr;
            } catch (const NeedsCif2&) {
                // Written as CIF 1.1 until something needed CIF 2.0: again.
                options.version = CifVersion::Cif20;
                options.may_upgrade = false;
                out.restart();
                writer.reset(options);
            } catch (const WriteError& e) {
                try {
                    walker.raise_with_where(PyExc_ValueError, e.what());
                } catch (const PyErrorSet&) {
                }
                return nullptr;
            }
        }
    });
}

QUARZEL_EXT_ENTRY(py_check_name) {
    (void)self;
    static const py::Signature sig{"check_name", {"name", "kind"}, 2};
    PyObject* a[2];
    if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view name, kind;
    if (!py::str_argument("name", a[0], name) || !py::str_argument("kind", a[1], kind))
        return nullptr;
    NameKind k;
    if (kind == "block") {
        k = NameKind::Block;
    } else if (kind == "frame") {
        k = NameKind::SaveFrame;
    } else if (kind == "tag") {
        k = NameKind::Tag;
    } else {
        PyErr_Format(PyExc_ValueError, "unknown kind %R", a[1]);
        return nullptr;
    }
    return py::guarded([&]() -> PyObject* {
        try {
            check_name(name, k);
        } catch (const WriteError& e) {
            PyErr_Format(PyExc_ValueError, "%R: %s", a[0], e.what());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

}  // namespace quarzel::ext
