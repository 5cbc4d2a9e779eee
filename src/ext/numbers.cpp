// number(text) and numbers(chunks, integers): CIF numbers with standard
// uncertainties, one value as Python objects or whole string columns as
// Arrow arrays (one native pass, no Python object per value).
#include <arrow/api.h>
#include <arrow/c/abi.h>
#include <arrow/c/bridge.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "binding/args.hpp"
#include "binding/common.hpp"
#include "core/number.hpp"
#include "core/number_inline.hpp"
#include "ext/entry_points.hpp"

namespace quarzel::ext {
namespace {

using py::PyRef;

// An int for the digits of an integer that does not fit int64. Null with
// no error set when Python refuses that many digits (its limit on
// conversions from text, 4300 digits by default).
PyRef big_int(std::string_view digits) {
    std::string text(digits);
    PyRef value = PyRef::steal(PyLong_FromString(text.c_str(), nullptr, 10));
    if (!value && PyErr_ExceptionMatches(PyExc_ValueError)) PyErr_Clear();
    return value;
}

PyObject* number_tuple(std::string_view text) {
    NumberResult r = parse_number(text);
    NumberParts parts;
    if (r.status == NumberStatus::text && scan_number(text, parts) && !parts.has_point &&
        !parts.has_exponent) {
        // An integer beyond the float64 range: still an exact Python int.
        r.is_integer = true;
        r.int_exact = false;
        r.has_su = !parts.su_digits.empty();
        r.value = r.su = 0.0;
        r.status = NumberStatus::number;
    }
    if (r.status != NumberStatus::number) return Py_BuildValue("(OO)", Py_None, Py_None);
    PyRef value, su;
    if (r.is_integer) {
        scan_number(text, parts);
        value =
            r.int_exact ? PyRef::steal(PyLong_FromLongLong(r.int_value)) : big_int(parts.mantissa);
        if (r.has_su && value) {
            su = r.int_exact ? PyRef::steal(PyLong_FromLongLong(r.int_su))
                             : big_int(parts.su_digits);
        }
        if ((!value || (r.has_su && !su)) && !PyErr_Occurred()) {
            return Py_BuildValue("(OO)", Py_None, Py_None);
        }
        if (!value) return nullptr;
    } else {
        value = PyRef::steal(PyFloat_FromDouble(r.value));
        if (!value) return nullptr;
        if (r.has_su) su = PyRef::steal(PyFloat_FromDouble(r.su));
    }
    if (r.has_su && !su) return nullptr;
    return PyTuple_Pack(2, value.get(), su ? su.get() : Py_None);
}

// ---- numbers(): string columns to a struct of arrays ----

struct Columns {
    std::int64_t length = 0;
    std::shared_ptr<arrow::Buffer> value, value_valid, su, su_valid, status, status_valid;
    std::shared_ptr<arrow::Buffer> ivalue, ivalue_valid, isu, isu_valid;
};

// Data buffers are written in every row; validity bitmaps start all null.
arrow::Result<std::shared_ptr<arrow::Buffer>> uninitialised(std::int64_t bytes) {
    ARROW_ASSIGN_OR_RAISE(std::unique_ptr<arrow::Buffer> b, arrow::AllocateBuffer(bytes));
    return std::shared_ptr<arrow::Buffer>(std::move(b));
}

arrow::Result<std::shared_ptr<arrow::Buffer>> zeroed(std::int64_t bytes) {
    ARROW_ASSIGN_OR_RAISE(std::unique_ptr<arrow::Buffer> b, arrow::AllocateBuffer(bytes));
    std::memset(b->mutable_data(), 0, static_cast<std::size_t>(bytes));
    return std::shared_ptr<arrow::Buffer>(std::move(b));
}

arrow::Status allocate(Columns& c, std::int64_t n, bool integers) {
    const std::int64_t bitmap = (n + 7) / 8;
    c.length = n;
    ARROW_ASSIGN_OR_RAISE(c.value, uninitialised(n * 8));
    ARROW_ASSIGN_OR_RAISE(c.value_valid, zeroed(bitmap));
    ARROW_ASSIGN_OR_RAISE(c.su, uninitialised(n * 8));
    ARROW_ASSIGN_OR_RAISE(c.su_valid, zeroed(bitmap));
    ARROW_ASSIGN_OR_RAISE(c.status, uninitialised(n));
    ARROW_ASSIGN_OR_RAISE(c.status_valid, zeroed(bitmap));
    if (integers) {
        ARROW_ASSIGN_OR_RAISE(c.ivalue, uninitialised(n * 8));
        ARROW_ASSIGN_OR_RAISE(c.ivalue_valid, zeroed(bitmap));
        ARROW_ASSIGN_OR_RAISE(c.isu, uninitialised(n * 8));
        ARROW_ASSIGN_OR_RAISE(c.isu_valid, zeroed(bitmap));
    }
    return arrow::Status::OK();
}

// Fills rows [offset, offset + array length) of `c` from one string array.
// Every row's data slots are written (0 where null), so that no
// uninitialised memory reaches the result.
template <bool kIntegers, class ArrayType>
void fill(const ArrayType& array, std::int64_t begin, std::int64_t end, std::int64_t offset,
          Columns& c) {
    auto* value = reinterpret_cast<double*>(c.value->mutable_data()) + offset;
    auto* su = reinterpret_cast<double*>(c.su->mutable_data()) + offset;
    auto* status = reinterpret_cast<std::int8_t*>(c.status->mutable_data()) + offset;
    std::uint8_t* value_valid = c.value_valid->mutable_data();
    std::uint8_t* su_valid = c.su_valid->mutable_data();
    std::uint8_t* status_valid = c.status_valid->mutable_data();
    std::int64_t* ivalue = nullptr;
    std::int64_t* isu = nullptr;
    std::uint8_t* ivalue_valid = nullptr;
    std::uint8_t* isu_valid = nullptr;
    if constexpr (kIntegers) {
        ivalue = reinterpret_cast<std::int64_t*>(c.ivalue->mutable_data()) + offset;
        isu = reinterpret_cast<std::int64_t*>(c.isu->mutable_data()) + offset;
        ivalue_valid = c.ivalue_valid->mutable_data();
        isu_valid = c.isu_valid->mutable_data();
    }
    const bool may_have_nulls = array.null_count() != 0;
    // Texts that start at least eight bytes before the end of the value
    // buffer are read eight bytes at a time.
    const char* safe_end = nullptr;
    if constexpr (!std::is_same_v<ArrayType, arrow::StringViewArray>) {
        const auto& data = array.value_data();
        if (data != nullptr && data->size() >= 8) {
            safe_end = reinterpret_cast<const char*>(data->data()) + data->size() - 8;
        }
    }

    // Validity bits are gathered a byte at a time, then OR-ed in (a range
    // may begin or end inside a byte).
    std::uint8_t status_bits = 0, value_bits = 0, su_bits = 0, ivalue_bits = 0, isu_bits = 0;
    std::int64_t byte = (offset + begin) >> 3;
    const auto flush = [&] {
        status_valid[byte] |= status_bits;
        value_valid[byte] |= value_bits;
        su_valid[byte] |= su_bits;
        if constexpr (kIntegers) {
            ivalue_valid[byte] |= ivalue_bits;
            isu_valid[byte] |= isu_bits;
        }
        status_bits = value_bits = su_bits = ivalue_bits = isu_bits = 0;
    };

    for (std::int64_t i = begin; i < end; ++i) {
        const std::int64_t row = offset + i;
        if ((row >> 3) != byte) {
            flush();
            byte = row >> 3;
        }
        const unsigned bit = static_cast<unsigned>(row & 7);
        if (may_have_nulls && array.IsNull(i)) {
            value[i] = su[i] = 0.0;
            status[i] = 0;
            if constexpr (kIntegers) ivalue[i] = isu[i] = 0;
            continue;
        }
        const auto view = array.GetView(i);
        // The common case, kept in registers: a plain decimal.
        NumberResult r;
        const bool plain = view.data() <= safe_end
                               ? parse_plain_decimal_padded(view.data(), view.size(), r)
                               : parse_plain_decimal(view.data(), view.size(), r);
        if (plain) {
            value[i] = r.value;
            su[i] = 0.0;
            status[i] = 0;
            status_bits |= static_cast<std::uint8_t>(1u << bit);
            value_bits |= static_cast<std::uint8_t>(1u << bit);
            if constexpr (kIntegers) {
                ivalue[i] = r.int_value;
                isu[i] = 0;
                ivalue_bits |=
                    static_cast<std::uint8_t>(static_cast<unsigned>(r.is_integer) << bit);
            }
            continue;
        }
        const NumberResult g = parse_number(std::string_view(view.data(), view.size()));
        const bool is_number = g.status == NumberStatus::number;
        value[i] = g.value;
        su[i] = g.su;
        status[i] = static_cast<std::int8_t>(g.status);
        status_bits |= static_cast<std::uint8_t>(1u << bit);
        value_bits |= static_cast<std::uint8_t>(static_cast<unsigned>(is_number) << bit);
        su_bits |= static_cast<std::uint8_t>(static_cast<unsigned>(is_number && g.has_su) << bit);
        if constexpr (kIntegers) {
            const bool exact = is_number && g.int_exact;
            ivalue[i] = g.int_value;
            isu[i] = g.int_su;
            ivalue_bits |= static_cast<std::uint8_t>(static_cast<unsigned>(exact) << bit);
            isu_bits |= static_cast<std::uint8_t>(static_cast<unsigned>(exact && g.has_su) << bit);
        }
    }
    if (begin < end) flush();
}

template <class ArrayType>
void fill_any(const arrow::Array& array, std::int64_t begin, std::int64_t end, std::int64_t offset,
              Columns& c) {
    const auto& typed = static_cast<const ArrayType&>(array);
    if (c.ivalue) {
        fill<true>(typed, begin, end, offset, c);
    } else {
        fill<false>(typed, begin, end, offset, c);
    }
}

arrow::Status check_type(const arrow::Array& array) {
    switch (array.type_id()) {
        case arrow::Type::STRING:
        case arrow::Type::LARGE_STRING:
        case arrow::Type::STRING_VIEW:
            return arrow::Status::OK();
        default:
            return arrow::Status::TypeError("expected string values, not ",
                                            array.type()->ToString());
    }
}

// Rows [begin, end) of one chunk (of a type check_type accepted).
void fill_chunk(const arrow::Array& array, std::int64_t begin, std::int64_t end,
                std::int64_t offset, Columns& c) {
    switch (array.type_id()) {
        case arrow::Type::STRING:
            return fill_any<arrow::StringArray>(array, begin, end, offset, c);
        case arrow::Type::LARGE_STRING:
            return fill_any<arrow::LargeStringArray>(array, begin, end, offset, c);
        default:
            return fill_any<arrow::StringViewArray>(array, begin, end, offset, c);
    }
}

// Output rows [lo, hi) from the chunks that hold them.
void fill_rows(const std::vector<std::shared_ptr<arrow::Array>>& arrays, std::int64_t lo,
               std::int64_t hi, Columns& c) {
    std::int64_t offset = 0;
    for (const auto& array : arrays) {
        const std::int64_t length = array->length();
        const std::int64_t begin = std::max(lo, offset) - offset;
        const std::int64_t end = std::min(hi, offset + length) - offset;
        if (begin < end) fill_chunk(*array, begin, end, offset, c);
        offset += length;
    }
}

// Large columns are shared out among a few threads, each taking a range of
// rows that starts on a multiple of eight, so that no two of them write to
// the same byte of a validity bitmap.
void fill_all(const std::vector<std::shared_ptr<arrow::Array>>& arrays, Columns& c) {
    constexpr std::int64_t kRowsPerThread = 1 << 18;
    const std::int64_t n = c.length;
    const std::int64_t wanted =
        std::min<std::int64_t>(std::max(1u, std::thread::hardware_concurrency()),
                               std::min<std::int64_t>(8, n / kRowsPerThread));
    if (wanted <= 1) return fill_rows(arrays, 0, n, c);
    const std::int64_t step = (n / wanted + 7) / 8 * 8;
    std::vector<std::thread> threads;
    std::int64_t lo = 0;
    try {
        for (; lo + step < n && static_cast<std::int64_t>(threads.size()) + 1 < wanted;
             lo += step) {
            threads.emplace_back([&arrays, &c, lo, step] { fill_rows(arrays, lo, lo + step, c); });
        }
    } catch (...) {
        // No more threads to be had (or no memory for one): this thread
        // does the rest, and the ones started are joined below.
    }
    fill_rows(arrays, lo, n, c);
    for (auto& t : threads) t.join();
}

std::int64_t count_nulls(const std::shared_ptr<arrow::Buffer>& bits, std::int64_t n) {
    return n - arrow::internal::CountSetBits(bits->data(), 0, n);
}

std::shared_ptr<arrow::Array> primitive(const std::shared_ptr<arrow::DataType>& type,
                                        std::int64_t n, std::shared_ptr<arrow::Buffer> valid,
                                        std::shared_ptr<arrow::Buffer> data) {
    const std::int64_t nulls = count_nulls(valid, n);
    return arrow::MakeArray(arrow::ArrayData::Make(
        type, n, {nulls == 0 ? nullptr : std::move(valid), std::move(data)}, nulls));
}

arrow::Result<std::shared_ptr<arrow::Array>> assemble(Columns& c, bool integers) {
    const std::int64_t n = c.length;
    arrow::StringBuilder names;
    ARROW_RETURN_NOT_OK(names.AppendValues({"number", "unknown", "inapplicable", "text"}));
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Array> dictionary, names.Finish());
    const auto status_type = arrow::dictionary(arrow::int8(), arrow::utf8());
    auto indices = primitive(arrow::int8(), n, c.status_valid, c.status);
    // The indices are 0 to 3 by construction: no check of their bounds.
    auto status = std::make_shared<arrow::DictionaryArray>(status_type, indices, dictionary);

