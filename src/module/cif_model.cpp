// The object model classes CifFile, CifBlock and CifSaveFrame: thin native
// containers over Python dicts and lists, with name lookups, the fill
// methods of the package's Python side and a deep copy of a whole file.
#include "cif_model.hpp"

#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "args.hpp"
#include "common.hpp"
#include "entry_points.hpp"

namespace quarzel::py {
namespace {

// ---------------------------------------------------------------------------
// Instances and their borrow state

struct Instance {
    PyObject ob_base;
    Py_ssize_t borrow;  // > 0: that many readers; -1: one writer
};

struct Frame : Instance {
    std::string name;  // UTF-8
    std::uint64_t id;
    PyObject* tags;
    PyObject* tag_order;
    PyObject* loops;
};

struct Block : Frame {
    PyObject* save_frames;
    PyObject* save_frame_list;
};

struct File : Instance {
    PyObject* blocks;
    PyObject* block_list;
    bool version_is_2_0;
};

Instance* instance(PyObject* self) {
    return reinterpret_cast<Instance*>(self);
}
Frame* as_frame(PyObject* self) {
    return reinterpret_cast<Frame*>(self);
}
Block* as_block(PyObject* self) {
    return reinterpret_cast<Block*>(self);
}
File* as_file(PyObject* self) {
    return reinterpret_cast<File*>(self);
}

// Holds an instance for reading while in scope; converts to false (with
// RuntimeError set) when a writer holds it.
class ReadGuard {
public:
    explicit ReadGuard(PyObject* self) : inst_(instance(self)) {
        if (inst_->borrow < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            inst_ = nullptr;
        } else {
            ++inst_->borrow;
        }
    }
    ~ReadGuard() {
        if (inst_) --inst_->borrow;
    }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    explicit operator bool() const { return inst_ != nullptr; }

private:
    Instance* inst_;
};

// Holds an instance for writing (alone) while in scope.
class WriteGuard {
public:
    explicit WriteGuard(PyObject* self) : inst_(instance(self)) {
        if (inst_->borrow != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            inst_ = nullptr;
        } else {
            inst_->borrow = -1;
        }
    }
    ~WriteGuard() {
        if (inst_) inst_->borrow = 0;
    }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    explicit operator bool() const { return inst_ != nullptr; }

private:
    Instance* inst_;
};

// ---------------------------------------------------------------------------
// Small helpers

// `guarded` for slots that return a status (-1 error) or a truth value.
template <class F>
int guarded_int(F&& body) noexcept {
    int result = -1;
    PyObject* ok = guarded([&]() -> PyObject* {
        result = body();
        return result < 0 ? nullptr : Py_None;
    });
    return ok ? result : -1;
}

// A field that the garbage collector has cleared reads as None.
PyObject* field(PyObject* value) {
    return value ? value : Py_None;
}

PyObject* need_dict(PyObject* value) {
    value = field(value);
    return PyDict_Check(value) ? value : type_error(value, "dict");
}

PyObject* need_list(PyObject* value) {
    value = field(value);
    return PyList_Check(value) ? value : type_error(value, "list");
}

PyObject* need_str(PyObject* value) {
    return PyUnicode_Check(value) ? value : type_error(value, "str");
}

int no_deleter() {
    PyErr_SetString(PyExc_AttributeError, "property has no deleter");
    return -1;
}

// The interpreter's own str.lower (never an override of a str subclass).
PyObject* str_lower_method() {
    static PyObject* method = nullptr;
    if (method == nullptr)
        method = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower");
    return method;
}

// str.lower(text), with a fast path for plain ASCII strings.
PyRef lowered(PyObject* text) {
    if (PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text)) {
        const Py_UCS1* data = PyUnicode_1BYTE_DATA(text);
        const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
        Py_ssize_t i = 0;
        while (i < len && !(data[i] >= 'A' && data[i] <= 'Z')) ++i;
        if (i == len) return PyRef::borrow(text);
        PyRef out = PyRef::steal(PyUnicode_New(len, 127));
        if (!out) return {};
        Py_UCS1* dst = PyUnicode_1BYTE_DATA(out.get());
        for (Py_ssize_t j = 0; j < len; ++j) {
            Py_UCS1 c = data[j];
            dst[j] = (c >= 'A' && c <= 'Z') ? static_cast<Py_UCS1>(c + ('a' - 'A')) : c;
        }
        return out;
    }
    PyObject* method = str_lower_method();
    if (method == nullptr) return {};
    return PyRef::steal(PyObject_Vectorcall(method, &text, 1, nullptr));
}

// A non-negative integer that fits 64 bits; the interpreter's conversion
// errors, TypeError prefixed with the argument name when `param` is given.
bool to_u64(const char* param, PyObject* value, std::uint64_t& out) {
    if (!PyIndex_Check(value)) {
        if (param)
            PyErr_Format(PyExc_TypeError,
                         "argument '%s': '%s' object cannot be interpreted as an integer", param,
                         type_name(value));
        else
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be interpreted as an integer",
                         type_name(value));
        return false;
    }
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) return false;
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// Turns the (tuple, dict) arguments of a type call into the vectorcall shape
// that `bind` reads.
bool bind_call(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> flat;
    for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
    PyRef kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = PyRef::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        if (!kwnames) return false;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
            flat.push_back(value);
        }
    }
    return bind(sig, flat.data(), nargs, kwnames.get(), out);
}

