// Encoding columns for size, as good BinaryCIF encoders do: integers by the
// smallest of IntegerPacking, Delta, RunLength and their combinations (or
// plain Int32), FixedPoint numbers the same way after scaling, doubles as
// Float64, strings as a StringArray of the distinct strings with packed
// indices and offsets, the mask as bytes or run lengths.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bcif/classify.hpp"
#include "bcif/container.hpp"

namespace quarzel::bcif {

// An encoding to write: the parameters of Encoding, and for a StringArray
// its own string data and encoded offsets.
struct OutEncoding {
    Kind kind = Kind::ByteArray;
    DType type = DType::Int32;  // ByteArray: type; others: srcType
    std::int64_t factor = 1;    // FixedPoint
    std::int64_t origin = 0;    // Delta
    std::int64_t src_size = 0;  // RunLength, IntegerPacking
    int byte_count = 1;         // IntegerPacking
    bool is_unsigned = false;
    std::vector<OutEncoding> data_encoding, offset_encoding;  // StringArray
    std::string string_data, offsets;
};

struct OutEncoded {
    std::string data;
    std::vector<OutEncoding> encoding;
};

struct OutColumn {
    std::string name;
    OutEncoded data;
    std::optional<OutEncoded> mask;
};

// Integers by the smallest chain.
OutEncoded encode_ints(std::span<const std::int32_t> values);

// A whole column of value texts.
OutColumn encode_column(std::string name, std::span<const std::string_view> values,
                        Declared declared);

// The column's data from classified values (`values` are needed for
// strings only).
OutEncoded encode_values(const Classified& c, std::span<const std::string_view> values);

// The mask: nothing when every row has a value.
std::optional<OutEncoded> encode_mask(std::span<const std::uint8_t> mask);

}  // namespace quarzel::bcif
