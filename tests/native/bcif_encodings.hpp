// Shorthands for the BinaryCIF tests: raw little-endian bytes and the steps
// of an encoding chain.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>

#include "bcif/decode.hpp"

namespace bcif_test {

using quarzel::bcif::DType;
using quarzel::bcif::Encoding;
using quarzel::bcif::Kind;

template <class T>
std::string bytes_of(std::initializer_list<T> values) {
    std::string out(values.size() * sizeof(T), '\0');
    if (!out.empty()) std::memcpy(out.data(), std::data(values), out.size());
    return out;
}

inline Encoding enc(Kind kind, DType type = DType::Int32, std::int64_t size = 0) {
    Encoding e;
    e.kind = kind;
    e.type = type;
    e.src_size = size;
    return e;
}
inline Encoding byte_array(DType t) {
    return enc(Kind::ByteArray, t);
}
inline Encoding packing(int bytes, bool is_unsigned, std::int64_t size) {
    Encoding e = enc(Kind::IntegerPacking, DType::Int32, size);
    e.byte_count = bytes;
    e.is_unsigned = is_unsigned;
    return e;
}
inline Encoding run_length(std::int64_t size, DType t = DType::Int32) {
    return enc(Kind::RunLength, t, size);
}
inline Encoding delta(std::int64_t origin, DType t = DType::Int32) {
    Encoding e = enc(Kind::Delta, t);
    e.origin = origin;
    return e;
}
inline Encoding fixed(double factor) {
    Encoding e = enc(Kind::FixedPoint, DType::Float64);
    e.factor = factor;
    return e;
}

}  // namespace bcif_test