// New list of the items of `list` whose `name` attribute (a str) equals
// `query`. The walk stops at the shorter of the starting and current length.
PyObject* items_named(PyObject* list, PyObject* query) {
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    const Py_ssize_t start = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < start && i < PyList_GET_SIZE(list); ++i) {
        PyRef item = PyRef::steal(PyList_GetItemRef(list, i));
        if (!item) return nullptr;
        PyRef name = attr(item.get(), "name");
        if (!name || !need_str(name.get())) return nullptr;
        int equal = PyUnicode_Equal(name.get(), query);
        if (equal < 0) return nullptr;
        if (equal && PyList_Append(out.get(), item.get()) < 0) return nullptr;
    }
    return out.release();
}

// New list of the `name` attribute of each item of `list` (same walk),
// optionally requiring each to be a str.
PyObject* names_of(PyObject* list, bool require_str) {
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    const Py_ssize_t start = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < start && i < PyList_GET_SIZE(list); ++i) {
        PyRef item = PyRef::steal(PyList_GetItemRef(list, i));
        if (!item) return nullptr;
        PyRef name = attr(item.get(), "name");
        if (!name || (require_str && !need_str(name.get()))) return nullptr;
        if (PyList_Append(out.get(), name.get()) < 0) return nullptr;
    }
    return out.release();
}

// Sets item._id to the list's length, appends the item, and indexes it under
// its `name` unless that name is indexed already (then returns True).
PyObject* add_indexed(PyObject* list_field, PyObject* dict_field, PyObject* item) {
    PyObject* list = need_list(list_field);
    if (!list) return nullptr;
    PyObject* dict = need_dict(dict_field);
    if (!dict) return nullptr;
    PyRef id = PyRef::steal(PyLong_FromSsize_t(PyList_GET_SIZE(list)));
    if (!id || PyObject_SetAttrString(item, "_id", id.get()) < 0) return nullptr;
    if (PyList_Append(list, item) < 0) return nullptr;
    PyRef name = attr(item, "name");
    if (!name || !need_str(name.get())) return nullptr;
    int present = index_first(dict, name.get(), item);
    if (present < 0) return nullptr;
    return PyBool_FromLong(present);
}

// ---------------------------------------------------------------------------
// Stored fields

template <class T>
struct member_class;
template <class C, class V>
struct member_class<V C::*> {
    using type = C;
};

template <auto Member>
PyObject* get_object_field(PyObject* self, void*) {
    using C = typename member_class<decltype(Member)>::type;
    return guarded([&]() -> PyObject* {
        ReadGuard hold(self);
        if (!hold) return nullptr;
        return Py_NewRef(field(reinterpret_cast<C*>(self)->*Member));
    });
}

template <auto Member>
int set_object_field(PyObject* self, PyObject* value, void*) {
    using C = typename member_class<decltype(Member)>::type;
    if (value == nullptr) return no_deleter();
    return guarded_int([&]() -> int {
        PyRef old;  // dropped after the instance is released
        WriteGuard hold(self);
        if (!hold) return -1;
        old = PyRef::steal(std::exchange(reinterpret_cast<C*>(self)->*Member, Py_NewRef(value)));
        return 0;
    });
}

PyObject* get_name(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        ReadGuard hold(self);
        if (!hold) return nullptr;
        return str(as_frame(self)->name).release();
    });
}

int set_name(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return no_deleter();
    return guarded_int([&]() -> int {
        std::string_view text;
        if (!str_argument("name", value, text)) return -1;
        WriteGuard hold(self);
        if (!hold) return -1;
        as_frame(self)->name.assign(text);
        return 0;
    });
}

PyObject* get_id(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        ReadGuard hold(self);
        if (!hold) return nullptr;
        return PyLong_FromUnsignedLongLong(as_frame(self)->id);
    });
}

int set_id(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return no_deleter();
    return guarded_int([&]() -> int {
        // Held before the conversion: the value's __index__ may run code that
        // reads or changes this object.
        WriteGuard hold(self);
        if (!hold) return -1;
        std::uint64_t id = 0;
        if (!to_u64("_id", value, id)) return -1;
        as_frame(self)->id = id;
        return 0;
    });
}

