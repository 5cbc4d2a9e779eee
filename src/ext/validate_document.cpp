// validate_document(rules, document, links=0, su_multiplier=3.0,
// ignore_case=False, timing=False): checks a document read beforehand (a
// CifFile, or the dict parse_raw returns) against the rule set without
// writing it out and reading it again: the values' texts are copied once,
// each column's together, and the native document the checks read is built
// over them (with the GIL held: the values are Python objects), then checked
// with the GIL released. Returns (findings, errors)
// as validate_text does, the findings without line and column (0) but in
// the order of the document as it would be written (tags in their order,
// a loop where its first tag stands, rows in order), the errors empty; or
// None for a document this way does not take (a value that is not a str,
// as CIF 2.0 lists and tables are, or a subclass of str; a loop of columns
// of unequal length or of no rows; an item with other than one value; two
// tags that differ only in case), which the caller then writes out and
// checks as text.
// timing=True adds the seconds spent copying and checking.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/common.hpp"
#include "core/lowercase.hpp"
#include "core/name_index.hpp"
#include "core/placeholders.hpp"
#include "ext/entry_points.hpp"
#include "ext/validate_shared.hpp"
#include "module/model_parts.hpp"
#include "validate/checker.hpp"

namespace quarzel::ext {

using py::PyRef;

namespace {

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
// are (the words overlap rather than pass either end); 4 to 7 bytes, the
// commonest, tested first.
inline void copy_short(char* dst, const char* src, std::size_t n) noexcept {
    if (n - 4 < 4) {
        std::uint32_t a, b;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + n - 4, 4);
        std::memcpy(dst, &a, 4);
        std::memcpy(dst + n - 4, &b, 4);
    } else if (n - 8 <= 8) {
        std::uint64_t a, b;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + n - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + n - 8, &b, 8);
    } else if (n > 0 && n < 4) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    } else if (n > 16) {
        std::memcpy(dst, src, n);
    }
}

// The object model's classes, once quarzel_core has made them (none can
// exist before): their instances' parts are read from the instance itself.
struct ModelTypes {
    PyTypeObject *file = nullptr, *block = nullptr, *save_frame = nullptr;
};

const ModelTypes& model_types() {
    static ModelTypes types;
    if (types.file) return types;
    PyRef name = PyRef::steal(PyUnicode_InternFromString("quarzel_core"));
    PyRef module = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
    if (!module) {
        PyErr_Clear();
        return types;
    }
    PyTypeObject* found[3] = {};
    const char* names[3] = {"CifFile", "CifBlock", "CifSaveFrame"};
    for (int i = 0; i < 3; ++i) {
        PyObject* t = PyObject_GetAttrString(module.get(), names[i]);
        if (!t || !PyType_Check(t)) {
            PyErr_Clear();
            Py_XDECREF(t);
            return types;
        }
        found[i] = reinterpret_cast<PyTypeObject*>(t);  // kept for the process
    }
    types = {found[0], found[1], found[2]};
    return types;
}

// Builds the native document over copies of a document's values, with the
// GIL held, in two steps: first the parts of every frame (the tag order, the
// loops and the dict of values), then each column's values sized and copied
// in one pass. The second step touches only exact str, list and dict and
// makes no Python object, so no Python code runs (not even the collector)
// while it reads the lists it borrows from the parts it holds.
//
// A CifFile's parts (and those of its blocks and frames) are read from the
// instances, a parse_raw dict's from its keys: neither runs Python code. Any
// other object's attributes may, and change the values of a frame read
// before: once one is read, each frame's columns are sized as its parts are
// read and must be the same size when copied, or the document is left to the
// text (as it is when such an object comes after frames that were not sized).
class Copier {
public:
    explicit Copier(ParsedCif& doc) : doc_(doc), types_(model_types()) {}

    // False: not a document this way takes (no error set), or an error is
    // set (`failed`).
    bool copy(PyObject* source) {
        if (!collect(source)) return false;
        std::size_t f = 0;
        for (ParsedBlock& block : doc_.blocks) {
            if (!build(parts_[f++], block.data)) return false;
            for (ParsedSaveFrame& frame : block.save_frames)
                if (!build(parts_[f++], frame.data)) return false;
        }
        return true;
    }

    bool failed = false;  // a Python error is set

private:
    // A frame's parts, held, and where its columns' sizes as read begin in
    // sizes_ (npos: not sized).
    struct Parts {
        PyRef order, loops, tags;
        std::size_t sizes = kNotSized;
    };
    static constexpr std::size_t kNotSized = static_cast<std::size_t>(-1);

