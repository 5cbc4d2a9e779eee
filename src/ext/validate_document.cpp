// validate_document(rules, document, links=0, su_multiplier=3.0,
// ignore_case=False, timing=False): checks a document read beforehand (a
// CifFile, or the dict parse_raw returns) against the rule set without
// writing it out and reading it again: the values' texts are copied once
// into one buffer and the native document the checks read is built over it
// (with the GIL held: the values are Python objects), then checked with the
// GIL released. Returns (findings, errors)
// as validate_text does, the findings without line and column (0) but in
// the order of the document as it would be written (tags in their order,
// a loop where its first tag stands, rows in order), the errors empty; or
// None for a document this way does not take (a value that is not a str,
// as CIF 2.0 lists and tables are, or a subclass of str; a loop of columns
// of unequal length or of no rows; an item with other than one value; two
// tags that differ only in case), which the caller then writes out and
// checks as text.
// timing=True adds the seconds spent copying and checking.
#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/common.hpp"
#include "core/lowercase.hpp"
#include "core/placeholders.hpp"
#include "ext/entry_points.hpp"
#include "ext/validate_shared.hpp"
#include "validate/checker.hpp"

namespace quarzel::ext {

using py::PyRef;

namespace {

// One frame as it would be written: its tags in the order they would
// stand, each with its list of values.
struct FrameCopy {
    std::string name;
    std::vector<std::string_view> tags;  // lower-cased, views of doc.names
    struct Tag {
        PyRef values;          // a list of str
        Py_ssize_t count = 0;  // its length when read
        std::uint32_t loop = FrameData::kNoLoop, place = 0;
    };
    std::vector<Tag> entries;
    std::vector<std::vector<std::string_view>> loops;
};

struct BlockCopy {
    FrameCopy data;
    std::vector<FrameCopy> frames;
};

// A frame's part: an attribute of a model object, or a key of a dict that
// parse_raw made. New reference, or null when the part is missing.
PyRef part(PyObject* obj, const char* key, const char* attribute) {
    if (PyDict_Check(obj)) {
        PyObject* v = PyDict_GetItemString(obj, key);
        return v ? PyRef::borrow(v) : PyRef();
    }
    PyRef v = PyRef::steal(PyObject_GetAttrString(obj, attribute));
    if (!v) PyErr_Clear();
    return v;
}

// The UTF-8 of an exact str (one with lone surrogates is not taken).
bool utf8(PyObject* s, std::string_view& out) {
    if (PyUnicode_IS_COMPACT_ASCII(s)) [[likely]] {
        out = {static_cast<const char*>(PyUnicode_DATA(s)),
               static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))};
        return true;
    }
    Py_ssize_t size = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &size);
    if (!p) {
        PyErr_Clear();
        return false;
    }
    out = {p, static_cast<std::size_t>(size)};
    return true;
}

// Copies `n` bytes, a few words at a time for the short texts most values
// are (the words overlap rather than pass either end).
inline void copy_short(char* dst, const char* src, std::size_t n) noexcept {
    if (n >= 8 && n <= 16) {
        std::uint64_t a, b;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + n - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4 && n < 8) {
        std::uint32_t a, b;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + n - 4, 4);
        std::memcpy(dst, &a, 4);
        std::memcpy(dst + n - 4, &b, 4);
    } else if (n > 0 && n < 4) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    } else if (n > 16) {
        std::memcpy(dst, src, n);
    }
}

// Reads a document's structure from Python objects and sizes its values,
// then builds the native document over one copy of them; both with the GIL
// held. Between the two no Python code runs for a CifFile or a dict (exact
// str, list and dict only); for other objects the values are checked again
// as they are copied.
class Copier {
public:
    explicit Copier(ParsedCif& doc) : doc_(doc) {}

