// Decoding one column: its encodings undone from the last applied to the
// first, into integers, numbers or strings, with the mask beside them.
//
// Nothing is allocated from a size the file declares before it is checked:
// against the data at hand where the encoding bounds it (IntegerPacking,
// ByteArray), and against a budget of values per file where it does not
// (RunLength, which may rightly expand a few bytes into many values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "bcif/container.hpp"
#include "bcif/fused_decode.hpp"

namespace quarzel::bcif {

// How much one file may decode into: values (of every intermediate array)
// and bytes of cell text. Scaled to the input so that real files never meet
// it and a few hostile bytes cannot claim gigabytes.
class Budget {
public:
    static constexpr std::uint64_t kBaseValues = std::uint64_t{1} << 22;
    static constexpr std::uint64_t kValuesPerByte = 32;
    static constexpr std::uint64_t kBaseText = std::uint64_t{64} << 20;
    static constexpr std::uint64_t kTextPerByte = 64;

    explicit Budget(std::size_t input_bytes)
        : values_(kBaseValues + kValuesPerByte * input_bytes),
          text_(kBaseText + kTextPerByte * input_bytes) {}
    Budget(std::uint64_t values, std::uint64_t text) : values_(values), text_(text) {}

    // Takes `n` values (or bytes of text); false, taking nothing, when they
    // are not left.
    bool take_values(std::uint64_t n) noexcept { return take(values_, n); }
    bool take_text(std::uint64_t n) noexcept { return take(text_, n); }
    std::uint64_t values_left() const noexcept { return values_; }

private:
    static bool take(std::uint64_t& left, std::uint64_t n) noexcept {
        if (n > left) return false;
        left -= n;
        return true;
    }
    std::uint64_t values_;
    std::uint64_t text_;
};

// A vector that leaves new elements of plain types uninitialised: decoding
// writes every element it makes room for, and zeroing first would cost a
// pass over every array.
template <class T>
struct DefaultInit : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DefaultInit<U>;
    };
    DefaultInit() = default;
    template <class U>
    DefaultInit(const DefaultInit<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
    }
};
template <class T>
using PodVector = std::vector<T, DefaultInit<T>>;

// The numbers of one step of decoding.
struct Numbers {
    DType type = DType::Int32;
    PodVector<std::int64_t> ints;  // integer types; FixedPoint's scaled integers
    PodVector<double> floats;      // float types
    // FixedPoint by 10^decimals: `ints` hold the scaled values (exact), and
    // `floats` stay empty until asked for.
    int decimals = -1;
    double factor = 0;  // FixedPoint: the factor
    // Left encoded, checked, for its values to be written where they are
    // kept (see decode_column): `ints` and `floats` stay empty, `type` is
    // Float64 for FixedPoint.
    bool deferred = false;
    FusedChain chain;

    bool floating() const noexcept { return is_float(type); }
    bool fixed() const noexcept { return decimals >= 0; }
    std::size_t size() const noexcept {
        if (deferred) return chain.size;
        return floating() && !fixed() ? floats.size() : ints.size();
    }
};

// A column of strings: the distinct strings, and per row an index into
// them (-1: no string).
struct Strings {
    std::string_view data;  // the column's string data, which every item lies in
    PodVector<std::string_view> items;
    PodVector<std::int32_t> index;
    bool offsets_in_utf16 = false;  // the offsets counted UTF-16 units (and were read so)
    bool any_none = false;          // some index is -1
    std::uint64_t text = 0;         // bytes of the strings of every row
};

struct DecodedColumn {
    bool is_string = false;
    Numbers numbers;  // !is_string
    Strings strings;  // is_string
    // Per row: 0 a value, 1 inapplicable ("."), 2 unknown ("?"). Empty when
    // every row has a value.
    PodVector<std::uint8_t> mask;

    std::size_t size() const noexcept { return is_string ? strings.index.size() : numbers.size(); }
    bool masked(std::size_t row) const noexcept { return !mask.empty() && mask[row] != 0; }
};

// Undoes `encoded`'s encodings (no StringArray among them) into numbers.
// Returns "" or what is wrong.
std::string decode_numbers(std::string_view data, std::span<const Encoding> chain, Budget& budget,
                           Numbers& out);
inline std::string decode_numbers(const Encoded& encoded, Budget& budget, Numbers& out) {
    return decode_numbers(encoded.data, encoded.encoding, budget, out);
}

// Decodes a whole column of `rows` rows, mask included. Returns "" or what
// is wrong (the column is then unusable). With `defer_numbers`, numbers of
// a chain fused_decode undoes are only checked and left `deferred`.
std::string decode_column(const Column& column, std::int64_t rows, Budget& budget,
                          DecodedColumn& out, bool defer_numbers = false);

// The values of a FixedPoint array as doubles (ints / factor), in place.
void materialize_floats(Numbers& n);

}  // namespace quarzel::bcif
