// A MessagePack document read into a flat tree of nodes in preorder, with
// strings and binary data left where they are (views into the input).
//
// The tree grows only by the values actually present: a container's
// declared size is never used to allocate, so a header that claims four
// billion elements costs nothing until they come. Nesting is limited. A
// document cut short keeps every value read before the cut, its open
// containers closed where the input ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace quarzel::bcif {

enum class MsgType : std::uint8_t { Nil, Bool, Int, Float, Str, Bin, Ext, Array, Map };

// "nil", "bool", "integer", "float", "string", "binary", "extension", "array", "map".
std::string_view msg_type_name(MsgType type) noexcept;

struct MsgNode {
    MsgType type = MsgType::Nil;
    bool negative = false;    // Int: the value is below zero (held in `i`)
    bool b = false;           // Bool
    std::uint32_t size = 0;   // Str, Bin, Ext: bytes
    std::uint32_t count = 0;  // Array: elements present; Map: keys and values present
    std::uint32_t end = 0;    // index after this node's subtree
    union {
        std::uint64_t u = 0;  // Int: the value when not negative
        std::int64_t i;       // Int: the value when negative
        double f;             // Float
        const char* data;     // Str, Bin, Ext
    };

    std::string_view bytes() const noexcept { return {data, size}; }
};
static_assert(std::is_trivially_copyable_v<MsgNode> && std::is_trivially_destructible_v<MsgNode>);

// The nodes of a tree, in storage left unwritten until a node is made
// there (a file's tree takes room for many nodes up front).
class MsgNodes {
public:
    MsgNodes() = default;
    MsgNodes(MsgNodes&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          room_(std::exchange(other.room_, 0)) {}
    MsgNodes& operator=(MsgNodes&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            room_ = std::exchange(other.room_, 0);
        }
        return *this;
    }
    MsgNodes(const MsgNodes&) = delete;
    MsgNodes& operator=(const MsgNodes&) = delete;
    ~MsgNodes() { release(); }

    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }
    const MsgNode& operator[](std::size_t i) const noexcept { return data_[i]; }

    // Room for `room` nodes (more than now), the first `used` kept; where
    // they lie now.
    MsgNode* grow(std::size_t used, std::size_t room);
    // The first `n` nodes, every one of them made, are the tree's.
    void set_size(std::size_t n) noexcept { size_ = n; }

private:
    void release() noexcept;

    MsgNode* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t room_ = 0;
};

class MsgTree {
public:
    static constexpr std::uint32_t npos = static_cast<std::uint32_t>(-1);
    static constexpr std::size_t kMaxDepth = 64;

    // Reads the first MessagePack value of `input`, which must outlive the
    // tree. Never throws on bad input: see complete() and error().
    static MsgTree parse(std::string_view input);

    bool empty() const noexcept { return nodes_.empty(); }
    const MsgNode& operator[](std::uint32_t i) const noexcept { return nodes_[i]; }
    std::uint32_t size() const noexcept { return static_cast<std::uint32_t>(nodes_.size()); }

    // The first child of a container (its first element, or its first key).
    static std::uint32_t first_child(std::uint32_t i) noexcept { return i + 1; }
    std::uint32_t next_sibling(std::uint32_t i) const noexcept { return nodes_[i].end; }
    // The value of `key` in the map at `map`, or npos (also for a node that
    // is not a map). Keys are compared as strings; the first match wins.
    std::uint32_t find(std::uint32_t map, std::string_view key) const noexcept;

    // True when the whole value was read without a fault.
    bool complete() const noexcept { return error_.empty(); }
    // What went wrong, and at which byte ("" when complete).
    const std::string& error() const noexcept { return error_; }
    // Bytes after the value (ignored).
    std::size_t trailing() const noexcept { return trailing_; }

private:
    MsgNodes nodes_;
    std::string error_;
    std::size_t trailing_ = 0;
};

}  // namespace quarzel::bcif
