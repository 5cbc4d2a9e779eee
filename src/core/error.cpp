#include "core/error.hpp"

#include <cstdio>

#include "core/unicode.hpp"
#include "core/utf8.hpp"

namespace quarzel {

std::string_view error_type_name(ErrorType type) noexcept {
    switch (type) {
        case ErrorType::Lexical:
            return "lexical";
        case ErrorType::Syntactic:
            return "syntactic";
        case ErrorType::Semantic:
            return "semantic";
    }
    return "syntactic";
}

namespace {

void append_escape(std::string& out, char32_t c) {
    char buf[16];
    int n = std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
    out.append(buf, static_cast<std::size_t>(n));
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        auto b = static_cast<unsigned char>(text[i]);
        if (b >= 0x80) {
            std::size_t start = i;
            char32_t c = utf8::decode(text, i);
            if (!unicode::is_printable(c))
                append_escape(out, c);
            else
                out.append(text.substr(start, i - start));
            continue;
        }
        ++i;
        switch (b) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (b < 0x20 || b == 0x7F)
                    append_escape(out, b);
                else
                    out.push_back(static_cast<char>(b));
        }
    }
    out.push_back('"');
}

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_quoted(out, text);
    return out;
}

namespace {
template <class T>
std::string quoted_list_impl(std::span<const T> texts) {
    std::string out = "[";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i) out += ", ";
        append_quoted(out, texts[i]);
    }
    out += ']';
    return out;
}
}  // namespace

std::string quoted_list(std::span<const std::string_view> texts) {
    return quoted_list_impl(texts);
}
std::string quoted_list(std::span<const std::string> texts) {
    return quoted_list_impl(texts);
}

std::string_view utf8_prefix(std::string_view text, std::size_t max_bytes) noexcept {
    if (text.size() <= max_bytes) return text;
    std::size_t cut = max_bytes;
    while (cut > 0 && !utf8::is_lead(static_cast<unsigned char>(text[cut]))) --cut;
    return text.substr(0, cut);
}

}  // namespace quarzel
