// CifSaveFrame: a save frame's tags and loops.
#include "module/cif_frame.hpp"
#include "module/cif_model.hpp"
#include "module/entry_points.hpp"

#include <string>
#include <utility>

namespace quarzel::py {
namespace {

using namespace model;

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

}  // namespace

PyTypeObject* cif_save_frame_type() {
    return cached_type<save_frame_spec>();
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

}  // namespace quarzel::py