    // False: not a document this way takes (no error set), or an error is
    // set (`failed`).
    bool read(PyObject* source) {
        PyRef blocks = part(source, "blocks", "_block_list");
        if (!blocks || !PyList_Check(blocks.get())) return false;
        const Py_ssize_t n = PyList_GET_SIZE(blocks.get());
        blocks_.resize(static_cast<std::size_t>(n));
        for (Py_ssize_t b = 0; b < n; ++b) {
            PyObject* block = PyList_GET_ITEM(blocks.get(), b);
            BlockCopy& copy = blocks_[static_cast<std::size_t>(b)];
            if (!frame(block, copy.data)) return false;
            PyRef frames = part(block, "save_frames", "_save_frame_list");
            if (!frames || !PyList_Check(frames.get())) return false;
            const Py_ssize_t m = PyList_GET_SIZE(frames.get());
            copy.frames.resize(static_cast<std::size_t>(m));
            for (Py_ssize_t s = 0; s < m; ++s)
                if (!frame(PyList_GET_ITEM(frames.get(), s),
                           copy.frames[static_cast<std::size_t>(s)]))
                    return false;
        }
        return true;
    }

    // The document: false when two tags of a frame differ only in case.
    bool build() {
        // 16 spare bytes: the checks may read a word past a value's end.
        std::string& text = doc_.arena.emplace_back(bytes_ + 16, '\0');
        base_ = text.data();
        size_ = bytes_;
        at_ = 0;
        doc_.blocks.resize(blocks_.size());
        for (std::size_t b = 0; b < blocks_.size(); ++b) {
            ParsedBlock& block = doc_.blocks[b];
            block.name = std::move(blocks_[b].data.name);
            if (!fill(blocks_[b].data, block.data)) return false;
            block.save_frames.resize(blocks_[b].frames.size());
            for (std::size_t s = 0; s < blocks_[b].frames.size(); ++s) {
                block.save_frames[s].name = std::move(blocks_[b].frames[s].name);
                if (!fill(blocks_[b].frames[s], block.save_frames[s].data)) return false;
            }
        }
        return true;
    }

