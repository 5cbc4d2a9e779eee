#include "bcif/msgpack_write.hpp"

#include <msgpack.hpp>

namespace quarzel::bcif {

namespace {

// The packer's output: one growing string.
struct Sink {
    std::string out;
    void write(const char* p, std::size_t n) { out.append(p, n); }
};

using Packer = msgpack::packer<Sink>;

void str(Packer& pk, std::string_view s) {
    pk.pack_str(static_cast<std::uint32_t>(s.size()));
    pk.pack_str_body(s.data(), static_cast<std::uint32_t>(s.size()));
}

void bin(Packer& pk, std::string_view s) {
    pk.pack_bin(static_cast<std::uint32_t>(s.size()));
    pk.pack_bin_body(s.data(), static_cast<std::uint32_t>(s.size()));
}

void encodings(Packer& pk, const std::vector<OutEncoding>& list);

void encoding(Packer& pk, const OutEncoding& e) {
    const auto type = static_cast<std::int32_t>(e.type);
    switch (e.kind) {
        case Kind::ByteArray:
            pk.pack_map(2);
            str(pk, "kind");
            str(pk, "ByteArray");
            str(pk, "type");
            pk.pack_int32(type);
            return;
        case Kind::FixedPoint:
            pk.pack_map(3);
            str(pk, "kind");
            str(pk, "FixedPoint");
            str(pk, "factor");
            pk.pack_int64(e.factor);
            str(pk, "srcType");
            pk.pack_int32(type);
            return;
        case Kind::RunLength:
            pk.pack_map(3);
            str(pk, "kind");
            str(pk, "RunLength");
            str(pk, "srcType");
            pk.pack_int32(type);
            str(pk, "srcSize");
            pk.pack_int64(e.src_size);
            return;
        case Kind::Delta:
            pk.pack_map(3);
            str(pk, "kind");
            str(pk, "Delta");
            str(pk, "origin");
            pk.pack_int64(e.origin);
            str(pk, "srcType");
            pk.pack_int32(type);
            return;
        case Kind::IntegerPacking:
            pk.pack_map(4);
            str(pk, "kind");
            str(pk, "IntegerPacking");
            str(pk, "byteCount");
            pk.pack_int32(e.byte_count);
            str(pk, "isUnsigned");
            if (e.is_unsigned)
                pk.pack_true();
            else
                pk.pack_false();
            str(pk, "srcSize");
            pk.pack_int64(e.src_size);
            return;
        case Kind::StringArray:
            pk.pack_map(5);
            str(pk, "kind");
            str(pk, "StringArray");
            str(pk, "dataEncoding");
            encodings(pk, e.data_encoding);
            str(pk, "stringData");
            str(pk, e.string_data);
            str(pk, "offsetEncoding");
            encodings(pk, e.offset_encoding);
            str(pk, "offsets");
            bin(pk, e.offsets);
            return;
        case Kind::IntervalQuantization:
            break;  // never written
    }
    pk.pack_map(1);
    str(pk, "kind");
    str(pk, kind_name(e.kind));
}

void encodings(Packer& pk, const std::vector<OutEncoding>& list) {
    pk.pack_array(static_cast<std::uint32_t>(list.size()));
    for (const OutEncoding& e : list) encoding(pk, e);
}

void encoded(Packer& pk, const OutEncoded& d) {
    pk.pack_map(2);
    str(pk, "encoding");
    encodings(pk, d.encoding);
    str(pk, "data");
    bin(pk, d.data);
}

}  // namespace

std::string pack_file(const std::vector<OutBlock>& blocks, std::string_view encoder) {
    Sink sink;
    Packer pk(sink);
    pk.pack_map(3);
    str(pk, "version");
    str(pk, kVersion);
    str(pk, "encoder");
    str(pk, encoder);
    str(pk, "dataBlocks");
    pk.pack_array(static_cast<std::uint32_t>(blocks.size()));
    for (const OutBlock& b : blocks) {
        pk.pack_map(2);
        str(pk, "header");
        str(pk, b.header);
        str(pk, "categories");
        pk.pack_array(static_cast<std::uint32_t>(b.categories.size()));
        for (const OutCategory& c : b.categories) {
            pk.pack_map(3);
            str(pk, "name");
            str(pk, c.name);
            str(pk, "columns");
            pk.pack_array(static_cast<std::uint32_t>(c.columns.size()));
            for (const OutColumn& col : c.columns) {
                pk.pack_map(3);
                str(pk, "name");
                str(pk, col.name);
                str(pk, "data");
                encoded(pk, col.data);
                str(pk, "mask");
                if (col.mask)
                    encoded(pk, *col.mask);
                else
                    pk.pack_nil();
            }
            str(pk, "rowCount");
            pk.pack_int64(c.rows);
        }
    }
    return std::move(sink.out);
}

}  // namespace quarzel::bcif
