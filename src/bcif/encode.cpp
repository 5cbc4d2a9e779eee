#include "bcif/encode.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <unordered_map>

#include "core/utf8.hpp"

namespace quarzel::bcif {

namespace {

// What an encoding adds to the file besides its data (its map of
// parameters, roughly): chains of equal data size favour the shorter.
constexpr std::size_t kStepCost = 24;

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();

OutEncoding step(Kind kind, DType type) {
    OutEncoding e;
    e.kind = kind;
    e.type = type;
    return e;
}

// How a sequence of integers is best stored: packed in 1 or 2 bytes
// (signed or not), or plain Int32 (bytes == 4).
struct Packing {
    int bytes = 4;
    bool is_unsigned = false;
    std::size_t count = 0;  // stored values
    std::size_t size() const { return static_cast<std::size_t>(bytes) * count; }
};

std::uint64_t chunks(std::int64_t v, std::int64_t upper, std::int64_t lower) {
    if (v >= 0) return static_cast<std::uint64_t>(v / upper) + 1;
    return static_cast<std::uint64_t>(v / lower) + 1;  // both negative
}

Packing best_packing(std::span<const std::int64_t> s) {
    if (s.empty()) return {1, true, 0};
    std::int64_t lo = s[0], hi = s[0];
    for (std::int64_t v : s) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    const bool non_negative = lo >= 0;
    // Every value within one byte (not at a limit, which continues): no
    // pass over the values.
    if (non_negative ? hi < 0xFF : lo > -0x80 && hi < 0x7F) return {1, non_negative, s.size()};
    std::uint64_t c1 = 0, c2 = 0;
    if (non_negative) {
        for (std::int64_t v : s) {
            c1 += static_cast<std::uint64_t>(v / 0xFF) + 1;
            c2 += static_cast<std::uint64_t>(v / 0xFFFF) + 1;
        }
    } else {
        for (std::int64_t v : s) {
            c1 += chunks(v, 0x7F, -0x80);
            c2 += chunks(v, 0x7FFF, -0x8000);
        }
    }
    Packing best{4, false, s.size()};
    if (2 * c2 < best.size()) best = {2, non_negative, static_cast<std::size_t>(c2)};
    if (c1 < best.size()) best = {1, non_negative, static_cast<std::size_t>(c1)};
    return best;
}

// How many runs of equal values `s` has.
std::size_t count_runs(std::span<const std::int64_t> s) {
    std::size_t runs = s.empty() ? 0 : 1;
    for (std::size_t i = 1; i < s.size(); ++i) runs += s[i] != s[i - 1];
    return runs;
}

template <class T>
void put(std::string& out, T v) {
    char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    out.append(b, sizeof(T));
}

// Appends the packed (or plain) values and their encodings.
void emit(std::span<const std::int64_t> s, const Packing& p, OutEncoded& out) {
    std::string& data = out.data;
    if (p.bytes == 4) {
        data.reserve(4 * s.size());
        for (std::int64_t v : s) put<std::int32_t>(data, static_cast<std::int32_t>(v));
        out.encoding.push_back(step(Kind::ByteArray, DType::Int32));
        return;
    }
    OutEncoding packing = step(Kind::IntegerPacking, DType::Int32);
    packing.src_size = static_cast<std::int64_t>(s.size());
    packing.byte_count = p.bytes;
    packing.is_unsigned = p.is_unsigned;
    out.encoding.push_back(packing);
    data.reserve(p.size());
    const std::int64_t upper =
        p.is_unsigned ? (p.bytes == 1 ? 0xFF : 0xFFFF) : (p.bytes == 1 ? 0x7F : 0x7FFF);
    const std::int64_t lower = p.bytes == 1 ? -0x80 : -0x8000;
    auto store = [&](std::int64_t v) {
        if (p.bytes == 1) {
            if (p.is_unsigned)
                put<std::uint8_t>(data, static_cast<std::uint8_t>(v));
            else
                put<std::int8_t>(data, static_cast<std::int8_t>(v));
        } else {
            if (p.is_unsigned)
                put<std::uint16_t>(data, static_cast<std::uint16_t>(v));
            else
                put<std::int16_t>(data, static_cast<std::int16_t>(v));
        }
    };
    for (std::int64_t v : s) {
        if (v >= 0) {
            while (v >= upper) {
                store(upper);
                v -= upper;
            }
        } else {
            while (v <= lower) {
                store(lower);
                v -= lower;
            }
        }
        store(v);
    }
    DType type;
    if (p.bytes == 1)
        type = p.is_unsigned ? DType::Uint8 : DType::Int8;
    else
        type = p.is_unsigned ? DType::Uint16 : DType::Int16;
    out.encoding.push_back(step(Kind::ByteArray, type));
}

std::vector<std::int64_t> run_lengths(std::span<const std::int64_t> s) {
    std::vector<std::int64_t> out;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t j = i + 1;
        while (j < s.size() && s[j] == s[i]) ++j;
        out.push_back(s[i]);
        out.push_back(static_cast<std::int64_t>(j - i));
        i = j;
    }
    return out;
}

}  // namespace