    bool failed = false;  // a Python error is set

private:
    bool frame(PyObject* obj, FrameCopy& out) {
        PyRef name = part(obj, "name", "name");
        PyRef order = part(obj, "tag_order", "_tag_order");
        PyRef loops = part(obj, "loops", "_loops");
        PyRef tags = part(obj, "tags", "_tags");
        if (!name || !order || !loops || !tags || !PyUnicode_CheckExact(name.get()) ||
            !PyList_CheckExact(order.get()) || !PyList_CheckExact(loops.get()) ||
            !PyDict_CheckExact(tags.get()))
            return false;
        std::string_view name_text;
        if (!utf8(name.get(), name_text)) return false;
        lower_into(name_text, out.name);
        // Which loop each looped tag is in.
        const Py_ssize_t nloops = PyList_GET_SIZE(loops.get());
        PyRef looped = PyRef::steal(PyDict_New());
        if (!looped) return fail();
        for (Py_ssize_t l = 0; l < nloops; ++l) {
            PyObject* loop = PyList_GET_ITEM(loops.get(), l);
            if (!PyList_CheckExact(loop) || PyList_GET_SIZE(loop) == 0) return false;
            PyRef index = PyRef::steal(PyLong_FromSsize_t(l));
            if (!index) return fail();
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(loop); ++j) {
                PyObject* tag = PyList_GET_ITEM(loop, j);
                if (!PyUnicode_CheckExact(tag)) return false;
                const int known = PyDict_Contains(looped.get(), tag);
                if (known < 0) return fail();
                if (known) return false;  // a tag in two loops
                if (PyDict_SetItem(looped.get(), tag, index.get()) < 0) return fail();
            }
        }
        // As written: in the tag order, a loop where its first tag stands,
        // loops none of whose tags is in the order last.
        std::vector<char> loop_done(static_cast<std::size_t>(nloops), 0);
        const Py_ssize_t ntags = PyList_GET_SIZE(order.get());
        for (Py_ssize_t i = 0; i < ntags; ++i) {
            PyObject* tag = PyList_GET_ITEM(order.get(), i);
            if (!PyUnicode_CheckExact(tag)) return false;
            PyObject* l = PyDict_GetItemWithError(looped.get(), tag);
            if (!l && PyErr_Occurred()) return fail();
            if (!l) {
                if (!item(tags.get(), tag, FrameData::kNoLoop, 0, 1, out)) return false;
                continue;
            }
            const auto li = static_cast<std::size_t>(PyLong_AsSsize_t(l));
            if (loop_done[li]) continue;
            loop_done[li] = 1;
            if (!loop(tags.get(), PyList_GET_ITEM(loops.get(), static_cast<Py_ssize_t>(li)), out))
                return false;
        }
        for (Py_ssize_t l = 0; l < nloops; ++l)
            if (!loop_done[static_cast<std::size_t>(l)] &&
                !loop(tags.get(), PyList_GET_ITEM(loops.get(), l), out))
                return false;
        return true;
    }

    bool loop(PyObject* tags, PyObject* loop, FrameCopy& out) {
        const auto index = static_cast<std::uint32_t>(out.loops.size());
        out.loops.emplace_back();
        const Py_ssize_t width = PyList_GET_SIZE(loop);
        Py_ssize_t rows = -1;
        for (Py_ssize_t j = 0; j < width; ++j) {
            if (!item(tags, PyList_GET_ITEM(loop, j), index, static_cast<std::uint32_t>(j), 0, out))
                return false;
            const Py_ssize_t count = out.entries.back().count;
            if (rows >= 0 && count != rows) return false;
            rows = count;
            out.loops[index].push_back(out.tags.back());
        }
        return rows > 0;
    }

    // `tag` and its values: `want` of them (0: any number, for a loop's
    // column), each an exact str.
    bool item(PyObject* tags, PyObject* tag, std::uint32_t loop, std::uint32_t place,
              Py_ssize_t want, FrameCopy& out) {
        std::string_view name;
        if (!utf8(tag, name)) return false;
        PyObject* values = PyDict_GetItemWithError(tags, tag);
        if (!values) return PyErr_Occurred() ? fail() : false;
        if (!PyList_CheckExact(values)) return false;
        const Py_ssize_t n = PyList_GET_SIZE(values);
        if (want != 0 && n != want) return false;
        PyObject* const* items = PySequence_Fast_ITEMS(values);
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* v = items[k];
            if (!PyUnicode_CheckExact(v)) return false;
            if (PyUnicode_IS_COMPACT_ASCII(v)) [[likely]] {
                bytes_ += static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
                continue;
            }
            std::string_view t;
            if (!utf8(v, t)) return false;
            bytes_ += t.size();
        }
        out.entries.push_back({PyRef::borrow(values), n, loop, place});
        lower_into(name, scratch_);
        out.tags.push_back(doc_.names.emplace_back(scratch_));
        return true;
    }

    bool fill(FrameCopy& from, FrameData& to) {
        to.loops = std::move(from.loops);
        for (std::size_t i = 0; i < from.tags.size(); ++i) {
            if (to.position(from.tags[i]) != FrameData::npos) return false;  // alike in case
            const FrameCopy::Tag& e = from.entries[i];
            ValueColumn& col = to.add(from.tags[i], ValueColumn(base_, size_), e.loop, e.place);
            // Objects other than a CifFile or a dict may have run Python code
            // since read() (a property): what changed is left to the text.
            const Py_ssize_t n = PyList_GET_SIZE(e.values.get());
            if (n != e.count) return false;
            PyObject* const* items = PySequence_Fast_ITEMS(e.values.get());
            views_.resize(static_cast<std::size_t>(n));
            for (Py_ssize_t k = 0; k < n; ++k) {
                PyObject* v = items[k];
                std::string_view t;
                if (!PyUnicode_CheckExact(v)) [[unlikely]]
                    return false;
                if (PyUnicode_IS_COMPACT_ASCII(v)) [[likely]]
                    t = {static_cast<const char*>(PyUnicode_DATA(v)),
                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(v))};
                else if (!utf8(v, t))
                    return false;
                if (t.size() > bytes_ - at_) [[unlikely]]
                    return false;
                char* dst = base_ + at_;
                copy_short(dst, t.data(), t.size());
                views_[static_cast<std::size_t>(k)] = {dst, t.size()};
                at_ += t.size();
                // A quoted placeholder reads back as the builder keeps it.
                if (t.size() == 3 && t[0] == '"' && t[2] == '"' && (t[1] == '?' || t[1] == '.'))
                    [[unlikely]]
                    views_[static_cast<std::size_t>(k)] = quoted_placeholder(t[1]);
            }
            // Texts too long for a reference, and quoted placeholders, are
            // kept aside.
            for (std::size_t k = 0; k < views_.size();) {
                k = col.push_slices(views_, k, 1);
                if (k < views_.size()) col.push_text(views_[k++]);
            }
        }
        to.settle();
        return true;
    }

    bool fail() {
        failed = true;
        return false;
    }

    ParsedCif& doc_;
    std::vector<BlockCopy> blocks_;
    std::size_t bytes_ = 0;
    char* base_ = nullptr;
    std::size_t size_ = 0, at_ = 0;
    std::vector<std::string_view> views_;
    std::string scratch_;
};