// ---------------------------------------------------------------------------
// Shared by CifBlock and CifSaveFrame

PyObject* frame_tags(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        ReadGuard hold(self);
        if (!hold) return nullptr;
        PyObject* order = need_list(as_frame(self)->tag_order);
        if (!order) return nullptr;
        return PyList_GetSlice(order, 0, PY_SSIZE_T_MAX);
    });
}

PyObject* frame_loops(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        ReadGuard hold(self);
        if (!hold) return nullptr;
        PyObject* loops = need_list(as_frame(self)->loops);
        if (!loops) return nullptr;
        PyRef out = PyRef::steal(PyList_New(0));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(loops); ++i) {
            PyRef entry = PyRef::steal(PyList_GetItemRef(loops, i));
            if (!entry || !need_list(entry.get())) return nullptr;
            PyRef copy = PyRef::steal(PyList_GetSlice(entry.get(), 0, PY_SSIZE_T_MAX));
            if (!copy || PyList_Append(out.get(), copy.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

PyObject* frame_append_value(const Signature& sig, PyObject* self, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ReadGuard hold(self);
        if (!hold) return nullptr;
        PyObject* a[2];
        if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
        PyObject* tag = a[0];
        PyObject* value = a[1];
        if (!PyUnicode_Check(tag)) return argument_type_error("tag", tag, "str");
        Frame* f = as_frame(self);
        PyObject* tags = need_dict(f->tags);
        if (!tags) return nullptr;
        PyObject* order = need_list(f->tag_order);
        if (!order) return nullptr;
        int known = PyDict_Contains(tags, tag);
        if (known < 0) return nullptr;
        if (!known) {
            if (PyList_Append(order, tag) < 0) return nullptr;
            PyRef fresh = PyRef::steal(PyList_New(0));
            if (!fresh || PyDict_SetItem(tags, tag, fresh.get()) < 0) return nullptr;
        }
        PyObject* found = nullptr;
        int got = PyDict_GetItemRef(tags, tag, &found);
        if (got < 0) return nullptr;
        PyRef values = PyRef::steal(found);
        if (got == 0) {  // a key whose equality changed under us
            PyErr_SetObject(PyExc_KeyError, tag);
            return nullptr;
        }
        if (!need_list(values.get()) || PyList_Append(values.get(), value) < 0) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* frame_add_loop(const Signature& sig, PyObject* self, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ReadGuard hold(self);
        if (!hold) return nullptr;
        PyObject* a[2];
        if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
        PyObject* given = a[0];
        PyObject* buffers = a[1];
        if (PyUnicode_Check(given) || !PySequence_Check(given))
            return argument_type_error("tags", given, "Sequence");
        PyRef names = PyRef::steal(PySequence_List(given));
        if (!names) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
            PyObject* name = PyList_GET_ITEM(names.get(), i);
            if (!PyUnicode_Check(name)) return argument_type_error("tags", name, "str");
        }
        if (!PyDict_Check(buffers)) return argument_type_error("buffers", buffers, "dict");

        Frame* f = as_frame(self);
        PyObject* tags = need_dict(f->tags);
        if (!tags) return nullptr;
        PyObject* order = need_list(f->tag_order);
        if (!order) return nullptr;
        PyObject* loops = need_list(f->loops);
        if (!loops) return nullptr;

        const Py_ssize_t count = PyList_GET_SIZE(names.get());
        PyRef entry = PyRef::steal(PyList_New(0));
        if (!entry) return nullptr;
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* tag = PyList_GET_ITEM(names.get(), i);  // `names` is private
            int known = PyDict_Contains(tags, tag);
            if (known < 0) return nullptr;
            if (!known && PyList_Append(order, tag) < 0) return nullptr;
            PyObject* found = nullptr;
            int got = PyDict_GetItemRef(buffers, tag, &found);
            if (got < 0) return nullptr;
            PyRef column = got ? PyRef::steal(found) : PyRef::steal(PyList_New(0));
            if (!column || PyDict_SetItem(tags, tag, column.get()) < 0) return nullptr;
            if (PyList_Append(entry.get(), tag) < 0) return nullptr;
        }
        if (PyList_Append(loops, entry.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    });
}

// ---------------------------------------------------------------------------
// Lifecycle

void init_frame(Frame* f, std::string name, std::uint64_t id) {
    f->borrow = 0;
    new (&f->name) std::string(std::move(name));
    f->id = id;
}

int frame_traverse(PyObject* self, visitproc visit, void* arg) {
    Frame* f = as_frame(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->tags);
    Py_VISIT(f->tag_order);
    Py_VISIT(f->loops);
    return 0;
}

int frame_clear(PyObject* self) {
    Frame* f = as_frame(self);
    Py_CLEAR(f->tags);
    Py_CLEAR(f->tag_order);
    Py_CLEAR(f->loops);
    return 0;
}

int block_traverse(PyObject* self, visitproc visit, void* arg) {
    Block* b = as_block(self);
    Py_VISIT(b->save_frames);
    Py_VISIT(b->save_frame_list);
    return frame_traverse(self, visit, arg);
}

int block_clear(PyObject* self) {
    Block* b = as_block(self);
    Py_CLEAR(b->save_frames);
    Py_CLEAR(b->save_frame_list);
    return frame_clear(self);
}

// Instances of heap types own a reference to their type, dropped last.
template <int (*Clear)(PyObject*)>
void frame_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyRef owned_type = PyRef::steal(reinterpret_cast<PyObject*>(type));
    PyObject_GC_UnTrack(self);
    Clear(self);
    using std::string;
    as_frame(self)->name.~string();
    type->tp_free(self);
}

int file_traverse(PyObject* self, visitproc visit, void* arg) {
    File* f = as_file(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->blocks);
    Py_VISIT(f->block_list);
    return 0;
}

int file_clear(PyObject* self) {
    File* f = as_file(self);
    Py_CLEAR(f->blocks);
    Py_CLEAR(f->block_list);
    return 0;
}

void file_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyRef owned_type = PyRef::steal(reinterpret_cast<PyObject*>(type));
    PyObject_GC_UnTrack(self);
    file_clear(self);
    type->tp_free(self);
}

