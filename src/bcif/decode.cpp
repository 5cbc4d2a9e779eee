// The encodings undone, one step at a time, each checked against its data.
#include "bcif/decode.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/ascii.hpp"
#include "core/file_text.hpp"

namespace quarzel::bcif {

namespace {

std::string str(std::int64_t v) {
    return std::to_string(v);
}

// The range of an integer type.
struct Range {
    std::int64_t lo, hi;
};
Range range_of(DType type) {
    switch (type) {
        case DType::Int8:
            return {-128, 127};
        case DType::Int16:
            return {-32768, 32767};
        case DType::Uint8:
            return {0, 255};
        case DType::Uint16:
            return {0, 65535};
        case DType::Uint32:
            return {0, 4294967295ll};
        default:
            return {-2147483648ll, 2147483647};
    }
}

// Every value of type `inner` is one of type `outer`.
bool holds(DType outer, DType inner) {
    const Range a = range_of(outer), b = range_of(inner);
    return a.lo <= b.lo && b.hi <= a.hi;
}

// Wraps integers into the range of `type`, as a typed array would hold them.
void wrap(PodVector<std::int64_t>& v, DType type) {
    switch (type) {
        case DType::Int8:
            for (auto& x : v) x = static_cast<std::int8_t>(x);
            break;
        case DType::Int16:
            for (auto& x : v) x = static_cast<std::int16_t>(x);
            break;
        case DType::Int32:
            for (auto& x : v) x = static_cast<std::int32_t>(x);
            break;
        case DType::Uint8:
            for (auto& x : v) x = static_cast<std::uint8_t>(x);
            break;
        case DType::Uint16:
            for (auto& x : v) x = static_cast<std::uint16_t>(x);
            break;
        case DType::Uint32:
            for (auto& x : v) x = static_cast<std::uint32_t>(x);
            break;
        default:
            break;
    }
}

template <class T>
void read_le(std::string_view bytes, PodVector<std::int64_t>& out) {
    const std::size_t n = bytes.size() / sizeof(T);
    out.resize(n);
    const char* p = bytes.data();
    for (std::size_t i = 0; i < n; ++i, p += sizeof(T)) {
        T v;
        std::memcpy(&v, p, sizeof(T));
        out[i] = v;
    }
}

template <class T>
void read_le_float(std::string_view bytes, PodVector<double>& out) {
    const std::size_t n = bytes.size() / sizeof(T);
    out.resize(n);
    const char* p = bytes.data();
    for (std::size_t i = 0; i < n; ++i, p += sizeof(T)) {
        T v;
        std::memcpy(&v, p, sizeof(T));
        out[i] = static_cast<double>(v);
    }
}

// A second set of buffers for the steps that cannot work in place, kept per
// thread: once columns stop growing, decoding allocates nothing.
Numbers& spare() {
    thread_local Numbers s;
    s.ints.clear();
    s.floats.clear();
    s.decimals = -1;
    s.factor = 0;
    return s;
}

std::string byte_array(const Encoding& e, std::string_view bytes, Budget& budget, Numbers& out) {
    const std::size_t size = dtype_size(e.type);
    if (bytes.size() % size != 0)
        return "ByteArray of " + std::string(dtype_name(e.type)) + ": " + str(bytes.size()) +
               " bytes are not a whole number of " + str(size) + "-byte values";
    if (!budget.take_values(bytes.size() / size)) return "ByteArray: too many values for the file";
    out.ints.clear();
    out.floats.clear();
    out.decimals = -1;
    out.factor = 0;
    out.type = e.type;
    switch (e.type) {
        case DType::Int8:
            read_le<std::int8_t>(bytes, out.ints);
            break;
        case DType::Int16:
            read_le<std::int16_t>(bytes, out.ints);
            break;
        case DType::Int32:
            read_le<std::int32_t>(bytes, out.ints);
            break;
        case DType::Uint8:
            read_le<std::uint8_t>(bytes, out.ints);
            break;
        case DType::Uint16:
            read_le<std::uint16_t>(bytes, out.ints);
            break;
        case DType::Uint32:
            read_le<std::uint32_t>(bytes, out.ints);
            break;
        case DType::Float32:
            read_le_float<float>(bytes, out.floats);
            break;
        case DType::Float64:
            read_le_float<double>(bytes, out.floats);
            break;
    }
    return {};
}

std::string needs_integers(const Encoding& e, const Numbers& in) {
    if (in.floating())
        return std::string(kind_name(e.kind)) + ": its input is " +
               std::string(in.fixed() ? "FixedPoint" : dtype_name(in.type)) +
               " numbers, not integers";
    return {};
}

std::string integer_packing(const Encoding& e, Numbers& n, Budget& budget) {
    if (std::string err = needs_integers(e, n); !err.empty()) return err;
    const PodVector<std::int64_t>& in = n.ints;
    const auto size = static_cast<std::uint64_t>(e.src_size);
    // Each value takes one packed value at least.
    if (size > in.size())
        return "IntegerPacking: srcSize " + str(e.src_size) + " is more than the " +
               str(in.size()) + " packed values can hold";
    std::int64_t upper, lower;
    if (e.byte_count == 1) {
        upper = e.is_unsigned ? 0xFF : 0x7F;
        lower = e.is_unsigned ? 0 : -0x80;
    } else if (e.byte_count == 2) {
        upper = e.is_unsigned ? 0xFFFF : 0x7FFF;
        lower = e.is_unsigned ? 0 : -0x8000;
    } else if (e.byte_count == 4) {
        upper = e.is_unsigned ? 0xFFFFFFFFll : 0x7FFFFFFF;
        lower = e.is_unsigned ? 0 : -0x80000000ll;
    } else {
        return "IntegerPacking: byteCount " + str(e.byte_count) + " is not 1, 2 or 4";
    }
    if (!budget.take_values(size)) return "IntegerPacking: too many values for the file";
    Numbers& out = spare();
    out.type = DType::Int32;
    if (size == in.size()) {
        // As many values as packed ones: nothing was continued.
        if (!holds(DType::Int32, n.type)) wrap(n.ints, DType::Int32);
        n.type = DType::Int32;
        return {};
    } else {
        out.ints.resize(size);
        // For unsigned packing `lower` is 0, which is no limit: it never
        // equals `upper`, so testing against `upper` twice is the same.
        const std::int64_t lower_limit = lower != 0 ? lower : upper;
        const std::int64_t* const packed = in.data();
        const std::size_t count = in.size();
        std::int64_t* const to = out.ints.data();
        std::size_t j = 0;
        std::int64_t sum = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::int64_t v = packed[i];
            sum += v;
            if (v == upper || v == lower_limit) {
                if (i + 1 < count) continue;
                return "IntegerPacking: the packed values end inside a continued value";
            }
            if (j == size)
                return "IntegerPacking: the packed values hold more than srcSize " +
                       str(e.src_size) + " values";
            // Held as a 32-bit integer holds it.
            to[j++] = static_cast<std::int32_t>(sum);
            sum = 0;
        }
        if (j != size)
            return "IntegerPacking: the packed values hold " + str(static_cast<std::int64_t>(j)) +
                   " values, not srcSize " + str(e.src_size);
    }
    std::swap(n, out);
    return {};
}

// The runs of `pairs` (value, count) expanded and summed from `origin` as
// Delta sums, each sum held as `T` holds it (see running_sum).
template <class T>
void run_sums(const std::int64_t* pairs, std::size_t size, std::int64_t origin, std::int64_t* p) {
    using U = std::make_unsigned_t<T>;
    auto acc = static_cast<U>(origin);
    for (std::size_t i = 0; i < size; i += 2) {
        const auto step = static_cast<U>(pairs[i]);
        const auto count = static_cast<std::size_t>(pairs[i + 1]);
        if (step == 0) {  // a run of equal values, filled
            p = std::fill_n(p, count, static_cast<std::int64_t>(static_cast<T>(acc)));
            continue;
        }
        for (std::size_t j = 0; j < count; ++j) {
            acc = static_cast<U>(acc + step);
            p[j] = static_cast<T>(acc);
        }
        p += count;
    }
}

// RunLength; when `delta` is given (an integer Delta applied just before
// it, and the runs' values already within e.type), that Delta too, in the
// same pass.
std::string run_length(const Encoding& e, Numbers& n, Budget& budget,
                       const Encoding* delta = nullptr) {
    if (std::string err = needs_integers(e, n); !err.empty()) return err;
    const PodVector<std::int64_t>& in = n.ints;
    if (in.size() % 2 != 0)
        return "RunLength: " + str(in.size()) + " values are not whole (value, count) pairs";
    std::uint64_t total = 0;
    for (std::size_t i = 1; i < in.size(); i += 2) {
        if (in[i] < 0) return "RunLength: a negative count " + str(in[i]);
        total += static_cast<std::uint64_t>(in[i]);
        if (total > static_cast<std::uint64_t>(e.src_size))
            return "RunLength: the runs hold more than srcSize " + str(e.src_size) + " values";
    }
    if (total != static_cast<std::uint64_t>(e.src_size))
        return "RunLength: the runs hold " + std::to_string(total) + " values, not srcSize " +
               str(e.src_size);
    if (!budget.take_values(total))
        return "RunLength: srcSize " + str(e.src_size) + " is more values than the file may hold";
    Numbers& out = spare();
    out.type = e.type;
    if (is_float(e.type)) {
        out.floats.resize(total);
        double* p = out.floats.data();
        for (std::size_t i = 0; i < in.size(); i += 2)
            p = std::fill_n(p, static_cast<std::size_t>(in[i + 1]),
                            e.type == DType::Float32
                                ? static_cast<double>(static_cast<float>(in[i]))
                                : static_cast<double>(in[i]));
    } else if (delta != nullptr) {
        out.ints.resize(total);
        out.type = delta->type;
        const std::int64_t* const pairs = in.data();
        std::int64_t* const p = out.ints.data();
        switch (delta->type) {
            case DType::Int8:
                run_sums<std::int8_t>(pairs, in.size(), delta->origin, p);
                break;
            case DType::Int16:
                run_sums<std::int16_t>(pairs, in.size(), delta->origin, p);
                break;
            case DType::Uint8:
                run_sums<std::uint8_t>(pairs, in.size(), delta->origin, p);
                break;
            case DType::Uint16:
                run_sums<std::uint16_t>(pairs, in.size(), delta->origin, p);
                break;
            case DType::Uint32:
                run_sums<std::uint32_t>(pairs, in.size(), delta->origin, p);
                break;
            default:
                run_sums<std::int32_t>(pairs, in.size(), delta->origin, p);
                break;
        }
    } else {
        out.ints.resize(total);
        std::int64_t* p = out.ints.data();
        for (std::size_t i = 0; i < in.size(); i += 2)
            p = std::fill_n(p, static_cast<std::size_t>(in[i + 1]), in[i]);
        if (!holds(e.type, n.type)) wrap(out.ints, e.type);
    }
    std::swap(n, out);
    return {};
}

// Delta's running sum from `origin`, each value held as `T` holds it: the
// sum is taken in T's unsigned type, which wraps as the typed array does
// (the same values as summing exactly and wrapping afterwards).
template <class T>
void running_sum(PodVector<std::int64_t>& v, std::int64_t origin) {
    using U = std::make_unsigned_t<T>;
    auto acc = static_cast<U>(origin);
    std::int64_t* p = v.data();
    const std::size_t n = v.size();
    for (std::size_t i = 0; i < n; ++i) {
        acc = static_cast<U>(acc + static_cast<U>(p[i]));
        p[i] = static_cast<T>(acc);
    }
}

std::string delta(const Encoding& e, Numbers& n) {
    if (std::string err = needs_integers(e, n); !err.empty()) return err;
    if (is_float(e.type)) {
        Numbers& out = spare();
        out.type = e.type;
        out.floats.resize(n.ints.size());
        double acc = static_cast<double>(e.origin);
        for (std::size_t i = 0; i < n.ints.size(); ++i) {
            acc += static_cast<double>(n.ints[i]);
            out.floats[i] = acc;
        }
        std::swap(n, out);
        return {};
    }
    switch (e.type) {
        case DType::Int8:
            running_sum<std::int8_t>(n.ints, e.origin);
            break;
        case DType::Int16:
            running_sum<std::int16_t>(n.ints, e.origin);
            break;
        case DType::Uint8:
            running_sum<std::uint8_t>(n.ints, e.origin);
            break;
        case DType::Uint16:
            running_sum<std::uint16_t>(n.ints, e.origin);
            break;
        case DType::Uint32:
            running_sum<std::uint32_t>(n.ints, e.origin);
            break;
        default:
            running_sum<std::int32_t>(n.ints, e.origin);
            break;
    }
    n.type = e.type;
    return {};
}

bool power_of_ten(double factor, int& decimals) {
    double p = 1;
    for (int k = 0; k <= 15; ++k, p *= 10) {
        if (factor == p) {
            decimals = k;
            return true;
        }
    }
    return false;
}

std::string fixed_point(const Encoding& e, Numbers& n) {
    if (std::string err = needs_integers(e, n); !err.empty()) return err;
    n.factor = e.factor;
    int decimals = 0;
    if (power_of_ten(e.factor, decimals)) {
        n.type = DType::Float64;
        n.decimals = decimals;
        return {};
    }
    Numbers& out = spare();
    out.type = DType::Float64;
    out.floats.resize(n.ints.size());
    for (std::size_t i = 0; i < n.ints.size(); ++i)
        out.floats[i] = static_cast<double>(n.ints[i]) / e.factor;
    std::swap(n, out);
    return {};
}

std::string interval_quantization(const Encoding& e, Numbers& n) {
    if (std::string err = needs_integers(e, n); !err.empty()) return err;
    Numbers& out = spare();
    out.type = e.type == DType::Float32 ? DType::Float32 : DType::Float64;
    out.floats.resize(n.ints.size());
    const double step = (e.max - e.min) / static_cast<double>(e.num_steps - 1);
    for (std::size_t i = 0; i < n.ints.size(); ++i) {
        double v = e.min + step * static_cast<double>(n.ints[i]);
        if (out.type == DType::Float32) v = static_cast<float>(v);
        out.floats[i] = v;
    }
    std::swap(n, out);
    return {};
}

}  // namespace

