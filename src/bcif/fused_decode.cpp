// One pass from the ByteArray's bytes to the kept values: the packed
// values read and summed, the runs expanded and the deltas added as each
// value goes by, each value written once.
#include "bcif/fused_decode.hpp"

#include <algorithm>
#include <cstring>

#include "bcif/decode.hpp"

namespace quarzel::bcif {

namespace {

// `v` held as a typed array of `type` holds it.
std::int64_t wrap_to(DType type, std::int64_t v) {
    switch (type) {
        case DType::Int8:
            return static_cast<std::int8_t>(v);
        case DType::Int16:
            return static_cast<std::int16_t>(v);
        case DType::Int32:
            return static_cast<std::int32_t>(v);
        case DType::Uint8:
            return static_cast<std::uint8_t>(v);
        case DType::Uint16:
            return static_cast<std::uint16_t>(v);
        case DType::Uint32:
            return static_cast<std::uint32_t>(v);
        default:
            return v;
    }
}

// How the packed values ended: how many values they gave, and whether
// the last was not a continued one.
struct Unpacked {
    std::size_t values;
    bool whole;
};

// Calls f(v) for each value of the ByteArray (elements of T) and the
// IntegerPacking after it, in order. Made part of its caller, so that what
// `f` keeps from value to value (a running sum, where it writes) stays in
// registers rather than being stored and loaded again for every value.
template <class T, class F>
[[gnu::always_inline]] inline Unpacked unpack(const FusedChain& c, F& f) {
    const char* p = c.bytes.data();
    const std::size_t n = c.packed;
    if (!c.continued) {
        for (std::size_t i = 0; i < n; ++i, p += sizeof(T)) {
            T x;
            std::memcpy(&x, p, sizeof(T));
            if (c.packing)
                f(static_cast<std::int64_t>(static_cast<std::int32_t>(x)));
            else
                f(static_cast<std::int64_t>(x));
        }
        return {n, true};
    }
    const std::int64_t upper = c.upper, lower = c.lower_limit;
    std::int64_t sum = 0;
    std::size_t values = 0;
    bool open = false;
    for (std::size_t i = 0; i < n; ++i, p += sizeof(T)) {
        T x;
        std::memcpy(&x, p, sizeof(T));
        const auto v = static_cast<std::int64_t>(x);
        sum += v;
        open = v == upper || v == lower;
        if (open) continue;
        f(static_cast<std::int64_t>(static_cast<std::int32_t>(sum)));
        sum = 0;
        ++values;
    }
    return {values, !open};
}

template <class F>
[[gnu::always_inline]] inline Unpacked unpack_any(const FusedChain& c, F&& f) {
    switch (c.byte_type) {
        case DType::Int8:
            return unpack<std::int8_t>(c, f);
        case DType::Int16:
            return unpack<std::int16_t>(c, f);
        case DType::Uint8:
            return unpack<std::uint8_t>(c, f);
        case DType::Uint16:
            return unpack<std::uint16_t>(c, f);
        case DType::Uint32:
            return unpack<std::uint32_t>(c, f);
        default:
            return unpack<std::int32_t>(c, f);
    }
}

// The values of an integer chain, each through `conv` into `out`: conv(v,
// n) gives what `v` is written as, for `n` rows in a row (n may be 0).
// Everything is made part of the caller (see unpack).
template <class O, class Conv>
void write_values(const FusedChain& c, O* out, Conv& conv) {
    auto acc = static_cast<std::uint32_t>(c.origin);
    if (c.runs) {
        // Values already within Int32 runs need no wrapping.
        const bool wrap =
            c.run_type != DType::Int32 || (!c.packing && c.byte_type == DType::Uint32);
        bool count_next = false;
        std::int64_t value = 0;
        unpack_any(c, [&](std::int64_t v) __attribute__((always_inline)) {
            if (!count_next) {
                value = wrap ? wrap_to(c.run_type, v) : v;
                count_next = true;
                return;
            }
            count_next = false;
            const auto count = static_cast<std::size_t>(v);
            if (!c.delta) {
                out = std::fill_n(out, count, conv(value, count));
                return;
            }
            const auto step = static_cast<std::uint32_t>(value);
            if (step == 0) {
                out = std::fill_n(out, count, conv(static_cast<std::int32_t>(acc), count));
                return;
            }
            for (std::size_t j = 0; j < count; ++j) {
                acc += step;
                out[j] = conv(static_cast<std::int32_t>(acc), 1);
            }
            out += count;
        });
    } else if (c.delta) {
        unpack_any(c, [&](std::int64_t v) __attribute__((always_inline)) {
            acc += static_cast<std::uint32_t>(v);
            *out++ = conv(static_cast<std::int32_t>(acc), 1);
        });
    } else {
        unpack_any(c, [&](std::int64_t v) __attribute__((always_inline)) { *out++ = conv(v, 1); });
    }
}

}  // namespace

bool recognise_chain(std::span<const Encoding> chain, std::string_view data, FusedChain& out) {
    out = FusedChain{};
    if (chain.empty() || chain.back().kind != Kind::ByteArray) return false;
    out.bytes = data;
    out.byte_type = chain.back().type;
    const std::size_t steps = chain.size() - 1;
    if (out.floating()) {
        out.type = out.byte_type;
        return steps == 0;
    }
    std::size_t k = 0;
    if (k < steps && chain[k].kind == Kind::FixedPoint) {
        out.fixed = true;
        out.factor = chain[k++].factor;
    }
    if (k < steps && chain[k].kind == Kind::Delta) {
        if (chain[k].type != DType::Int32) return false;
        out.delta = true;
        out.origin = chain[k++].origin;
    }
    if (k < steps && chain[k].kind == Kind::RunLength) {
        if (is_float(chain[k].type)) return false;
        out.runs = true;
        out.run_type = chain[k].type;
        out.run_size = chain[k++].src_size;
    }
    if (k < steps && chain[k].kind == Kind::IntegerPacking) {
        out.packing = true;
        out.packing_size = chain[k].src_size;
        out.byte_count = chain[k].byte_count;
        out.is_unsigned = chain[k++].is_unsigned;
    }
    if (k != steps) return false;
    out.type = out.delta     ? DType::Int32
               : out.runs    ? out.run_type
               : out.packing ? DType::Int32
                             : out.byte_type;
    return true;
}

bool check_chain(FusedChain& c, Budget& budget) {
    const std::size_t width = dtype_size(c.byte_type);
    if (c.bytes.size() % width != 0) return false;
    c.packed = c.bytes.size() / width;
    if (!budget.take_values(c.packed)) return false;
    std::uint64_t values = c.packed;
    if (c.packing) {
        if (c.byte_count != 1 && c.byte_count != 2 && c.byte_count != 4) return false;
        const std::int64_t bits = 8 * c.byte_count;
        c.upper =
            c.is_unsigned ? (std::int64_t{1} << bits) - 1 : (std::int64_t{1} << (bits - 1)) - 1;
        // Unsigned packing has no lower limit: `upper` stands for it.
        c.lower_limit = c.is_unsigned ? c.upper : -(std::int64_t{1} << (bits - 1));
        if (static_cast<std::uint64_t>(c.packing_size) > c.packed) return false;
        if (!budget.take_values(static_cast<std::uint64_t>(c.packing_size))) return false;
        values = static_cast<std::uint64_t>(c.packing_size);
        c.continued = values != c.packed;
    }
    if (c.runs) {
        // The counts: every second value, none negative, adding up to srcSize.
        const auto size = static_cast<std::uint64_t>(c.run_size);
        std::uint64_t total = 0;
        bool count_next = false, sound = true;
        const Unpacked u = unpack_any(c, [&](std::int64_t v) {
            if (count_next) {
                sound &= v >= 0;
                total += static_cast<std::uint64_t>(v);
                sound &= total <= size;
            }
            count_next = !count_next;
        });
        if (!u.whole || u.values != values || values % 2 != 0 || !sound || total != size)
            return false;
        if (!budget.take_values(total)) return false;
        values = total;
    } else if (c.continued) {
        const Unpacked u = unpack_any(c, [](std::int64_t) {});
        if (!u.whole || u.values != values) return false;
    }
    c.size = static_cast<std::size_t>(values);
    return true;
}

bool take_chain(std::span<const Encoding> chain, std::string_view data, Budget& budget,
                FusedChain& out, ChainValues values, std::int64_t rows) {
    if (!recognise_chain(chain, data, out)) return false;
    if (values != ChainValues::Numbers && (out.floating() || out.fixed)) return false;
    if (values == ChainValues::Indices && out.type == DType::Uint32) return false;
    const Budget before = budget;
    if (check_chain(out, budget) && (rows < 0 || out.size == static_cast<std::uint64_t>(rows)))
        return true;
    budget = before;
    return false;
}

void write_chain(const FusedChain& c, std::int32_t* out) {
    auto conv = [](std::int64_t v, std::size_t) { return static_cast<std::int32_t>(v); };
    write_values(c, out, conv);
}

void write_chain(const FusedChain& c, std::int64_t* out) {
    auto conv = [](std::int64_t v, std::size_t) { return v; };
    write_values(c, out, conv);
}

void write_chain(const FusedChain& c, double* out) {
    if (c.byte_type == DType::Float64) {
        if (c.size) std::memcpy(out, c.bytes.data(), c.size * sizeof(double));
    } else if (c.byte_type == DType::Float32) {
        const char* p = c.bytes.data();
        for (std::size_t i = 0; i < c.size; ++i, p += sizeof(float)) {
            float x;
            std::memcpy(&x, p, sizeof(float));
            out[i] = static_cast<double>(x);
        }
    } else {
        const double factor = c.fixed ? c.factor : 1;
        auto conv = [factor](std::int64_t v, std::size_t) {
            return static_cast<double>(v) / factor;
        };
        write_values(c, out, conv);
    }
}

bool write_mask(const FusedChain& c, std::uint8_t* out, bool& any) {
    std::uint64_t seen = 0;
    bool bad = false;
    auto conv = [&](std::int64_t v, std::size_t n) __attribute__((always_inline)) {
        if (n != 0) {
            bad |= static_cast<std::uint64_t>(v) > 2;
            seen |= static_cast<std::uint64_t>(v);
        }
        return static_cast<std::uint8_t>(v);
    };
    write_values(c, out, conv);
    any = seen != 0;
    return !bad;
}

bool write_indices(const FusedChain& c, std::int32_t* out, std::span<const std::string_view> items,
                   std::uint64_t& text, bool& none) {
    const std::string_view* const item = items.data();
    const std::uint64_t count = items.size();
    bool bad = false;
    std::uint64_t bytes = 0;
    bool missing = false;
    auto conv = [&](std::int64_t v, std::size_t n) __attribute__((always_inline)) {
        // One comparison for -1 <= v < count.
        if (static_cast<std::uint64_t>(v + 1) > count) [[unlikely]]
            bad |= n != 0;
        else if (v < 0)
            missing |= n != 0;
        else
            bytes += item[v].size() * n;
        return static_cast<std::int32_t>(v);
    };
    write_values(c, out, conv);
    text = bytes;
    none = missing;
    return !bad;
}

}  // namespace quarzel::bcif
