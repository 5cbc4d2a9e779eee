// The common encoding chains undone in one pass, straight into the array
// that keeps the values: [FixedPoint] [Delta] [RunLength] [IntegerPacking]
// ByteArray of integers (each step at most once, in that order), and a
// ByteArray of numbers alone. Everything else goes through decode_numbers.
//
// A chain is first checked (every fault decode_numbers would find, and the
// same values taken from the budget) and only then written, which cannot
// fail. Where the check fails, the caller restores the budget and lets
// decode_numbers decode and say what is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "bcif/container.hpp"

namespace quarzel::bcif {

class Budget;

struct FusedChain {
    std::string_view bytes;
    DType byte_type = DType::Int32;  // the ByteArray's
    std::size_t packed = 0;          // values in `bytes`
    // IntegerPacking: present, and with values continued past its limits
    // (srcSize below the packed values; otherwise each is one value).
    bool packing = false, continued = false;
    std::int64_t packing_size = 0;  // srcSize
    int byte_count = 1;
    bool is_unsigned = false;
    std::int64_t upper = 0, lower_limit = 0;
    bool runs = false;  // RunLength, of `run_type`, to `run_size` values
    DType run_type = DType::Int32;
    std::int64_t run_size = 0;
    bool delta = false;  // Delta (of Int32) from `origin`
    std::int64_t origin = 0;
    bool fixed = false;  // FixedPoint by `factor`
    double factor = 1;
    DType type = DType::Int32;  // the integers' type (before FixedPoint)
    std::size_t size = 0;       // values, once checked

    bool floating() const noexcept { return is_float(byte_type); }
};

// Whether `chain` over `data` is one of the chains above; fills `out`.
bool recognise_chain(std::span<const Encoding> chain, std::string_view data, FusedChain& out);

// Checks a recognised chain and takes its values from `budget` as
// decode_numbers would; sets `size`. False when anything is wrong (the
// budget may then have been drawn on).
bool check_chain(FusedChain& c, Budget& budget);

// What a caller takes a chain for: any numbers, integers alone (no
// FixedPoint), or indices (integers within Int32: no Uint32).
enum class ChainValues { Numbers, Integers, Indices };

// recognise_chain and check_chain together, for `rows` values (any number
// when negative): false, with `budget` as it was, for a chain the
// step-by-step way must undo (or tell what is wrong with).
bool take_chain(std::span<const Encoding> chain, std::string_view data, Budget& budget,
                FusedChain& out, ChainValues values, std::int64_t rows = -1);

// The values of a checked chain into `out` (room for `size`): integer
// chains as 32- or 64-bit integers (wrapped to the type as the array
// holds them) or, with FixedPoint or a ByteArray of numbers, as doubles.
void write_chain(const FusedChain& c, std::int32_t* out);
void write_chain(const FusedChain& c, std::int64_t* out);
void write_chain(const FusedChain& c, double* out);

// The values of a checked integer chain as mask bytes; false (what was
// written is then unusable) when a value is not 0, 1 or 2. `any` tells
// whether some value is not 0.
bool write_mask(const FusedChain& c, std::uint8_t* out, bool& any);

// The values of a checked integer chain (within 32 bits) as indices into
// `items`, with the bytes of text they stand for and whether some is -1 (no
// string); false (what was written is then unusable) when one is not -1
// or an item's.
bool write_indices(const FusedChain& c, std::int32_t* out, std::span<const std::string_view> items,
                   std::uint64_t& text, bool& none);

}  // namespace quarzel::bcif