void materialize_floats(Numbers& n) {
    if (!n.fixed()) return;
    n.floats.resize(n.ints.size());
    double scale = 1;
    for (int k = 0; k < n.decimals; ++k) scale *= 10;
    for (std::size_t i = 0; i < n.ints.size(); ++i)
        n.floats[i] = static_cast<double>(n.ints[i]) / scale;
    n.ints.clear();
    n.ints.shrink_to_fit();
    n.decimals = -1;
}

std::string decode_numbers(std::string_view data, std::span<const Encoding> chain, Budget& budget,
                           Numbers& out) {
    if (chain.empty()) return "no encodings";
    if (chain.back().kind != Kind::ByteArray)
        return "the last encoding applied is " + std::string(kind_name(chain.back().kind)) +
               ", not ByteArray";
    if (std::string err = byte_array(chain.back(), data, budget, out); !err.empty()) return err;
    for (std::size_t k = chain.size() - 1; k-- > 0;) {
        const Encoding& e = chain[k];
        // Only the first-applied step may leave FixedPoint's exact integers.
        if (out.fixed()) materialize_floats(out);
        std::string err;
        switch (e.kind) {
            case Kind::ByteArray:
                err = "ByteArray is not the last encoding applied";
                break;
            case Kind::StringArray:
                err = "StringArray is not the only encoding";
                break;
            case Kind::IntegerPacking:
                err = integer_packing(e, out, budget);
                break;
            case Kind::RunLength:
                // A Delta applied just before it is undone in the same pass
                // where the runs' values need no wrapping.
                if (k > 0 && chain[k - 1].kind == Kind::Delta && !is_float(chain[k - 1].type) &&
                    !is_float(e.type) && !out.floating() && holds(e.type, out.type)) {
                    err = run_length(e, out, budget, &chain[k - 1]);
                    --k;
                } else {
                    err = run_length(e, out, budget);
                }
                break;
            case Kind::Delta:
                err = delta(e, out);
                break;
            case Kind::FixedPoint:
                err = fixed_point(e, out);
                break;
            case Kind::IntervalQuantization:
                err = interval_quantization(e, out);
                break;
        }
        if (!err.empty()) return err;
    }
    return {};
}

