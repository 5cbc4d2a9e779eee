// MessagePack to a flat tree, through msgpack-cxx's event parser (no object
// zone, no allocation from declared sizes).
#include "bcif/msgpack_tree.hpp"

#include <msgpack.hpp>

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

// The visitor: each event appends a node or closes a container.
struct TreeBuilder {
    MsgTree& tree;
    std::vector<std::uint32_t> open;  // containers not closed yet
    bool too_deep = false;
    // The innermost open container (npos: none), whose count each new
    // node adds to.
    std::uint32_t parent = MsgTree::npos;

    MsgNode& add(MsgType type) {
        std::vector<MsgNode>& nodes = tree.nodes_;
        if (parent != MsgTree::npos) ++nodes[parent].count;
        const auto at = static_cast<std::uint32_t>(nodes.size());
        MsgNode& n = nodes.emplace_back();
        n.type = type;
        n.end = at + 1;
        return n;
    }
    bool start(MsgType type) {
        if (open.size() >= MsgTree::kMaxDepth) {
            too_deep = true;
            return false;
        }
        add(type);
        parent = static_cast<std::uint32_t>(tree.nodes_.size() - 1);
        open.push_back(parent);
        return true;
    }
    bool finish() {
        tree.nodes_[open.back()].end = static_cast<std::uint32_t>(tree.nodes_.size());
        open.pop_back();
        parent = open.empty() ? MsgTree::npos : open.back();
        return true;
    }
    // Closes what is still open where the input stopped.
    void close_all() {
        while (!open.empty()) finish();
    }

    bool visit_nil() {
        add(MsgType::Nil);
        return true;
    }
    bool visit_boolean(bool v) {
        add(MsgType::Bool).b = v;
        return true;
    }
    bool visit_positive_integer(std::uint64_t v) {
        add(MsgType::Int).u = v;
        return true;
    }
    bool visit_negative_integer(std::int64_t v) {
        MsgNode& n = add(MsgType::Int);
        if (v < 0) {
            n.negative = true;
            n.i = v;
        } else {
            n.u = static_cast<std::uint64_t>(v);
        }
        return true;
    }
    bool visit_float32(float v) {
        add(MsgType::Float).f = v;
        return true;
    }
    bool visit_float64(double v) {
        add(MsgType::Float).f = v;
        return true;
    }
    bool bytes(MsgType type, const char* v, std::size_t size) {
        MsgNode& n = add(type);
        n.data = v;
        n.size = static_cast<std::uint32_t>(size);
        return true;
    }
    bool visit_str(const char* v, std::uint32_t size) { return bytes(MsgType::Str, v, size); }
    bool visit_bin(const char* v, std::uint32_t size) { return bytes(MsgType::Bin, v, size); }
    bool visit_ext(const char* v, std::size_t size) { return bytes(MsgType::Ext, v, size); }
    bool start_array(std::uint32_t) { return start(MsgType::Array); }
    bool start_array_item() { return true; }
    bool end_array_item() { return true; }
    bool end_array() { return finish(); }
    bool start_map(std::uint32_t) { return start(MsgType::Map); }
    bool start_map_key() { return true; }
    bool end_map_key() { return true; }
    bool start_map_value() { return true; }
    bool end_map_value() { return true; }
    bool end_map() { return finish(); }

    std::size_t error_offset = 0;
    bool parse_failed = false, short_input = false;
    void parse_error(std::size_t, std::size_t at) {
        parse_failed = true;
        error_offset = at;
    }
    void insufficient_bytes(std::size_t, std::size_t at) {
        short_input = true;
        error_offset = at;
    }
    bool referenced() const { return false; }
    void set_referenced(bool) {}
};

MsgTree MsgTree::parse(std::string_view input) {
    MsgTree tree;
    // Room for the nodes of a typical file (one per 16 bytes of input):
    // bounded by the input, never by a size the input declares.
    tree.nodes_.reserve(input.size() / 16 + 16);
    TreeBuilder b{tree, {}};
    b.open.reserve(kMaxDepth);
    std::size_t off = 0;
    bool ok = false;
    try {
        ok = msgpack::parse(input.data(), input.size(), off, b);
    } catch (const std::exception& e) {
        // The parser's own limits (none are set; kept for safety).
        tree.error_ = std::string("MessagePack not readable: ") + e.what();
    }
    if (ok) {
        tree.trailing_ = input.size() - off;
        return tree;
    }
    if (!tree.error_.empty()) {
    } else if (b.too_deep) {
        tree.error_ = "MessagePack nested deeper than " + std::to_string(kMaxDepth) +
                      " levels at byte " + std::to_string(off);
    } else if (b.parse_failed) {
        tree.error_ = "not MessagePack: byte 0x" +
                      [&] {
                          static const char* hex = "0123456789abcdef";
                          const unsigned char c =
                              b.error_offset < input.size()
                                  ? static_cast<unsigned char>(input[b.error_offset])
                                  : 0;
                          return std::string{hex[c >> 4], hex[c & 15]};
                      }() +
                      " at byte " + std::to_string(b.error_offset) + " starts no value";
    } else if (input.empty()) {
        tree.error_ = "empty input";
    } else {
        tree.error_ = "truncated MessagePack: the input ends at byte " +
                      std::to_string(input.size()) + " inside a value";
    }
    b.close_all();
    return tree;
}

}  // namespace quarzel::bcif