    // The part an attribute of `obj` gives, or a key of a parse_raw dict.
    // False (nothing set) for a document this way does not take: one whose
    // attributes may run code once a frame that was not sized is read.
    bool get(PyObject* obj, const char* key, const char* attribute, PyRef& out) {
        if (!PyDict_Check(obj)) {
            if (unsized_ > 0) return false;
            may_run_code_ = true;
        }
        out = part(obj, key, attribute);
        return true;
    }

    // The parts of every block and frame, in document order.
    bool collect(PyObject* source) {
        PyRef blocks;
        if (Py_IS_TYPE(source, types_.file)) {
            const auto* file = reinterpret_cast<const py::model::File*>(source);
            if (file->borrow < 0) return false;
            blocks = PyRef::borrow(file->block_list);
        } else if (!get(source, "blocks", "_block_list", blocks)) {
            return false;
        }
        if (!blocks || !PyList_Check(blocks.get())) return false;
        const Py_ssize_t n = PyList_GET_SIZE(blocks.get());
        doc_.blocks.resize(static_cast<std::size_t>(n));
        for (Py_ssize_t b = 0; b < n; ++b) {
            // Attributes read may have changed the list.
            if (b >= PyList_GET_SIZE(blocks.get())) return false;
            PyRef block = PyRef::borrow(PyList_GET_ITEM(blocks.get(), b));
            ParsedBlock& out = doc_.blocks[static_cast<std::size_t>(b)];
            if (!frame(block.get(), types_.block, out.name)) return false;
            PyRef frames;
            if (Py_IS_TYPE(block.get(), types_.block)) {
                const auto* native = reinterpret_cast<const py::model::Block*>(block.get());
                if (native->borrow < 0) return false;
                frames = PyRef::borrow(native->save_frame_list);
            } else if (!get(block.get(), "save_frames", "_save_frame_list", frames)) {
                return false;
            }
            if (!frames || !PyList_Check(frames.get())) return false;
            const Py_ssize_t m = PyList_GET_SIZE(frames.get());
            out.save_frames.resize(static_cast<std::size_t>(m));
            for (Py_ssize_t s = 0; s < m; ++s) {
                if (s >= PyList_GET_SIZE(frames.get())) return false;
                PyRef save = PyRef::borrow(PyList_GET_ITEM(frames.get(), s));
                if (!frame(save.get(), types_.save_frame,
                           out.save_frames[static_cast<std::size_t>(s)].name))
                    return false;
            }
        }
        return PyList_GET_SIZE(blocks.get()) == n;
    }

    // One frame's name and parts.
    bool frame(PyObject* obj, PyTypeObject* native_type, std::string& name) {
        Parts& p = parts_.emplace_back();
        if (Py_IS_TYPE(obj, native_type)) {
            const auto* native = reinterpret_cast<const py::model::Frame*>(obj);
            if (native->borrow < 0) return false;
            lower_into(native->name, name);
            p.order = PyRef::borrow(native->tag_order);
            p.loops = PyRef::borrow(native->loops);
            p.tags = PyRef::borrow(native->tags);
        } else {
            PyRef name_obj;
            if (!get(obj, "name", "name", name_obj) ||
                !get(obj, "tag_order", "_tag_order", p.order) ||
                !get(obj, "loops", "_loops", p.loops) || !get(obj, "tags", "_tags", p.tags))
                return false;
            std::string_view name_text;
            if (!name_obj || !PyUnicode_CheckExact(name_obj.get()) ||
                !utf8(name_obj.get(), name_text))
                return false;
            lower_into(name_text, name);
        }
        if (!may_run_code_) {
            ++unsized_;
            return true;
        }
        // Code that reading later parts runs may change this frame's values:
        // their sizes as they are now, which the copies must have.
        p.sizes = sizes_.size();
        sizing_ = true;
        const bool ok = walk(p, nullptr);
        sizing_ = false;
        return ok;
    }

    bool build(const Parts& p, FrameData& to) {
        next_size_ = p.sizes;
        if (!walk(p, &to)) return false;
        to.settle();
        return true;
    }