namespace {

// The byte offset of every code point boundary of `s` (s.size() + 1 at
// most), or of every UTF-16 unit boundary (a 4-byte sequence taking two
// units; its middle maps to no byte and is marked npos).
void boundaries(std::string_view s, bool utf16, std::vector<std::size_t>& out) {
    out.clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) == 0x80) continue;
        out.push_back(i);
        if (utf16 && b >= 0xF0) out.push_back(std::string_view::npos);
    }
    out.push_back(s.size());
}

std::string strings(const Encoding& e, const Encoded& column, std::int64_t rows, Budget& budget,
                    Strings& out) {
    const std::string_view data = e.string_data;
    const bool ascii = ascii::is_ascii(data);
    if (!ascii && first_invalid_utf8(data) != std::string_view::npos)
        return "StringArray: stringData is not valid UTF-8";
    thread_local Numbers offsets, index;
    FusedChain fused;
    const bool fused_offsets =
        take_chain(e.offset_encoding, e.offsets, budget, fused, ChainValues::Integers);
    if (fused_offsets) {
        offsets.ints.resize(fused.size);
        write_chain(fused, offsets.ints.data());
        offsets.floats.clear();
        offsets.type = fused.type;
        offsets.decimals = -1;
    }
    if (!fused_offsets)
        if (std::string err = decode_numbers(e.offsets, e.offset_encoding, budget, offsets);
            !err.empty())
            return "StringArray offsets: " + err;
    if (offsets.floating()) return "StringArray offsets are numbers, not integers";
    // Indices of a common chain, sound and within 32 bits, are written
    // straight into `out.index` below.
    const bool fused_index =
        take_chain(e.data_encoding, column.data, budget, fused, ChainValues::Indices, rows);
    if (!fused_index) {
        if (std::string err = decode_numbers(column.data, e.data_encoding, budget, index);
            !err.empty())
            return "StringArray indices: " + err;
        if (index.floating()) return "StringArray indices are numbers, not integers";
        if (index.ints.size() != static_cast<std::uint64_t>(rows))
            return "StringArray: " + str(static_cast<std::int64_t>(index.ints.size())) +
                   " indices for " + str(rows) + " rows";
    }

    const PodVector<std::int64_t>& off = offsets.ints;
    const std::size_t count = off.empty() ? 0 : off.size() - 1;
    if (!budget.take_values(count)) return "StringArray: too many strings for the file";
    out.data = data;
    out.items.resize(count);
    if (count != 0) {
        for (std::size_t k = 0; k < count; ++k)
            if (off[k] < 0 || off[k + 1] < off[k])
                return "StringArray: offsets " + str(off[k]) + ", " + str(off[k + 1]) +
                       " do not rise";
        const auto last = static_cast<std::uint64_t>(off[count]);
        if (ascii) {
            if (last > data.size())
                return "StringArray: offset " + str(off[count]) + " is past the " +
                       str(static_cast<std::int64_t>(data.size())) + " characters of stringData";
            for (std::size_t k = 0; k < count; ++k)
                out.items[k] = data.substr(static_cast<std::size_t>(off[k]),
                                           static_cast<std::size_t>(off[k + 1] - off[k]));
        } else {
            // Offsets count code points; a file whose offsets end at the
            // UTF-16 length instead (as JavaScript writers count) is read
            // in UTF-16 units.
            std::vector<std::size_t> at;
            boundaries(data, false, at);
            if (last + 1 != at.size()) {
                std::vector<std::size_t> at16;
                boundaries(data, true, at16);
                if (last + 1 == at16.size()) {
                    at.swap(at16);
                    out.offsets_in_utf16 = true;
                }
            }
            if (last + 1 > at.size())
                return "StringArray: offset " + str(off[count]) + " is past the " +
                       str(static_cast<std::int64_t>(at.size() - 1)) + " characters of stringData";
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t a = at[static_cast<std::size_t>(off[k])];
                const std::size_t b = at[static_cast<std::size_t>(off[k + 1])];
                if (a == std::string_view::npos || b == std::string_view::npos)
                    return "StringArray: offset " + str(off[k]) +
                           " splits a character outside the Basic Multilingual Plane";
                out.items[k] = data.substr(a, b - a);
            }
        }
    }
    const std::size_t n = static_cast<std::size_t>(rows);
    out.index.resize(n);
    bool none = false;
    std::uint64_t text = 0;
    std::int32_t* to = out.index.data();
    const std::string_view* items = out.items.data();
    if (fused_index) {
        if (write_indices(fused, to, out.items, out.text, out.any_none)) return {};
        // Some index is no string's: the first one is told.
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t v = to[i];
            if (static_cast<std::uint64_t>(v + 1) > count)
                return "StringArray: index " + str(v) + " in row " +
                       str(static_cast<std::int64_t>(i + 1)) + " is not one of the " +
                       str(static_cast<std::int64_t>(count)) + " strings";
        }
        return {};
    }
    const std::int64_t* in = index.ints.data();
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t v = in[i];
        // One comparison for -1 <= v < count.
        if (static_cast<std::uint64_t>(v + 1) > count) [[unlikely]]
            return "StringArray: index " + str(v) + " in row " +
                   str(static_cast<std::int64_t>(i + 1)) + " is not one of the " +
                   str(static_cast<std::int64_t>(count)) + " strings";
        if (v < 0)
            none = true;
        else
            text += items[v].size();
        to[i] = static_cast<std::int32_t>(v);
    }
    out.any_none = none;
    out.text = text;
    return {};
}