PyRef allocate(PyTypeObject* type) {
    if (type == nullptr) return {};
    return PyRef::steal(type->tp_alloc(type, 0));
}

PyRef make_file(PyTypeObject* type, PyRef blocks, PyRef block_list, bool version_is_2_0) {
    PyRef self = allocate(type);
    if (!self) return {};
    File* f = as_file(self.get());
    f->borrow = 0;
    f->blocks = blocks.release();
    f->block_list = block_list.release();
    f->version_is_2_0 = version_is_2_0;
    return self;
}

PyRef new_dict() {
    return PyRef::steal(PyDict_New());
}
PyRef new_list() {
    return PyRef::steal(PyList_New(0));
}

// ---------------------------------------------------------------------------
// CifSaveFrame and CifBlock

// Looks `key` up among the tags (a key starting with "_") or, for a block,
// the save frames. Returns 1 found (with *found set when asked), 0 not
// found, -1 error.
int frame_lookup(PyObject* self, PyObject* key, bool is_block, PyObject** found) {
    if (!PyUnicode_Check(key)) {
        argument_type_error("key", key, "str");
        return -1;
    }
    PyRef query = lowered(key);
    if (!query) return -1;
    bool is_tag = !is_block || (PyUnicode_GET_LENGTH(query.get()) > 0 &&
                                PyUnicode_READ_CHAR(query.get(), 0) == '_');
    PyObject* dict = need_dict(is_tag ? as_frame(self)->tags : as_block(self)->save_frames);
    if (!dict) return -1;
    if (found) return PyDict_GetItemRef(dict, query.get(), found);
    return PyDict_Contains(dict, query.get());
}

template <bool IsBlock>
PyObject* frame_subscript(PyObject* self, PyObject* key) {
    return guarded([&]() -> PyObject* {
        ReadGuard hold(self);
        if (!hold) return nullptr;
        PyObject* found = nullptr;
        int got = frame_lookup(self, key, IsBlock, &found);
        if (got < 0) return nullptr;
        if (got == 0) {
            PyErr_SetObject(PyExc_KeyError, key);
            return nullptr;
        }
        return found;
    });
}

template <bool IsBlock>
int frame_contains(PyObject* self, PyObject* key) {
    return guarded_int([&]() -> int {
        ReadGuard hold(self);
        if (!hold) return -1;
        return frame_lookup(self, key, IsBlock, nullptr);
    });
}

bool frame_new_args(const Signature& sig, PyObject* args, PyObject* kwargs, std::string& name,
                    std::uint64_t& id) {
    PyObject* a[2];
    if (!bind_call(sig, args, kwargs, a)) return false;
    std::string_view text;
    if (!str_argument("name", a[0], text)) return false;
    id = 0;
    if (a[1] != nullptr && !to_u64("id", a[1], id)) return false;
    name.assign(text);
    return true;
}

PyObject* save_frame_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"CifSaveFrame.__new__", {"name", "id"}, 1, true};
        std::string name;
        std::uint64_t id = 0;
        if (!frame_new_args(sig, args, kwargs, name, id)) return nullptr;
        PyRef tags = new_dict(), order = new_list(), loops = new_list();
        if (!tags || !order || !loops) return nullptr;
        PyRef self = allocate(type);
        if (!self) return nullptr;
        Frame* f = as_frame(self.get());
        init_frame(f, std::move(name), id);
        f->tags = tags.release();
        f->tag_order = order.release();
        f->loops = loops.release();
        return self.release();
    });
}

