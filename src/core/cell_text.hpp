// The text of a compound value in an Arrow cell: a NUL mark, then the value
// as compact JSON-like text. Written without recursion, so values nested to
// any depth cannot exhaust the stack.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "document.hpp"

namespace quarzel {

// Writes `text` between double quotes with tab, line feed, carriage return,
// double quote and backslash escaped; every other byte is copied as it is.
// `Out` has put(char) and put(std::string_view).
template <class Out>
void put_json_str(Out& out, std::string_view text) {
    out.put('"');
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char escaped;
        switch (text[i]) {
            case '\t':
                escaped = 't';
                break;
            case '\n':
                escaped = 'n';
                break;
            case '\r':
                escaped = 'r';
                break;
            case '"':
                escaped = '"';
                break;
            case '\\':
                escaped = '\\';
                break;
            default:
                continue;
        }
        out.put(text.substr(run, i - run));
        out.put('\\');
        out.put(escaped);
        run = i + 1;
    }
    out.put(text.substr(run));
    out.put('"');
}

// Writes the cell text of a list or table value: NUL, then the value with
// nested lists and tables and their scalars in JSON-like form, no spaces.
// A scalar `value` is written as its text.
template <class Out>
void put_cell(Out& out, const RawValue& value) {
    if (value.is_scalar()) {
        out.put(value.text());
        return;
    }
    struct Open {
        const RawValue* value;
        std::size_t next;
    };
    std::vector<Open> stack;
    auto open = [&](const RawValue* v) {
        out.put(v->kind() == RawValue::Kind::List ? '[' : '{');
        stack.push_back({v, 0});
    };
    out.put('\0');
    open(&value);
    while (!stack.empty()) {
        Open& top = stack.back();
        const bool is_list = top.value->kind() == RawValue::Kind::List;
        const std::size_t size = is_list ? top.value->items().size() : top.value->entries().size();
        if (top.next == size) {
            out.put(is_list ? ']' : '}');
            stack.pop_back();
            continue;
        }
        const std::size_t i = top.next++;
        if (i > 0) out.put(',');
        const RawValue* child;
        if (is_list) {
            child = &top.value->items()[i];
        } else {
            const TableEntry& entry = top.value->entries()[i];
            put_json_str(out, entry.key);
            out.put(':');
            child = &entry.value;
        }
        if (child->is_scalar())
            put_json_str(out, child->text());
        else
            open(child);  // `top` is not used after this
    }
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

inline std::size_t cell_size(const RawValue& value) {
    SizeCounter counter;
    put_cell(counter, value);
    return counter.size;
}

inline std::string cell_text(const RawValue& value) {
    std::string text;
    StringWriter writer{text};
    put_cell(writer, value);
    return text;
}

}  // namespace quarzel