    std::vector<std::shared_ptr<arrow::Array>> children = {
        primitive(arrow::float64(), n, c.value_valid, c.value),
        primitive(arrow::float64(), n, c.su_valid, c.su),
        status,
    };
    std::vector<std::string> fields = {"value", "su", "status"};
    if (integers) {
        children.push_back(primitive(arrow::int64(), n, c.ivalue_valid, c.ivalue));
        children.push_back(primitive(arrow::int64(), n, c.isu_valid, c.isu));
        fields.insert(fields.end(), {"int_value", "int_su"});
    }
    ARROW_ASSIGN_OR_RAISE(auto result, arrow::StructArray::Make(children, fields));
    return std::static_pointer_cast<arrow::Array>(result);
}

// Owners of exported C structs, released unless pyarrow has taken them over.
struct CArray {
    ArrowArray array{};
    ArrowSchema schema{};
    CArray() = default;
    CArray(const CArray&) = delete;
    CArray& operator=(const CArray&) = delete;
    ~CArray() {
        if (array.release != nullptr) array.release(&array);
        if (schema.release != nullptr) schema.release(&schema);
    }
};

PyObject* arrow_error(const arrow::Status& status) {
    PyErr_SetString(status.IsTypeError() ? PyExc_TypeError : PyExc_ValueError,
                    status.ToString().c_str());
    return nullptr;
}

PyObject* numbers_of(PyObject* chunks, bool integers) {
    PyRef seq = PyRef::steal(PySequence_Fast(chunks, "argument 'chunks': expected a sequence"));
    if (!seq) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
    // Borrow each chunk's memory through the C data interface.
    std::vector<std::shared_ptr<arrow::Array>> arrays;
    arrays.reserve(static_cast<std::size_t>(count));
    std::int64_t total = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* chunk = PySequence_Fast_GET_ITEM(seq.get(), i);
        CArray c;
        PyRef done = PyRef::steal(PyObject_CallMethod(
            chunk, "_export_to_c", "KK",
            static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&c.array)),
            static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&c.schema))));
        if (!done) return nullptr;
        auto imported = arrow::ImportArray(&c.array, &c.schema);
        if (!imported.ok()) return arrow_error(imported.status());
        total += (*imported)->length();
        arrays.push_back(std::move(*imported));
    }

    // The pass itself runs without the interpreter lock.
    Columns columns;
    arrow::Result<std::shared_ptr<arrow::Array>> result;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS;
    try {
        arrow::Status st = allocate(columns, total, integers);
        for (const auto& array : arrays) {
            if (st.ok()) st = check_type(*array);
        }
        if (st.ok()) fill_all(arrays, columns);
        result = st.ok() ? assemble(columns, integers)
                         : arrow::Result<std::shared_ptr<arrow::Array>>(st);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS;
    if (out_of_memory) return PyErr_NoMemory();
    if (!result.ok()) return arrow_error(result.status());

    CArray out;
    const arrow::Status exported = arrow::ExportArray(**result, &out.array, &out.schema);
    if (!exported.ok()) return arrow_error(exported);
    PyRef pyarrow = PyRef::steal(PyImport_ImportModule("pyarrow"));
    if (!pyarrow) return nullptr;
    PyRef array_type = py::attr(pyarrow.get(), "Array");
    if (!array_type) return nullptr;
    return PyObject_CallMethod(
        array_type.get(), "_import_from_c", "KK",
        static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&out.array)),
        static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&out.schema)));
}

}  // namespace

QUARZEL_EXT_ENTRY(py_number) {
    (void)self;
    static const py::Signature sig{"number", {"text"}, 1};
    PyObject* bound[1] = {};
    if (!py::bind(sig, args, nargs, kwnames, bound)) return nullptr;
    std::string_view text;
    if (!py::str_argument("text", bound[0], text)) return nullptr;
    return py::guarded([&] { return number_tuple(text); });
}

QUARZEL_EXT_ENTRY(py_numbers) {
    (void)self;
    static const py::Signature sig{"numbers", {"chunks", "integers"}, 1};
    PyObject* bound[2] = {};
    if (!py::bind(sig, args, nargs, kwnames, bound)) return nullptr;
    int integers = 0;
    if (bound[1] != nullptr && (integers = PyObject_IsTrue(bound[1])) < 0) return nullptr;
    return py::guarded([&] { return numbers_of(bound[0], integers != 0); });
}

}  // namespace quarzel::ext
