// MessagePack to a flat tree in one pass over the input: every length is
// checked against the bytes left before it is used, and nothing is
// allocated from a declared size (a container's nodes come one by one).
#include "bcif/msgpack_tree.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

namespace quarzel::bcif {

std::string_view msg_type_name(MsgType type) noexcept {
    switch (type) {
        case MsgType::Nil:
            return "nil";
        case MsgType::Bool:
            return "bool";
        case MsgType::Int:
            return "integer";
        case MsgType::Float:
            return "float";
        case MsgType::Str:
            return "string";
        case MsgType::Bin:
            return "binary";
        case MsgType::Ext:
            return "extension";
        case MsgType::Array:
            return "array";
        case MsgType::Map:
            return "map";
    }
    return "value";
}

MsgNode* MsgNodes::grow(std::size_t used, std::size_t room) {
    auto* const fresh = std::allocator<MsgNode>{}.allocate(room);
    if (used != 0) std::memcpy(static_cast<void*>(fresh), data_, used * sizeof(MsgNode));
    release();
    data_ = fresh;
    room_ = room;
    return fresh;
}

void MsgNodes::release() noexcept {
    if (data_ != nullptr) std::allocator<MsgNode>{}.deallocate(data_, room_);
    data_ = nullptr;
    room_ = 0;
}

std::uint32_t MsgTree::find(std::uint32_t map, std::string_view key) const noexcept {
    if (map >= nodes_.size() || nodes_[map].type != MsgType::Map) return npos;
    const MsgNode& m = nodes_[map];
    std::uint32_t k = first_child(map);
    for (std::uint32_t n = 0; n + 1 < m.count; n += 2) {
        const std::uint32_t v = nodes_[k].end;
        if (nodes_[k].type == MsgType::Str && nodes_[k].bytes() == key) return v;
        k = nodes_[v].end;
    }
    return npos;
}

namespace {

// A big-endian number of 1, 2, 4 or 8 bytes.
std::uint64_t big_endian(const unsigned char* p, std::size_t bytes) noexcept {
    switch (bytes) {
        case 1:
            return p[0];
        case 2:
            return std::uint64_t{p[0]} << 8 | p[1];
        case 4: {
            std::uint32_t v;
            std::memcpy(&v, p, 4);
            return __builtin_bswap32(v);
        }
        default: {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            return __builtin_bswap64(v);
        }
    }
}

}  // namespace

MsgTree MsgTree::parse(std::string_view input) {
    MsgTree tree;
    // Room for the nodes of a dense file (BinaryCIF files of small entries
    // take 6 to 7 bytes a node, a few just under 6), so that they are
    // rarely moved: bounded by the input, never by a size the input
    // declares; room never written is never touched. The nodes are made
    // through a pointer and count of this function's own, which stores
    // into the nodes cannot change (as they could a container's).
    std::size_t room = std::min<std::size_t>(input.size() / 5 + 64, std::size_t{1} << 22);
    MsgNode* nodes = tree.nodes_.grow(0, room);
    std::size_t count = 0;
    auto make = [&]() -> MsgNode& {
        if (count == room) [[unlikely]] {
            room *= 2;
            nodes = tree.nodes_.grow(count, room);
        }
        return *::new (static_cast<void*>(nodes + count++)) MsgNode();
    };
    const auto* const begin = reinterpret_cast<const unsigned char*>(input.data());
    const unsigned char* const end = begin + input.size();
    const unsigned char* p = begin;
    // The open containers: their node, their values (a map's keys and
    // values counted apart), and how many values the container around them
    // still held when they opened. How many the innermost still holds is
    // `left`; at depth 0 that is the document's one value.
    struct Open {
        std::uint32_t node;
        std::uint64_t total, outer_left;
    };
    Open open[kMaxDepth];
    std::size_t depth = 0;
    std::uint64_t left = 1;
    enum class Stop { Done, Short, Bad, Deep } stop = Stop::Done;
    std::size_t stop_at = 0;

    // Closes the innermost open container where the nodes end now: its
    // count is the values read of it.
    auto close = [&] {
        const Open& o = open[--depth];
        MsgNode& c = nodes[o.node];
        c.end = static_cast<std::uint32_t>(count);
        c.count = static_cast<std::uint32_t>(o.total - left);
        left = o.outer_left;
    };
    for (;;) {
        if (p == end) {
            stop = Stop::Short;
            break;
        }
        const unsigned char* const at = p;
        const unsigned b = *p++;
        // Made in place; taken back if the value turns out bad.
        MsgNode& n = make();
        std::uint64_t items = 0;  // a container's values (a map's keys and values)
        bool container = false;
        // `width` bytes of a big-endian length or number after the first byte.
        auto fixed = [&](std::size_t width, std::uint64_t& out) {
            if (static_cast<std::size_t>(end - p) < width) return false;
            out = big_endian(p, width);
            p += width;
            return true;
        };
        // `size` bytes of a string, binary or extension value.
        auto take = [&](MsgType type, std::uint64_t size) {
            if (size > static_cast<std::size_t>(end - p)) return false;
            n.type = type;
            n.data = reinterpret_cast<const char*>(p);
            n.size = static_cast<std::uint32_t>(size);
            p += size;
            return true;
        };
        bool ok = true;
        if (b >= 0xa0 && b <= 0xbf) {  // fixstr: every key
            ok = take(MsgType::Str, b & 0x1fu);
        } else if (b <= 0x7f) {
            n.type = MsgType::Int;
            n.u = b;
        } else if (b <= 0x9f) {
            container = true;
            n.type = b <= 0x8f ? MsgType::Map : MsgType::Array;
            items = b <= 0x8f ? 2 * std::uint64_t{b & 0x0fu} : b & 0x0fu;
        } else if (b >= 0xe0) {
            n.type = MsgType::Int;
            n.negative = true;
            n.i = static_cast<std::int8_t>(b);
        } else {
            std::uint64_t v = 0;
            switch (b) {
                case 0xc0:
                    break;
                case 0xc2:
                case 0xc3:
                    n.type = MsgType::Bool;
                    n.b = b == 0xc3;
                    break;
                case 0xc4:
                case 0xc5:
                case 0xc6:
                    ok = fixed(std::size_t{1} << (b - 0xc4), v) && take(MsgType::Bin, v);
                    break;
                case 0xc7:
                case 0xc8:
                case 0xc9:
                    // The extension's type byte is kept with its data.
                    ok = fixed(std::size_t{1} << (b - 0xc7), v) && take(MsgType::Ext, v + 1);
                    break;
                case 0xca:
                    ok = fixed(4, v);
                    n.type = MsgType::Float;
                    n.f = std::bit_cast<float>(static_cast<std::uint32_t>(v));
                    break;
                case 0xcb:
                    ok = fixed(8, v);
                    n.type = MsgType::Float;
                    n.f = std::bit_cast<double>(v);
                    break;
                case 0xcc:
                case 0xcd:
                case 0xce:
                case 0xcf:
                    ok = fixed(std::size_t{1} << (b - 0xcc), v);
                    n.type = MsgType::Int;
                    n.u = v;
                    break;
                case 0xd0:
                case 0xd1:
                case 0xd2:
                case 0xd3: {
                    const std::size_t width = std::size_t{1} << (b - 0xd0);
                    ok = fixed(width, v);
                    // Sign-extended from its width.
                    const unsigned shift = static_cast<unsigned>(64 - 8 * width);
                    const std::int64_t x = static_cast<std::int64_t>(v << shift) >> shift;
                    n.type = MsgType::Int;
                    n.negative = x < 0;
                    n.i = x;
                    break;
                }
                case 0xd4:
                case 0xd5:
                case 0xd6:
                case 0xd7:
                case 0xd8:
                    ok = take(MsgType::Ext, (std::uint64_t{1} << (b - 0xd4)) + 1);
                    break;
                case 0xd9:
                case 0xda:
                case 0xdb:
                    ok = fixed(std::size_t{1} << (b - 0xd9), v) && take(MsgType::Str, v);
                    break;
                case 0xdc:
                case 0xdd:
                    ok = fixed(b == 0xdc ? 2 : 4, items);
                    container = true;
                    n.type = MsgType::Array;
                    break;
                case 0xde:
                case 0xdf:
                    ok = fixed(b == 0xde ? 2 : 4, items);
                    items *= 2;
                    container = true;
                    n.type = MsgType::Map;
                    break;
                default:  // 0xc1, never used
                    stop = Stop::Bad;
                    stop_at = static_cast<std::size_t>(at - begin);
                    break;
            }
            if (stop == Stop::Bad) {
                --count;
                break;
            }
        }
        if (!ok) {
            --count;
            stop = Stop::Short;
            break;
        }
        if (container && depth == kMaxDepth) {
            --count;
            stop = Stop::Deep;
            stop_at = static_cast<std::size_t>(at - begin);
            break;
        }
        --left;
        const auto index = static_cast<std::uint32_t>(count - 1);
        n.end = index + 1;
        if (items != 0) {
            open[depth++] = {index, items, left};
            left = items;
            continue;
        }
        while (left == 0 && depth != 0) close();
        if (left == 0) break;  // the document's value is whole
    }

    tree.nodes_.set_size(count);
    if (stop == Stop::Done) {
        tree.trailing_ = static_cast<std::size_t>(end - p);
        return tree;
    }
    if (stop == Stop::Deep) {
        tree.error_ = "MessagePack nested deeper than " + std::to_string(kMaxDepth) +
                      " levels at byte " + std::to_string(stop_at);
    } else if (stop == Stop::Bad) {
        static const char* hex = "0123456789abcdef";
        const unsigned c = begin[stop_at];
        tree.error_ = std::string("not MessagePack: byte 0x") + hex[c >> 4] + hex[c & 15] +
                      " at byte " + std::to_string(stop_at) + " starts no value";
    } else if (input.empty()) {
        tree.error_ = "empty input";
    } else {
        tree.error_ = "truncated MessagePack: the input ends at byte " +
                      std::to_string(input.size()) + " inside a value";
    }
    // What is still open closes where the input stopped.
    while (depth != 0) close();
    return tree;
}

}  // namespace quarzel::bcif