PyObject* block_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"CifBlock.__new__", {"name", "id"}, 1, true};
        std::string name;
        std::uint64_t id = 0;
        if (!frame_new_args(sig, args, kwargs, name, id)) return nullptr;
        PyRef tags = new_dict(), order = new_list(), loops = new_list();
        PyRef frames = new_dict(), frame_list = new_list();
        if (!tags || !order || !loops || !frames || !frame_list) return nullptr;
        PyRef self = allocate(type);
        if (!self) return nullptr;
        Block* b = as_block(self.get());
        init_frame(b, std::move(name), id);
        b->tags = tags.release();
        b->tag_order = order.release();
        b->loops = loops.release();
        b->save_frames = frames.release();
        b->save_frame_list = frame_list.release();
        return self.release();
    });
}

PyObject* block_save_frames(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        ReadGuard hold(self);
        if (!hold) return nullptr;
        PyObject* list = need_list(as_block(self)->save_frame_list);
        if (!list) return nullptr;
        return names_of(list, true);
    });
}

// get_all(name): every item of the list in `list_field` whose name equals
// the lower-cased query.
PyObject* get_all_in(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject* (*list_field)(PyObject*)) {
    return guarded([&]() -> PyObject* {
        ReadGuard hold(self);
        if (!hold) return nullptr;
        PyObject* a[1];
        if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
        if (!PyUnicode_Check(a[0])) return argument_type_error("name", a[0], "str");
        PyRef query = lowered(a[0]);
        if (!query) return nullptr;
        PyObject* list = need_list(list_field(self));
        if (!list) return nullptr;
        return items_named(list, query.get());
    });
}

// _add_block(block) / _add_save_frame(frame): append and index one item.
PyObject* add_in(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject* (*list_field)(PyObject*),
                 PyObject* (*dict_field)(PyObject*)) {
    return guarded([&]() -> PyObject* {
        ReadGuard hold(self);
        if (!hold) return nullptr;
        PyObject* a[1];
        if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
        return add_indexed(list_field(self), dict_field(self), a[0]);
    });
}

PyObject* block_get_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static const Signature sig{"CifBlock.get_all", {"name"}, 1, true};
    return get_all_in(sig, self, args, nargs, kwnames,
                      [](PyObject* o) { return as_block(o)->save_frame_list; });
}

PyObject* block_add_save_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    static const Signature sig{"CifBlock._add_save_frame", {"frame"}, 1, true};
    return add_in(
        sig, self, args, nargs, kwnames, [](PyObject* o) { return as_block(o)->save_frame_list; },
        [](PyObject* o) { return as_block(o)->save_frames; });
}

PyObject* block_append_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static const Signature sig{"CifBlock._append_value", {"tag", "value"}, 2, true};
    return frame_append_value(sig, self, args, nargs, kwnames);
}

PyObject* block_add_loop(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static const Signature sig{"CifBlock._add_loop", {"tags", "buffers"}, 2, true};
    return frame_add_loop(sig, self, args, nargs, kwnames);
}

PyObject* save_frame_append_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    static const Signature sig{"CifSaveFrame._append_value", {"tag", "value"}, 2, true};
    return frame_append_value(sig, self, args, nargs, kwnames);
}

PyObject* save_frame_add_loop(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static const Signature sig{"CifSaveFrame._add_loop", {"tags", "buffers"}, 2, true};
    return frame_add_loop(sig, self, args, nargs, kwnames);
}

// ---------------------------------------------------------------------------
// CifFile

// version_is_2_0 from an object with a str `name`: false exactly for
// "CIF_1_1".
bool version_from(PyObject* version, bool& is_2_0) {
    PyRef name = attr(version, "name");
    if (!name || !need_str(name.get())) return false;
    is_2_0 = !PyUnicode_EqualToUTF8(name.get(), "CIF_1_1");
    return true;
}

PyObject* file_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"CifFile.__new__", {"version"}, 0, true};
        PyObject* a[1];
        if (!bind_call(sig, args, kwargs, a)) return nullptr;
        bool is_2_0 = true;
        if (a[0] != nullptr && a[0] != Py_None && !version_from(a[0], is_2_0)) return nullptr;
        PyRef blocks = new_dict(), block_list = new_list();
        if (!blocks || !block_list) return nullptr;
        return make_file(type, std::move(blocks), std::move(block_list), is_2_0).release();
    });
}

PyObject* file_get_version(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        ReadGuard hold(self);
        if (!hold) return nullptr;
        return version_member(as_file(self)->version_is_2_0 ? CifVersion::Cif20 : CifVersion::Cif11)
            .release();
    });
}