// A string index of -1 without a mask value: no string, read as `?`.
std::string mark_missing_strings(DecodedColumn& out) {
    if (!out.is_string || !out.strings.any_none) return {};
    const PodVector<std::int32_t>& index = out.strings.index;
    if (out.mask.empty()) out.mask.assign(index.size(), 0);
    const std::int32_t* const at = index.data();
    std::uint8_t* const mask = out.mask.data();
    // Without a branch, the count held apart from the stores: a loop the
    // compiler makes many rows a step.
    const std::size_t n = index.size();
    for (std::size_t i = 0; i < n; ++i)
        mask[i] = at[i] < 0 && mask[i] == 0 ? std::uint8_t{2} : mask[i];
    return {};
}

}  // namespace

std::string decode_column(const Column& column, std::int64_t rows, Budget& budget,
                          DecodedColumn& out, bool defer_numbers) {
    // `out` may be reused: its buffers keep their room.
    out.is_string = false;
    out.numbers.deferred = false;
    out.mask.clear();
    out.strings.offsets_in_utf16 = false;
    out.strings.any_none = false;
    out.strings.text = 0;
    const std::span<const Encoding> chain = column.data.encoding;
    if (!chain.empty() && chain.front().kind == Kind::StringArray) {
        if (chain.size() != 1) return "StringArray is not the only encoding";
        out.is_string = true;
        if (std::string err = strings(chain.front(), column.data, rows, budget, out.strings);
            !err.empty())
            return err;
    } else {
        Numbers& n = out.numbers;
        n.deferred = defer_numbers && take_chain(chain, column.data.data, budget, n.chain,
                                                 ChainValues::Numbers, rows);
        if (n.deferred) {
            n.ints.clear();
            n.floats.clear();
            n.decimals = -1;
            n.factor = 0;
            n.type = n.chain.fixed ? DType::Float64 : n.chain.type;
        } else {
            if (std::string err = decode_numbers(column.data, budget, n); !err.empty()) return err;
            if (n.size() != static_cast<std::uint64_t>(rows))
                return str(static_cast<std::int64_t>(n.size())) + " values for " + str(rows) +
                       " rows";
        }
    }
    FusedChain fused_mask;
    const Budget before_mask = budget;
    if (column.mask && take_chain(column.mask->encoding, column.mask->data, budget, fused_mask,
                                  ChainValues::Integers, rows)) {
        // A common chain written straight into the mask; anything wrong is
        // said by the general way below.
        bool any = false;
        out.mask.resize(fused_mask.size);
        if (write_mask(fused_mask, out.mask.data(), any)) {
            if (!any) out.mask.clear();
            return mark_missing_strings(out);
        }
        out.mask.clear();
        budget = before_mask;
    }
    if (column.mask) {
        thread_local Numbers mask;
        if (std::string err = decode_numbers(*column.mask, budget, mask); !err.empty())
            return "mask: " + err;
        if (mask.floating()) return "mask: numbers, not integers";
        if (mask.ints.size() != static_cast<std::uint64_t>(rows))
            return "mask: " + str(static_cast<std::int64_t>(mask.ints.size())) + " values for " +
                   str(rows) + " rows";
        // Checked and narrowed in one pass; kept only when some row is masked.
        out.mask.resize(mask.ints.size());
        std::uint64_t any = 0;
        for (std::size_t i = 0; i < mask.ints.size(); ++i) {
            const std::int64_t m = mask.ints[i];
            if (static_cast<std::uint64_t>(m) > 2) {
                out.mask.clear();
                return "mask: value " + str(m) + " in row " +
                       str(static_cast<std::int64_t>(i + 1)) + " is not 0, 1 or 2";
            }
            any |= static_cast<std::uint64_t>(m);
            out.mask[i] = static_cast<std::uint8_t>(m);
        }
        if (!any) out.mask.clear();
    }
    return mark_missing_strings(out);
}

}  // namespace quarzel::bcif
