// The int64 values of a typed run's column chunks as differences from one
// value to the next, bit-packed (Parquet's DELTA_BINARY_PACKED): the
// integers of CIF tables count up by one (ids), repeat (model and entity
// numbers) or step now and then (residue numbers), so most differences
// take no bits or one; Snappy worked on their eight bytes a value for a
// larger result. Pages of this encoding are stored uncompressed.
#pragma once

#include <cstddef>
#include <string>

namespace quarzel::dataset {

// Appends the `count` int64 values at `data` (8 bytes each, little-endian)
// in blocks of 128 differences, each in four groups of 32 packed with the
// bits the group needs above the block's least difference. Differences
// wrap as unsigned 64-bit numbers do, as readers add them.
void put_delta_packed(const unsigned char* data, std::size_t count, std::string& out);

}  // namespace quarzel::dataset
