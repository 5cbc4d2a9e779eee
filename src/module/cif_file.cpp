// CifFile: the data blocks by name, the CIF version, and a deep copy of
// the whole file.
#include "module/cif_model.hpp"
#include "module/entry_points.hpp"
#include "module/model_parts.hpp"

#include <string>
#include <utility>

namespace quarzel::py {
namespace {

using namespace model;

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
    return reading(self, [&]() -> PyObject* {
        return version_member(as_file(self)->version_is_2_0 ? CifVersion::Cif20 : CifVersion::Cif11)
            .release();
    });
}

int file_set_version(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return no_deleter();
    return writing(self, [&]() -> int {
        bool is_2_0 = true;
        if (!version_from(value, is_2_0)) return -1;
        as_file(self)->version_is_2_0 = is_2_0;
        return 0;
    });
}

PyObject* file_blocks(PyObject* self, void*) {
    return reading(self, [&]() -> PyObject* {
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
    return reading(self, [&]() -> PyObject* {
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
    return reading_int(self, [&]() -> int {
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
    return reading(self, [&]() -> PyObject* {
        static const Signature sig{"CifFile.deepcopy", {}, 0, true};
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

PyTypeObject* cif_file_type() {
    return cached_type<file_spec>();
}

PyRef new_cif_file(PyRef blocks, PyRef block_list, bool version_is_2_0) {
    return make_file(cif_file_type(), std::move(blocks), std::move(block_list), version_is_2_0);
}

}  // namespace quarzel::py
