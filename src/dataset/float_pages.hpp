// The encodings of a float64 column chunk other than plain values. Doubles
// read from decimals have near-random low bytes, which Snappy works hard on
// for little; so a chunk of few distinct values is written as a dictionary
// of them and each value's code (its pages stored uncompressed: the codes
// are bit-packed already), and any other as its values' bytes split into
// eight streams (byte k of every value together), stored uncompressed as
// well: only the streams of signs, exponents and high digits would
// compress, 7 to 12% of the whole, for Snappy's pass over every byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quarzel::dataset {

// The distinct values of a chunk (their 8 bytes, in the order first seen)
// and the code of each value: its place among them.
class ValueDictionary {
public:
    // Codes the `count` values at `data`; false, stopping there, when they
    // hold more than `limit` distinct values.
    bool build(const unsigned char* data, std::size_t count, std::size_t limit);
    const std::vector<std::uint64_t>& values() const noexcept { return values_; }
    const std::vector<std::uint32_t>& codes() const noexcept { return codes_; }
    // Bits a code takes (at least 1).
    int bit_width() const noexcept;
    // Empties it; frees its tables when large.
    void reset();

private:
    std::vector<std::uint64_t> keys_;   // a value per taken slot
    std::vector<std::uint32_t> slots_;  // its code + 1, or 0 for a free slot
    std::vector<std::uint64_t> values_;
    std::vector<std::uint32_t> codes_;
};

// Appends `n` codes of `width` bits in the run-length / bit-packed hybrid
// (runs of eight or more equal codes as runs, the rest packed by groups of
// eight), without a length before them.
void put_codes(const std::uint32_t* codes, std::size_t n, int width, std::string& out);

// Appends the `count` 8-byte values at `data` split into byte streams.
void put_split_bytes(const unsigned char* data, std::size_t count, std::string& out);

}  // namespace quarzel::dataset
