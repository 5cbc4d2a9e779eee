#include "binding/common.hpp"

namespace quarzel::py {

PyRef import_types() {
    return PyRef::steal(PyImport_ImportModule("quarzel.types"));
}

PyRef attr(PyObject* obj, const char* name) {
    return PyRef::steal(PyObject_GetAttrString(obj, name));
}

PyRef version_member(CifVersion version) {
    PyRef types = import_types();
    if (!types) return {};
    PyRef cls = attr(types.get(), "CifVersion");
    if (!cls) return {};
    return attr(cls.get(), version == CifVersion::Cif20 ? "CIF_2_0" : "CIF_1_1");
}

PyRef str(std::string_view text) {
    return PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

PyRef error_dict(const NativeParseError& e) {
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return {};
    PyRef values[] = {str(error_type_name(e.error_type)),
                      str(e.message),
                      PyRef::steal(PyLong_FromUnsignedLong(e.line)),
                      PyRef::steal(PyLong_FromUnsignedLong(e.column)),
                      str(e.context),
                      str(e.recovery_action)};
    static const char* const keys[] = {"error_type", "message", "line",
                                       "column",     "context", "recovery_action"};
    for (int i = 0; i < 6; ++i) {
        if (!values[i] || PyDict_SetItemString(d.get(), keys[i], values[i].get()) < 0) return {};
    }
    return d;
}

PyRef error_list(const std::vector<NativeParseError>& errors) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(errors.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < errors.size(); ++i) {
        PyRef d = error_dict(errors[i]);
        if (!d) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d.release());
    }
    return list;
}

}  // namespace quarzel::py
