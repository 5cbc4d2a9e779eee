#include "core/textfield.hpp"

#include <vector>

namespace quarzel {

namespace {

bool only_blanks(std::string_view s) noexcept {
    return s.find_first_not_of(" \t") == std::string_view::npos;
}

std::string_view trim_end_blanks(std::string_view s) noexcept {
    std::size_t end = s.find_last_not_of(" \t");
    return end == std::string_view::npos ? std::string_view{} : s.substr(0, end + 1);
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (;;) {
        std::size_t lf = text.find('\n', start);
        if (lf == std::string_view::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, lf - start));
        start = lf + 1;
    }
}

// Line folding over the lines after the first: a line ending in a
// backslash (trailing blanks aside) continues on the next one.
std::string fold(const std::vector<std::string_view>& lines, std::size_t size) {
    std::string out;
    out.reserve(size);
    std::string pending;
    bool any = false;
    auto emit = [&](std::string_view a, std::string_view b) {
        if (any) out += '\n';
        out += a;
        out += b;
        any = true;
    };
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::string_view trimmed = trim_end_blanks(lines[i]);
        if (!trimmed.empty() && trimmed.back() == '\\') {
            trimmed.remove_suffix(1);
            pending += trimmed;
        } else {
            emit(pending, lines[i]);
            pending.clear();
        }
    }
    if (!pending.empty()) emit(pending, {});
    return out;
}

}  // namespace

// The first line decides, as the CIF 2.0 text-prefix and line-folding
// protocols have it:
//   `\` (then blanks)          folding: the first line goes, the others fold
//   P`\` (then blanks)         the prefix P: it leaves every later line, the
//                              first line goes; no folding
//   P`\\` (then blanks)        the prefix P, then folding
// P is one or more characters before the first backslash, not starting with
// ';' (no later line could start so), and every later line must start with
// it. Anything else (two backslashes without a prefix included) leaves the
// text as it stands.
std::optional<std::string> transform_multiline_if_changed(std::string_view text) {
    const std::string_view first = text.substr(0, text.find('\n'));
    const std::size_t slash = first.find('\\');
    if (slash == std::string_view::npos) return std::nullopt;

    const std::string_view prefix = first.substr(0, slash);
    const bool double_marker = slash + 1 < first.size() && first[slash + 1] == '\\';
    if (!only_blanks(first.substr(slash + (double_marker ? 2 : 1)))) return std::nullopt;
    if (prefix.empty() ? double_marker : prefix[0] == ';') return std::nullopt;

    std::vector<std::string_view> lines = split_lines(text);
    if (!prefix.empty()) {
        for (std::size_t i = 1; i < lines.size(); ++i)
            if (!lines[i].starts_with(prefix)) return std::nullopt;
        for (std::size_t i = 1; i < lines.size(); ++i) lines[i].remove_prefix(prefix.size());
    }

    std::string out;
    if (prefix.empty() || double_marker) {
        out = fold(lines, text.size());
    } else {
        out.reserve(text.size());
        for (std::size_t i = 1; i < lines.size(); ++i) {
            if (i > 1) out += '\n';
            out += lines[i];
        }
    }
    if (out == text) return std::nullopt;
    return out;
}

std::string transform_multiline(std::string_view text) {
    if (auto changed = transform_multiline_if_changed(text)) return std::move(*changed);
    return std::string(text);
}

}  // namespace quarzel