int file_set_version(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return no_deleter();
    return guarded_int([&]() -> int {
        WriteGuard hold(self);
        if (!hold) return -1;
        bool is_2_0 = true;
        if (!version_from(value, is_2_0)) return -1;
        as_file(self)->version_is_2_0 = is_2_0;
        return 0;
    });
}

PyObject* file_blocks(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        ReadGuard hold(self);
        if (!hold) return nullptr;
        PyObject* list = need_list(as_file(self)->block_list);
        if (!list) return nullptr;
        return names_of(list, false);
    });
}

PyObject* file_get_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"CifFile.get_all", {"name"}, 1, true};
    return get_all_in(sig, self, args, nargs, kwnames,
                      [](PyObject* o) { return as_file(o)->block_list; });
}

PyObject* file_add_block(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static const Signature sig{"CifFile._add_block", {"block"}, 1, true};
    return add_in(
        sig, self, args, nargs, kwnames, [](PyObject* o) { return as_file(o)->block_list; },
        [](PyObject* o) { return as_file(o)->blocks; });
}

PyObject* file_subscript(PyObject* self, PyObject* key) {
    return guarded([&]() -> PyObject* {
        ReadGuard hold(self);
        if (!hold) return nullptr;
        if (!PyUnicode_Check(key)) return argument_type_error("name", key, "str");
        PyRef query = lowered(key);
        if (!query) return nullptr;
        PyObject* blocks = need_dict(as_file(self)->blocks);
        if (!blocks) return nullptr;
        PyObject* found = nullptr;
        int got = PyDict_GetItemRef(blocks, query.get(), &found);
        if (got < 0) return nullptr;
        if (got == 0) {
            PyErr_SetObject(PyExc_KeyError, key);
            return nullptr;
        }
        return found;
    });
}

int file_contains(PyObject* self, PyObject* key) {
    return guarded_int([&]() -> int {
        ReadGuard hold(self);
        if (!hold) return -1;
        if (!PyUnicode_Check(key)) {
            argument_type_error("name", key, "str");
            return -1;
        }
        PyObject* blocks = need_dict(as_file(self)->blocks);
        if (!blocks) return -1;
        PyRef query = lowered(key);
        if (!query) return -1;
        return PyDict_Contains(blocks, query.get());
    });
}

// copy.deepcopy(getattr(obj, name))
PyRef deep_copy_attr(PyObject* deepcopy, PyObject* obj, const char* name) {
    PyRef value = attr(obj, name);
    if (!value) return {};
    PyObject* arg = value.get();
    return PyRef::steal(PyObject_Vectorcall(deepcopy, &arg, 1, nullptr));
}

struct CopiedFrame {
    PyRef tags, tag_order, loops;
};

bool deep_copy_frame_data(PyObject* deepcopy, PyObject* obj, CopiedFrame& out) {
    out.tags = deep_copy_attr(deepcopy, obj, "_tags");
    if (!out.tags) return false;
    out.tag_order = deep_copy_attr(deepcopy, obj, "_tag_order");
    if (!out.tag_order) return false;
    out.loops = deep_copy_attr(deepcopy, obj, "_loops");
    return static_cast<bool>(out.loops);
}

// Reads `obj.name` (a str) as UTF-8 and `obj._id` (a non-negative integer).
bool name_and_id(PyObject* obj, bool id_first, PyRef& name, std::string& utf8, std::uint64_t& id) {
    auto read_id = [&] {
        PyRef value = attr(obj, "_id");
        return value && to_u64(nullptr, value.get(), id);
    };
    if (id_first && !read_id()) return false;
    name = attr(obj, "name");
    if (!name || !need_str(name.get())) return false;
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &len);
    if (text == nullptr) return false;
    utf8.assign(text, static_cast<std::size_t>(len));
    if (!id_first && !read_id()) return false;
    return true;
}

PyRef copy_block(PyObject* deepcopy, PyObject* block, PyRef& name) {
    CopiedFrame data;
    if (!deep_copy_frame_data(deepcopy, block, data)) return {};
    PyRef frames = new_dict(), frame_list = new_list();
    if (!frames || !frame_list) return {};
    PyRef source = attr(block, "_save_frame_list");
    if (!source || !need_list(source.get())) return {};
    const Py_ssize_t start = PyList_GET_SIZE(source.get());
    for (Py_ssize_t i = 0; i < start && i < PyList_GET_SIZE(source.get()); ++i) {
        PyRef frame = PyRef::steal(PyList_GetItemRef(source.get(), i));
        if (!frame) return {};
        PyRef frame_name;
        std::string utf8;
        std::uint64_t id = 0;
        if (!name_and_id(frame.get(), true, frame_name, utf8, id)) return {};
        CopiedFrame copied;
        if (!deep_copy_frame_data(deepcopy, frame.get(), copied)) return {};
        PyRef fresh = new_cif_save_frame(std::move(utf8), id, std::move(copied.tags),
                                         std::move(copied.tag_order), std::move(copied.loops));
        if (!fresh || PyList_Append(frame_list.get(), fresh.get()) < 0 ||
            index_first(frames.get(), frame_name.get(), fresh.get()) < 0)
            return {};
    }
    std::string utf8;
    std::uint64_t id = 0;
    if (!name_and_id(block, false, name, utf8, id)) return {};
    return new_cif_block(std::move(utf8), id, std::move(data.tags), std::move(data.tag_order),
                         std::move(data.loops), std::move(frames), std::move(frame_list));
}