// In place of line and column, where each finding would stand in the
// document as written, for the sort: the tag (or loop) in the frame's order,
// then the tag before its values, the values row by row.
void place_findings(std::vector<validate::Finding>& findings, const ParsedCif& doc) {
    for (validate::Finding& f : findings) {
        if (f.locate_tag.empty() || f.block >= doc.blocks.size()) continue;
        const ParsedBlock& b = doc.blocks[f.block];
        const FrameData* data = f.frame == validate::kNoIndex    ? &b.data
                                : f.frame < b.save_frames.size() ? &b.save_frames[f.frame].data
                                                                 : nullptr;
        if (!data) continue;
        const std::size_t p = data->position(f.locate_tag);
        if (p == FrameData::npos) continue;
        std::size_t anchor = p, width = 1, place = 0;
        for (const auto& loop : data->loops) {
            for (std::size_t j = 0; j < loop.size(); ++j)
                if (loop[j] == data->tag_order[p]) {
                    anchor = data->position(loop[0]);
                    width = loop.size();
                    place = j;
                }
        }
        const std::uint64_t row = f.row < 0 ? 0 : static_cast<std::uint64_t>(f.row);
        const std::uint64_t column = f.locate_value ? 1 + width + row * width + place : 1 + place;
        f.line = static_cast<std::uint32_t>(anchor + 1);
        f.column = static_cast<std::uint32_t>(column < 0xFFFFFFFFu ? column : 0xFFFFFFFFu);
    }
}

}  // namespace

QUARZEL_EXT_ENTRY(py_validate_document) {
    (void)self;
    static const py::Signature sig{
        "validate_document",
        {"rules", "document", "links", "su_multiplier", "ignore_case", "timing"},
        2};
    PyObject* a[6] = {};
    if (!py::bind(sig, args, nargs, kwnames, a)) return nullptr;
    auto rules = rules_of(a[0], "rules");
    if (!rules) return nullptr;
    validate::Options options;
    if (!read_options(a[2], a[3], a[4], nullptr, options)) return nullptr;
    const int timing = a[5] ? PyObject_IsTrue(a[5]) : 0;
    if (timing < 0) return nullptr;
    return py::guarded([&]() -> PyObject* {
        using Clock = std::chrono::steady_clock;
        const auto t0 = Clock::now();
        ParsedCif doc;
        Copier copy(doc);
        if (!copy.read(a[1]) || !copy.build()) {
            if (copy.failed) return nullptr;
            Py_RETURN_NONE;
        }
        const auto t1 = Clock::now();
        std::vector<validate::Finding> findings;
        py::without_gil([&] {
            findings = validate::check_document(doc, *rules, options);
            place_findings(findings, doc);
            validate::sort_findings(findings);
            for (validate::Finding& f : findings) f.line = f.column = 0;
        });
        const double copying = std::chrono::duration<double>(t1 - t0).count();
        const double checking = std::chrono::duration<double>(Clock::now() - t1).count();
        PyRef list = findings_list(findings, &doc);
        if (!list) return nullptr;
        PyRef errors = PyRef::steal(PyList_New(0));
        if (!errors) return nullptr;
        if (timing) return Py_BuildValue("(OOdd)", list.get(), errors.get(), copying, checking);
        return PyTuple_Pack(2, list.get(), errors.get());
    });
}

}  // namespace quarzel::ext
