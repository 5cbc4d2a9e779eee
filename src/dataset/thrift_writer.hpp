// Thrift's compact protocol, the encoding of Parquet's page headers and
// footer: just what writing those takes (structs, lists, integers, binary,
// booleans).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarzel::dataset {

class ThriftWriter {
public:
    // Compact protocol type codes.
    enum Type : std::uint8_t {
        kTrue = 1,
        kFalse = 2,
        kI32 = 5,
        kI64 = 6,
        kBinary = 8,
        kList = 9,
        kStruct = 12,
    };

    explicit ThriftWriter(std::string& out) : out_(out) { last_.push_back(0); }

    void i32(std::int16_t id, std::int32_t v) {
        field(id, kI32);
        varint(zigzag(v));
    }
    void i64(std::int16_t id, std::int64_t v) {
        field(id, kI64);
        varint(zigzag(v));
    }
    void binary(std::int16_t id, std::string_view v) {
        field(id, kBinary);
        raw_binary(v);
    }
    void boolean(std::int16_t id, bool v) { field(id, v ? kTrue : kFalse); }

    // A struct field: its fields follow, then end_struct().
    void begin_struct(std::int16_t id) {
        field(id, kStruct);
        last_.push_back(0);
    }
    // A struct as an element of a list.
    void begin_element() { last_.push_back(0); }
    void end_struct() {
        out_.push_back(0);  // stop
        last_.pop_back();
    }
    // An empty struct field (the members of unions such as LogicalType).
    void empty_struct(std::int16_t id) {
        begin_struct(id);
        end_struct();
    }

    // A list field of `n` elements of `type`; the elements follow, written
    // with the element functions below or as structs.
    void begin_list(std::int16_t id, std::size_t n, Type type) {
        field(id, kList);
        if (n < 15) {
            out_.push_back(static_cast<char>((n << 4) | type));
        } else {
            out_.push_back(static_cast<char>(0xF0 | type));
            varint(n);
        }
    }
    void element_i32(std::int32_t v) { varint(zigzag(v)); }
    void element_binary(std::string_view v) { raw_binary(v); }

    // Ends the outermost struct.
    void finish() { out_.push_back(0); }

private:
    void field(std::int16_t id, Type type) {
        const int delta = id - last_.back();
        if (delta > 0 && delta <= 15) {
            out_.push_back(static_cast<char>((delta << 4) | type));
        } else {
            out_.push_back(static_cast<char>(type));
            varint(zigzag(std::int64_t{id}));
        }
        last_.back() = id;
    }
    static std::uint64_t zigzag(std::int64_t v) {
        return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
    }
    void varint(std::uint64_t v) {
        while (v >= 0x80) {
            out_.push_back(static_cast<char>((v & 0x7F) | 0x80));
            v >>= 7;
        }
        out_.push_back(static_cast<char>(v));
    }
    void raw_binary(std::string_view v) {
        varint(v.size());
        out_.append(v);
    }

    std::string& out_;
    std::vector<std::int16_t> last_;  // the last field id of each open struct
};

}  // namespace quarzel::dataset
