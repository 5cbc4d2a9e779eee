// The BinaryCIF container: data blocks, categories and columns, each
// column's data as bytes with the encodings applied to them. Read from a
// MessagePack tree; names, string data and bytes are views into the input.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace quarzel::bcif {

// Element types of ByteArray and of the encodings' source types.
enum class DType : std::int32_t {
    Int8 = 1,
    Int16 = 2,
    Int32 = 3,
    Uint8 = 4,
    Uint16 = 5,
    Uint32 = 6,
    Float32 = 32,
    Float64 = 33,
};

bool valid_dtype(std::int64_t code) noexcept;
bool is_float(DType t) noexcept;
std::size_t dtype_size(DType t) noexcept;
std::string_view dtype_name(DType t) noexcept;  // "Int8" ... "Float64"

enum class Kind : std::uint8_t {
    ByteArray,
    FixedPoint,
    IntervalQuantization,
    RunLength,
    Delta,
    IntegerPacking,
    StringArray,
};

std::string_view kind_name(Kind k) noexcept;

struct Encoding;

// Bytes and the encodings that made them, in the order they were applied
// (held by the file's EncodingArena).
struct Encoded {
    std::string_view data;
    std::span<const Encoding> encoding;
};

struct Encoding {
    Kind kind = Kind::ByteArray;
    DType type = DType::Uint8;  // ByteArray: type; others: srcType (Int32 when absent)
    double factor = 1;          // FixedPoint
    double min = 0, max = 0;    // IntervalQuantization
    std::int64_t num_steps = 0;
    std::int64_t src_size = 0;  // RunLength, IntegerPacking
    std::int64_t origin = 0;    // Delta
    int byte_count = 1;         // IntegerPacking
    bool is_unsigned = false;
    // StringArray: the indices are the column's data, decoded with
    // `data_encoding`; `offsets` decoded with `offset_encoding`.
    std::span<const Encoding> data_encoding, offset_encoding;
    std::string_view string_data, offsets;
};

// The encodings of a file's columns, a run of them for each list, taken
// from blocks of many (no allocation per column); they keep their place
// for the arena's life, moves included.
class EncodingArena {
public:
    // `n` fresh encodings in a row.
    std::span<Encoding> take(std::size_t n) {
        if (n != 0 && room_ - used_ >= n) [[likely]] {
            const std::span<Encoding> out(blocks_.back().get() + used_, n);
            used_ += n;
            return out;
        }
        return take_from_new_block(n);
    }

private:
    // take() where the last block has too little room left (or none is
    // needed: nothing for n = 0).
    std::span<Encoding> take_from_new_block(std::size_t n);

    static constexpr std::size_t kBlock = 256;
    std::vector<std::unique_ptr<Encoding[]>> blocks_;
    std::size_t used_ = 0, room_ = 0;  // of the last block
};

struct Column {
    std::string_view name;
    Encoded data;
    std::optional<Encoded> mask;
};

struct Category {
    std::string_view name;  // as stored (usually with its leading underscore)
    std::int64_t row_count = 0;
    std::vector<Column> columns;
};

struct Block {
    std::string_view header;
    std::vector<Category> categories;
};

struct File {
    std::string_view version, encoder;
    std::vector<Block> blocks;
    EncodingArena encodings;  // of every column
    std::vector<NativeParseError> errors;
    // Names that were not valid UTF-8, mended (U+FFFD for each bad byte);
    // names of the file point here instead of into the input.
    std::deque<std::string> mended;
};

// Reads the container from `input` (uncompressed MessagePack), which must
// outlive the result. Faults become error records naming the block,
// category and column; what is sound is kept.
File read_container(std::string_view input);

// True when `input` begins like a BinaryCIF file: a MessagePack map whose
// first key is "version", "encoder" or "dataBlocks".
bool looks_like_bcif(std::string_view input) noexcept;

// Where in the file a fault lies, for messages: `block "b", category "c",
// column "x"` (the parts known).
struct Where {
    std::optional<std::string_view> block, category, column;
    std::string text() const;
};

// A problem record of BinaryCIF reading.
NativeParseError problem(ErrorType type, std::string message, std::string recovery);

}  // namespace quarzel::bcif
