// CifBlock: a data block's tags and loops, and its save frames by name.
#include "module/cif_frame.hpp"
#include "module/cif_model.hpp"
#include "module/entry_points.hpp"

#include <string>
#include <utility>

namespace quarzel::py {
namespace {

using namespace model;

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
    return reading(self, [&]() -> PyObject* {
        PyObject* list = need_list(as_block(self)->save_frame_list);
        if (!list) return nullptr;
        return names_of(list, true);
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

}  // namespace

PyTypeObject* cif_block_type() {
    return cached_type<block_spec>();
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

}  // namespace quarzel::py