OutEncoded encode_ints(std::span<const std::int32_t> values) {
    const std::size_t n = values.size();
    std::vector<std::int64_t> plain(values.begin(), values.end());
    // Differences, from the first value as origin; only when they fit Int32.
    std::vector<std::int64_t> delta(n);
    bool delta_ok = n != 0;
    for (std::size_t i = 0; i < n && delta_ok; ++i) {
        delta[i] = i == 0 ? 0 : plain[i] - plain[i - 1];
        delta_ok = delta[i] >= kInt32Min && delta[i] <= kInt32Max;
    }

    struct Choice {
        const std::vector<std::int64_t>* seq;
        bool delta, runs;
        Packing packing;
        std::size_t cost;
    };
    auto consider = [&](const std::vector<std::int64_t>& seq, bool d, bool r) {
        const Packing p = best_packing(seq);
        const std::size_t steps = 1 + (d ? 1 : 0) + (r ? 1 : 0) + (p.bytes != 4 ? 1 : 0);
        return Choice{&seq, d, r, p, p.size() + kStepCost * steps};
    };
    Choice best = consider(plain, false, false);
    if (delta_ok) {
        Choice c = consider(delta, true, false);
        if (c.cost < best.cost) best = c;
    }
    // Run lengths only when their pairs (a byte each at best) could be
    // smaller than the best so far.
    std::vector<std::int64_t> runs, delta_runs;
    if (2 * count_runs(plain) + 3 * kStepCost < best.cost) {
        runs = run_lengths(plain);
        Choice c = consider(runs, false, true);
        if (c.cost < best.cost) best = c;
    }
    if (delta_ok && 2 * count_runs(delta) + 4 * kStepCost < best.cost) {
        delta_runs = run_lengths(delta);
        Choice c = consider(delta_runs, true, true);
        if (c.cost < best.cost) best = c;
    }
    OutEncoded out;
    if (best.delta) {
        OutEncoding e = step(Kind::Delta, DType::Int32);
        e.origin = n ? plain[0] : 0;
        out.encoding.push_back(e);
    }
    if (best.runs) {
        OutEncoding e = step(Kind::RunLength, DType::Int32);
        e.src_size = static_cast<std::int64_t>(n);
        out.encoding.push_back(e);
    }
    emit(*best.seq, best.packing, out);
    return out;
}

std::optional<OutEncoded> encode_mask(std::span<const std::uint8_t> mask) {
    bool any = false;
    for (std::uint8_t m : mask) any |= m != 0;
    if (!any) return std::nullopt;
    std::vector<std::int64_t> plain(mask.begin(), mask.end());
    std::vector<std::int64_t> runs = run_lengths(plain);
    const Packing p = best_packing(runs);
    OutEncoded out;
    if (p.size() + 2 * kStepCost < mask.size()) {
        OutEncoding e = step(Kind::RunLength, DType::Uint8);
        e.src_size = static_cast<std::int64_t>(mask.size());
        out.encoding.push_back(e);
        emit(runs, p, out);
        return out;
    }
    out.data.assign(reinterpret_cast<const char*>(mask.data()), mask.size());
    out.encoding.push_back(step(Kind::ByteArray, DType::Uint8));
    return out;
}

namespace {

OutEncoded encode_strings(std::span<const std::string_view> values,
                          const std::vector<std::uint8_t>& mask) {
    // The distinct strings in order of first appearance; -1 under the mask.
    std::unordered_map<std::string_view, std::int32_t> index;
    std::vector<std::int32_t> rows(values.size());
    std::string data;
    std::vector<std::int32_t> offsets{0};
    std::int64_t chars = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!mask.empty() && mask[i] != 0) {
            rows[i] = -1;
            continue;
        }
        auto [it, added] = index.try_emplace(values[i], static_cast<std::int32_t>(index.size()));
        if (added) {
            data += values[i];
            // Offsets count characters (code points).
            chars += static_cast<std::int64_t>(utf8::count(values[i]));
            if (chars > kInt32Max)
                throw std::length_error("a column's distinct strings exceed 2^31 characters");
            offsets.push_back(static_cast<std::int32_t>(chars));
        }
        rows[i] = it->second;
    }
    OutEncoding sa = step(Kind::StringArray, DType::Int32);
    OutEncoded indices = encode_ints(rows);
    OutEncoded offs = encode_ints(offsets);
    sa.data_encoding = std::move(indices.encoding);
    sa.offset_encoding = std::move(offs.encoding);
    sa.string_data = std::move(data);
    sa.offsets = std::move(offs.data);
    OutEncoded out;
    out.data = std::move(indices.data);
    out.encoding.push_back(std::move(sa));
    return out;
}

}  // namespace

OutEncoded encode_values(const Classified& c, std::span<const std::string_view> values) {
    switch (c.stored) {
        case Stored::Integers:
            return encode_ints(c.ints);
        case Stored::Fixed: {
            OutEncoding fp = step(Kind::FixedPoint, DType::Float64);
            fp.factor = 1;
            for (int k = 0; k < c.decimals; ++k) fp.factor *= 10;
            OutEncoded out = encode_ints(c.ints);
            out.encoding.insert(out.encoding.begin(), fp);
            return out;
        }
        case Stored::Doubles: {
            OutEncoded out;
            out.data.reserve(8 * c.doubles.size());
            for (double v : c.doubles) put<double>(out.data, v);
            out.encoding.push_back(step(Kind::ByteArray, DType::Float64));
            return out;
        }
        case Stored::Strings:
            break;
    }
    return encode_strings(values, c.mask);
}

OutColumn encode_column(std::string name, std::span<const std::string_view> values,
                        Declared declared) {
    const Classified c = classify(values, declared);
    OutColumn out;
    out.name = std::move(name);
    out.data = encode_values(c, values);
    out.mask = encode_mask(c.mask);
    return out;
}

}  // namespace quarzel::bcif