PyObject* file_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"CifFile.deepcopy", {}, 0, true};
        ReadGuard hold(self);
        if (!hold) return nullptr;
        PyObject* none[1];
        if (!bind(sig, args, nargs, kwnames, none)) return nullptr;
        PyRef copy_module = PyRef::steal(PyImport_ImportModule("copy"));
        if (!copy_module) return nullptr;
        PyRef deepcopy = attr(copy_module.get(), "deepcopy");
        if (!deepcopy) return nullptr;
        PyRef blocks = new_dict(), block_list = new_list();
        if (!blocks || !block_list) return nullptr;
        File* f = as_file(self);
        PyObject* source = need_list(f->block_list);
        if (!source) return nullptr;
        const Py_ssize_t start = PyList_GET_SIZE(source);
        for (Py_ssize_t i = 0; i < start && i < PyList_GET_SIZE(source); ++i) {
            PyRef block = PyRef::steal(PyList_GetItemRef(source, i));
            if (!block) return nullptr;
            PyRef name;
            PyRef fresh = copy_block(deepcopy.get(), block.get(), name);
            if (!fresh || PyList_Append(block_list.get(), fresh.get()) < 0 ||
                index_first(blocks.get(), name.get(), fresh.get()) < 0)
                return nullptr;
        }
        return new_cif_file(std::move(blocks), std::move(block_list), f->version_is_2_0).release();
    });
}

// ---------------------------------------------------------------------------
// Type objects

#define QUARZEL_GETSET(name, get, set) {name, get, set, "", nullptr}
#define QUARZEL_FIELD(name, member) \
    QUARZEL_GETSET(name, get_object_field<member>, set_object_field<member>)
#define QUARZEL_METHOD(name, impl, doc)                                       \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impl)), \
     METH_FASTCALL | METH_KEYWORDS, doc}