    // The columns of a frame as it would be written: in the tag order, a
    // loop where its first tag stands, loops none of whose tags is in the
    // order last. Sizes them (`sizing_`) or copies them into `to`.
    bool walk(const Parts& p, FrameData* to) {
        if (!p.order || !p.loops || !p.tags || !PyList_CheckExact(p.order.get()) ||
            !PyList_CheckExact(p.loops.get()) || !PyDict_CheckExact(p.tags.get()))
            return false;
        PyObject* const tags = p.tags.get();
        PyObject* const loops = p.loops.get();
        // Which loop each looped tag is in (the tags as given: a dict's keys).
        const Py_ssize_t nloops = PyList_GET_SIZE(loops);
        looped_names_.clear();
        looped_in_.clear();
        looped_index_.clear();
        for (Py_ssize_t l = 0; l < nloops; ++l) {
            PyObject* loop = PyList_GET_ITEM(loops, l);
            if (!PyList_CheckExact(loop) || PyList_GET_SIZE(loop) == 0) return false;
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(loop); ++j) {
                PyObject* tag = PyList_GET_ITEM(loop, j);
                std::string_view t;
                if (!PyUnicode_CheckExact(tag) || !utf8(tag, t)) return false;
                const std::uint64_t h = NameIndex::hash(t);
                if (looped_index_.find(looped_names_, t, h) != NameIndex::npos)
                    return false;  // a tag in two loops
                looped_names_.push_back(t);
                looped_in_.push_back(static_cast<std::size_t>(l));
                looped_index_.appended(looped_names_, h);
            }
        }
        loop_done_.assign(static_cast<std::size_t>(nloops), 0);
        PyObject* const order = p.order.get();
        if (to) {
            // Room for every column at once (the dict holds each tag once).
            const auto n = static_cast<std::size_t>(PyDict_GET_SIZE(tags));
            to->tag_order.reserve(n);
            to->tag_offsets.reserve(n);
            to->columns.reserve(n);
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(order); ++i) {
            PyObject* tag = PyList_GET_ITEM(order, i);
            std::string_view t;
            if (!PyUnicode_CheckExact(tag) || !utf8(tag, t)) return false;
            const std::size_t at = looped_index_.find(looped_names_, t);
            if (at == NameIndex::npos) {
                if (!column(tags, tag, FrameData::kNoLoop, 0, to)) return false;
                continue;
            }
            const std::size_t l = looped_in_[at];
            if (loop_done_[l]) continue;
            loop_done_[l] = 1;
            if (!loop(tags, PyList_GET_ITEM(loops, static_cast<Py_ssize_t>(l)), to)) return false;
        }
        for (Py_ssize_t l = 0; l < nloops; ++l)
            if (!loop_done_[static_cast<std::size_t>(l)] &&
                !loop(tags, PyList_GET_ITEM(loops, l), to))
                return false;
        return true;
    }

    bool loop(PyObject* tags, PyObject* loop, FrameData* to) {
        const std::uint32_t index = to ? static_cast<std::uint32_t>(to->loops.size()) : 0;
        if (to) to->loops.emplace_back();
        const Py_ssize_t width = PyList_GET_SIZE(loop);
        for (Py_ssize_t j = 0; j < width; ++j) {
            if (!column(tags, PyList_GET_ITEM(loop, j), index, static_cast<std::uint32_t>(j), to))
                return false;
            if (j == 0) rows_ = count_;
            if (count_ != rows_) return false;
            if (to) to->loops[index].push_back(to->tag_order.back());
        }
        return rows_ > 0;
    }

    // `tag` and its values (`count_` of them): one outside a loop, each an
    // exact str. Sized when `to` is null, else copied into a new column of
    // `to`.
    bool column(PyObject* tags, PyObject* tag, std::uint32_t loop, std::uint32_t place,
                FrameData* to) {
        std::string_view name;
        if (!utf8(tag, name)) return false;
        PyObject* values = PyDict_GetItemWithError(tags, tag);
        if (!values) return PyErr_Occurred() ? fail() : false;
        if (!PyList_CheckExact(values)) return false;
        const Py_ssize_t n = PyList_GET_SIZE(values);
        if (loop == FrameData::kNoLoop && n != 1) return false;
        count_ = static_cast<std::size_t>(n);
        PyObject* const* items = PySequence_Fast_ITEMS(values);
        std::size_t bytes = 0;
        if (sizing_) {
            if (!size_values(items, count_, bytes)) return false;
            sizes_.push_back({count_, bytes});
            return true;
        }
        lower_into(name, scratch_);
        const std::uint64_t hash = NameIndex::hash(scratch_);
        if (to->position(scratch_, hash) != FrameData::npos) return false;  // alike in case
        ValueColumn col;
        int copied = copy_values(items, count_, col, bytes);
        if (copied == 0) {
            // Not in the room the last chunk has left: in a new one.
            if (!size_values(items, count_, bytes)) return false;
            new_chunk(bytes);
            copied = copy_values(items, count_, col, bytes);
        }
        if (copied != 1) return false;
        if (next_size_ != kNotSized) {
            // Sized as read: the same values, or left to the text.
            if (next_size_ >= sizes_.size() || sizes_[next_size_].count != count_ ||
                sizes_[next_size_].bytes != bytes)
                return false;
            ++next_size_;
        }
        to->add_hashed(hash, keep_name(scratch_), std::move(col), loop, place);
        return true;
    }

    // A copy of a tag's lower-cased name among the values' copies, which
    // live as long as the document.
    std::string_view keep_name(std::string_view name) {
        if (left_ < name.size() + kSpare) new_chunk(name.size());
        char* const at = at_;
        std::memcpy(at, name.data(), name.size());
        at_ += name.size();
        left_ -= name.size();
        std::memset(at_, 0, kSpare);  // until the next column's copies
        return {at, name.size()};
    }

    // The bytes of `n` values' texts; false for a value that is not an
    // exact str, or not one UTF-8 takes.
    static bool size_values(PyObject* const* items, std::size_t n, std::size_t& bytes) {
        bytes = 0;
        for (std::size_t k = 0; k < n; ++k) {
            PyObject* v = items[k];
            if (!PyUnicode_CheckExact(v)) return false;
            if (PyUnicode_IS_COMPACT_ASCII(v)) [[likely]] {
                bytes += static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
                continue;
            }
            std::string_view t;
            if (!utf8(v, t)) return false;
            bytes += t.size();
        }
        return true;
    }

    // Copies `n` values into the room the last chunk has left, one after
    // another, and makes `col` refer to them (`bytes` of them): 1 done, 0
    // no room for them all, -1 a value that size_values() does not take.
    // A quoted placeholder reads back as the builder keeps it, and is kept
    // aside as texts too long for a reference are. A value that is the very
    // object the one before was (the reader shares the str of a repeated
    // value) refers to that one's copy rather than being copied again:
    // copy() takes the others.
    int copy_values(PyObject* const* items, std::size_t n, ValueColumn& col, std::size_t& bytes) {
        if (left_ < kSpare) return 0;
        char* const base = at_;
        const std::size_t room = std::min<std::size_t>(left_ - kSpare, ColumnBase::kMaxOffset);
        col = ValueColumn(base, room);
        RefColumn& refs = *col.refs_column();
        // The references are written in place as the values are copied,
        // but for the first, which the column object holds itself: written
        // into `head`, then stored as the slice it is.
        unsigned char head[16];
        unsigned char* out = head;
        std::size_t off = 0;
        std::size_t stored = 0;  // the bytes before it are stored or kept aside
        // The last value copied (or none after one kept aside), its
        // reference, and the bytes of the references to it not yet stored.
        PyObject* last = nullptr;
        std::uint64_t last_ref = 0;
        std::size_t shared = 0, shared_all = 0;
        const auto keep_aside = [&](std::string_view text, std::size_t len, std::size_t left) {
            if (out != head) refs.take_refs(out, off - stored + shared);
            refs.push_text(text);
            off += len;
            stored = off;
            shared = 0;
            last = nullptr;
            out = refs.ref_room(left);
        };
        PyTypeObject* const str_type = &PyUnicode_Type;
        PyObject* const* const end = items + n;
        const auto copy = [&](PyObject* const* p) __attribute__((always_inline)) {
            PyObject* const v = *p;
            if (Py_TYPE(v) != str_type) [[unlikely]]
                return -1;
            const char* src;
            std::size_t len;
            if (PyUnicode_IS_COMPACT_ASCII(v)) [[likely]] {
                // The characters follow the object's header.
                src = reinterpret_cast<const char*>(reinterpret_cast<const PyASCIIObject*>(v) + 1);
                len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
            } else {
                std::string_view t;
                if (!utf8(v, t)) return -1;
                src = t.data();
                len = t.size();
            }
            if (len > room - off) [[unlikely]]
                return 0;
            char* const dst = base + off;
            if (len - 1 < 3) {
                // 1 to 3 bytes, most values (nulls, flags, short codes): the
                // first two (a text ends with a NUL, and the spare bytes
                // take what passes the end), then the last.
                std::memcpy(dst, src, 2);
                dst[len - 1] = src[len - 1];
                if (len == 3 && src[0] == '"' && src[2] == '"' && (src[1] == '?' || src[1] == '.'))
                    [[unlikely]] {
                    keep_aside(quoted_placeholder(src[1]), len, static_cast<std::size_t>(end - p));
                    return 1;
                }
            } else {
                copy_short(dst, src, len);
                if (len > ColumnBase::kMaxLen) [[unlikely]] {
                    keep_aside(std::string_view(dst, len), len, static_cast<std::size_t>(end - p));
                    return 1;
                }
            }
            last = v;
            last_ref = ColumnBase::ref_of(off, len);
            out = RefColumn::put_ref(out, last_ref);
            off += len;
            return 1;
        };
        if (n == 0) {
            out = refs.ref_room(0);
        } else {
            if (const int done = copy(items); done != 1) return done;
            if (refs.size() == 0) {
                // Not kept aside: stored as the slice it is, and the value
                // of a single item (no room for more references made).
                refs.push_slice(std::string_view(base, off));
                if (n == 1) return done_column(off, bytes, off);
                stored = off;
                out = refs.ref_room(n - 1);
            }
        }
        for (PyObject* const* p = items + 1; p < end;) {
            if (*p == last) {
                // The same object again, and maybe again: references to its
                // copy, in a loop of their own.
                const PyObject* const same = last;
                PyObject* const* const from = p;
                do {
                    out = RefColumn::put_ref(out, last_ref);
                } while (++p < end && *p == same);
                const std::size_t len = static_cast<std::size_t>(last_ref >> ColumnBase::kLenShift);
                const std::size_t run_bytes = len * static_cast<std::size_t>(p - from);
                shared += run_bytes;
                shared_all += run_bytes;
                continue;
            }
            if (const int done = copy(p); done != 1) return done;
            ++p;
        }
        refs.take_refs(out, off - stored + shared);
        return done_column(off, bytes, off + shared_all);
    }

    // The column's copies (`copied` bytes) taken from the chunk's room.
    int done_column(std::size_t copied, std::size_t& bytes, std::size_t total) {
        bytes = total;
        at_ += copied;
        left_ -= copied;
        std::memset(at_, 0, kSpare);  // until the next column's copies
        return 1;
    }

    // A chunk with room for `bytes` and the spare bytes after them, which
    // the checks may read a word into.
    void new_chunk(std::size_t bytes) {
        constexpr std::size_t kFirst = std::size_t{1} << 20, kMost = std::size_t{8} << 20;
        std::size_t size = chunks_.empty() ? kFirst : std::min(kMost, 2 * last_size_);
        if (size < bytes + kSpare) size = bytes + kSpare;
        ByteBuffer& chunk = chunks_.emplace_back();
        chunk.reserve_more(size);  // mapped from a call before, where one is free
        at_ = reinterpret_cast<char*>(chunk.data());
        left_ = chunk.capacity();
        last_size_ = size;
    }

    bool fail() {
        failed = true;
        return false;
    }

    ParsedCif& doc_;
    const ModelTypes& types_;
    std::vector<Parts> parts_;  // of the blocks and frames in document order
    // The sizes of the columns of objects that may run code, as read.
    struct Size {
        std::size_t count, bytes;
    };
    std::vector<Size> sizes_;
    std::size_t next_size_ = kNotSized;
    bool sizing_ = false;
    bool may_run_code_ = false;  // an attribute has been read
    std::size_t unsized_ = 0;    // frames read before that
    std::size_t count_ = 0, rows_ = 0;
    // The copies of the values, which the document's columns refer to.
    std::vector<ByteBuffer> chunks_;
    char* at_ = nullptr;
    std::size_t left_ = 0, last_size_ = 0;
    static constexpr std::size_t kSpare = 16;
    // The looped tags of the frame being walked, the loop each is in, and
    // their index.
    std::vector<std::string_view> looped_names_;
    std::vector<std::size_t> looped_in_;
    NameIndex looped_index_;
    std::vector<char> loop_done_;
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
        // Declared first: the document's large buffers are freed into it.
        MappingCache::Use use(call_mappings());
        ParsedCif doc;
        Copier copy(doc);
        if (!copy.copy(a[1])) {
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
