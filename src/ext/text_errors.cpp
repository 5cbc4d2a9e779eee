// text_errors(source, mode=None): the error records of a whole read of
// `source`, and nothing else. The command line's `check` reads files this
// way: the document is built natively (the GIL released) and dropped, so no
// Python object is made per value and neither pyarrow nor the object model
// is imported.
#include "binding/args.hpp"
#include "binding/common.hpp"
#include "core/pipeline.hpp"
#include "ext/entry_points.hpp"

namespace quarzel::ext {

QUARZEL_EXT_ENTRY(py_text_errors) {
    (void)self;
    return py::guarded([&]() -> PyObject* {
        static const py::Signature sig{"text_errors", {"source", "mode"}, 1};
        std::string_view source;
        bool strict = false;
        if (!py::source_and_mode(sig, args, nargs, kwnames, source, strict)) return nullptr;
        std::vector<NativeParseError> errors = py::without_gil([&] {
            return std::move(parse_document(source, strict).document.errors);
        });
        return py::error_list(errors).release();
    });
}

}  // namespace quarzel::ext
