// The text of a compound value in an Arrow cell: a NUL mark, then the value
// as compact JSON-like text. Written without recursion, so values nested to
// any depth cannot exhaust the stack.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/document.hpp"

namespace quarzel {

// The letter after the backslash for the five escaped bytes, else 0.
inline constexpr auto kJsonEscape = [] {
    std::array<char, 256> t{};
    t['\t'] = 't';
    t['\n'] = 'n';
    t['\r'] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}();

struct SizeCounter;

// Writes `text` between double quotes with tab, line feed, carriage return,
// double quote and backslash escaped; every other byte is copied as it is.
// `Out` has put(char) and put(std::string_view).
template <class Out>
void put_json_str(Out& out, std::string_view text) {
    const char* const p = text.data();
    const std::size_t n = text.size();
    if constexpr (std::is_same_v<Out, SizeCounter>) {
        std::size_t escapes = 0;
        for (std::size_t i = 0; i < n; ++i)
            escapes += kJsonEscape[static_cast<unsigned char>(p[i])] != 0;
        out.size += n + escapes + 2;
    } else {
        out.put('"');
        std::size_t run = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const char escaped = kJsonEscape[static_cast<unsigned char>(p[i])];
            if (escaped == 0) [[likely]]
                continue;
            out.put(text.substr(run, i - run));
            out.put('\\');
            out.put(escaped);
            run = i + 1;
        }
        out.put(text.substr(run));
        out.put('"');
    }
}

// Writes the cell text of the value at node `root`: for a list or table,
// NUL, then the value with nested lists and tables and their scalars in
// JSON-like form, no spaces; a text is written as it is.
template <class Out>
void put_cell(Out& out, const NodeStore& nodes, std::size_t root, std::size_t* end = nullptr) {
    struct Writer {
        Out& out;
        std::size_t depth = 0;
        bool text(std::string_view t) {
            if (depth == 0)
                out.put(t);
            else
                put_json_str(out, t);
            return true;
        }
        bool open(NodeKind kind, std::uint64_t) {
            if (depth++ == 0) out.put('\0');
            out.put(kind == NodeKind::List ? '[' : '{');
            return true;
        }
        bool close(NodeKind kind) {
            --depth;
            out.put(kind == NodeKind::List ? ']' : '}');
            return true;
        }
        bool element(bool in_table, std::uint64_t index, std::string_view key) {
            if (index > 0) out.put(',');
            if (in_table) {
                put_json_str(out, key);
                out.put(':');
            }
            return true;
        }
    } writer{out};
    walk_value(nodes, root, writer, end);
}

// Counts the bytes a writer would produce.
struct SizeCounter {
    std::size_t size = 0;
    void put(char) { ++size; }
    void put(std::string_view s) { size += s.size(); }
};

// Writes into storage sized in advance.
struct BufferWriter {
    unsigned char* out;
    void put(char c) { *out++ = static_cast<unsigned char>(c); }
    void put(std::string_view s) {
        if (!s.empty()) std::memcpy(out, s.data(), s.size());
        out += s.size();
    }
};

struct StringWriter {
    std::string& text;
    void put(char c) { text.push_back(c); }
    void put(std::string_view s) { text.append(s); }
};

inline std::size_t cell_size(const NodeStore& nodes, std::size_t root) {
    SizeCounter counter;
    put_cell(counter, nodes, root);
    return counter.size;
}

inline std::string cell_text(const NodeStore& nodes, std::size_t root) {
    std::string text;
    StringWriter writer{text};
    put_cell(writer, nodes, root);
    return text;
}

// The cell text bytes of all the values of `nodes`, stored one after another.
inline std::uint64_t cell_size_of_all(const NodeStore& nodes) {
    SizeCounter counter;
    for (std::size_t i = 0; i < nodes.size();) put_cell(counter, nodes, i, &i);
    return counter.size;
}

}  // namespace quarzel
