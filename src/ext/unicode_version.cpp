// unicode_version(): the Unicode version of the native character tables, for
// tests and diagnostics that compare them with the interpreter's.
#include <utf8proc.h>

#include "binding/args.hpp"
#include "binding/common.hpp"
#include "ext/entry_points.hpp"

namespace quarzel::ext {

QUARZEL_EXT_ENTRY(py_unicode_version) {
    (void)self;
    static const py::Signature sig{"unicode_version", {}, 0};
    if (!py::bind(sig, args, nargs, kwnames, nullptr)) return nullptr;
    return py::guarded([] { return py::str(utf8proc_unicode_version()).release(); });
}

}  // namespace quarzel::ext
