// The object model classes CifFile, CifBlock and CifSaveFrame.
#include "args.hpp"
#include "common.hpp"
#include "entry_points.hpp"

namespace quarzel::py {
namespace {

struct Instance {
    PyObject_HEAD
};

PyObject* not_yet(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", type->tp_name);
    return nullptr;
}

PyTypeObject* make_type(const char* name, const char* doc) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(not_yet)},
        {Py_tp_doc, const_cast<char*>(doc)},
        {0, nullptr},
    };
    PyType_Spec spec = {name, sizeof(Instance), 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace

PyTypeObject* cif_save_frame_type() {
    static PyTypeObject* type =
        make_type("quarzel.cifmodel.model.CifSaveFrame", "CifSaveFrame(name, id=0)\n--\n\n");
    return type;
}
PyTypeObject* cif_block_type() {
    static PyTypeObject* type =
        make_type("quarzel.cifmodel.model.CifBlock", "CifBlock(name, id=0)\n--\n\n");
    return type;
}
PyTypeObject* cif_file_type() {
    static PyTypeObject* type =
        make_type("quarzel.cifmodel.model.CifFile", "CifFile(version=None)\n--\n\n");
    return type;
}

}  // namespace quarzel::py