PyGetSetDef save_frame_getset[] = {
    QUARZEL_GETSET("name", get_name, set_name),    QUARZEL_GETSET("_id", get_id, set_id),
    QUARZEL_FIELD("_tags", &Frame::tags),          QUARZEL_FIELD("_tag_order", &Frame::tag_order),
    QUARZEL_FIELD("_loops", &Frame::loops),        QUARZEL_GETSET("tags", frame_tags, nullptr),
    QUARZEL_GETSET("loops", frame_loops, nullptr), {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef save_frame_methods[] = {
    QUARZEL_METHOD("_append_value", save_frame_append_value,
                   "_append_value($self, tag, value)\n--\n\n"),
    QUARZEL_METHOD("_add_loop", save_frame_add_loop, "_add_loop($self, tags, buffers)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef block_getset[] = {
    QUARZEL_GETSET("name", get_name, set_name),
    QUARZEL_GETSET("_id", get_id, set_id),
    QUARZEL_FIELD("_tags", &Frame::tags),
    QUARZEL_FIELD("_tag_order", &Frame::tag_order),
    QUARZEL_FIELD("_loops", &Frame::loops),
    QUARZEL_FIELD("_save_frames", &Block::save_frames),
    QUARZEL_FIELD("_save_frame_list", &Block::save_frame_list),
    QUARZEL_GETSET("tags", frame_tags, nullptr),
    QUARZEL_GETSET("loops", frame_loops, nullptr),
    QUARZEL_GETSET("save_frames", block_save_frames, nullptr),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef block_methods[] = {
    QUARZEL_METHOD("get_all", block_get_all, "get_all($self, name)\n--\n\n"),
    QUARZEL_METHOD("_append_value", block_append_value, "_append_value($self, tag, value)\n--\n\n"),
    QUARZEL_METHOD("_add_loop", block_add_loop, "_add_loop($self, tags, buffers)\n--\n\n"),
    QUARZEL_METHOD("_add_save_frame", block_add_save_frame,
                   "_add_save_frame($self, frame)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef file_getset[] = {
    QUARZEL_FIELD("_blocks", &File::blocks),
    QUARZEL_FIELD("_block_list", &File::block_list),
    QUARZEL_GETSET("version", file_get_version, file_set_version),
    QUARZEL_GETSET("blocks", file_blocks, nullptr),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef file_methods[] = {
    QUARZEL_METHOD("get_all", file_get_all, "get_all($self, name)\n--\n\n"),
    QUARZEL_METHOD("_add_block", file_add_block, "_add_block($self, block)\n--\n\n"),
    QUARZEL_METHOD("deepcopy", file_deepcopy, "deepcopy($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

struct TypeSpec {
    const char* name;
    const char* doc;
    int basicsize;
    newfunc new_;
    destructor dealloc;
    traverseproc traverse;
    inquiry clear;
    binaryfunc subscript;
    objobjproc contains;
    PyGetSetDef* getset;
    PyMethodDef* methods;
};

// A heap type (mutable, not subclassable, no instance dict or weak
// references) that takes part in cyclic garbage collection. Methods are
// added after the properties so that the class dict lists them in that
// order.
PyTypeObject* make_type(const TypeSpec& t) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(t.new_)},
        {Py_tp_doc, const_cast<char*>(t.doc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(t.dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(t.traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(t.clear)},
        {Py_tp_getset, t.getset},
        {Py_mp_subscript, reinterpret_cast<void*>(t.subscript)},
        {Py_sq_contains, reinterpret_cast<void*>(t.contains)},
        {0, nullptr},
    };
    PyType_Spec spec = {t.name, t.basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    PyRef type = PyRef::steal(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    for (PyMethodDef* def = t.methods; def->ml_name != nullptr; ++def) {
        PyRef descr =
            PyRef::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.get()), def));
        if (!descr || PyObject_SetAttrString(type.get(), def->ml_name, descr.get()) < 0)
            return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(type.release());
}

// Created on first success and kept for the life of the process.
template <const TypeSpec& Spec>
PyTypeObject* cached_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = make_type(Spec);
    return type;
}

const TypeSpec save_frame_spec = {
    "quarzel.cifmodel.model.CifSaveFrame",
    "CifSaveFrame(name, id=0)\n--\n\n",
    static_cast<int>(sizeof(Frame)),
    save_frame_new,
    frame_dealloc<frame_clear>,
    frame_traverse,
    frame_clear,
    frame_subscript<false>,
    frame_contains<false>,
    save_frame_getset,
    save_frame_methods,
};

const TypeSpec block_spec = {
    "quarzel.cifmodel.model.CifBlock",
    "CifBlock(name, id=0)\n--\n\n",
    static_cast<int>(sizeof(Block)),
    block_new,
    frame_dealloc<block_clear>,
    block_traverse,
    block_clear,
    frame_subscript<true>,
    frame_contains<true>,
    block_getset,
    block_methods,
};

const TypeSpec file_spec = {
    "quarzel.cifmodel.model.CifFile",
    "CifFile(version=None)\n--\n\n",
    static_cast<int>(sizeof(File)),
    file_new,
    file_dealloc,
    file_traverse,
    file_clear,
    file_subscript,
    file_contains,
    file_getset,
    file_methods,
};

}  // namespace

PyTypeObject* cif_save_frame_type() {
    return cached_type<save_frame_spec>();
}
PyTypeObject* cif_block_type() {
    return cached_type<block_spec>();
}
PyTypeObject* cif_file_type() {
    return cached_type<file_spec>();
}

int index_first(PyObject* dict, PyObject* key, PyObject* value) {
    PyObject* existing = nullptr;
    int present = PyDict_SetDefaultRef(dict, key, value, &existing);
    PyRef drop = PyRef::steal(existing);
    return present;
}

PyRef new_cif_save_frame(std::string name, std::uint64_t id, PyRef tags, PyRef tag_order,
                         PyRef loops) {
    PyRef self = allocate(cif_save_frame_type());
    if (!self) return {};
    Frame* f = as_frame(self.get());
    init_frame(f, std::move(name), id);
    f->tags = tags.release();
    f->tag_order = tag_order.release();
    f->loops = loops.release();
    return self;
}

PyRef new_cif_block(std::string name, std::uint64_t id, PyRef tags, PyRef tag_order, PyRef loops,
                    PyRef save_frames, PyRef save_frame_list) {
    PyRef self = allocate(cif_block_type());
    if (!self) return {};
    Block* b = as_block(self.get());
    init_frame(b, std::move(name), id);
    b->tags = tags.release();
    b->tag_order = tag_order.release();
    b->loops = loops.release();
    b->save_frames = save_frames.release();
    b->save_frame_list = save_frame_list.release();
    return self;
}

PyRef new_cif_file(PyRef blocks, PyRef block_list, bool version_is_2_0) {
    return make_file(cif_file_type(), std::move(blocks), std::move(block_list), version_is_2_0);
}

}  // namespace quarzel::py
