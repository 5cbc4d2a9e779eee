#include "core/version.hpp"

#include <cstring>

#include "core/utf8.hpp"

namespace quarzel {

namespace {

constexpr std::string_view kMagic = "#\\#CIF_";
constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string normalise_line_ends(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\r') {
            out.push_back('\n');
            if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

bool is_blank(std::string_view line) noexcept {
    std::size_t i = 0;
    while (i < line.size()) {
        if (!utf8::is_white_space(utf8::decode(line, i))) return false;
    }
    return true;
}

// `s` with trailing White_Space removed.
std::string_view trim_end(std::string_view s) noexcept {
    std::size_t end = s.size();
    while (end > 0) {
        std::size_t start = end - 1;
        while (start > 0 && !utf8::is_lead(static_cast<unsigned char>(s[start]))) --start;
        std::size_t p = start;
        if (!utf8::is_white_space(utf8::decode(s, p)) || p != end) break;
        end = start;
    }
    return s.substr(0, end);
}

// A byte order mark is no part of the text: every reader drops it where
// the text starts. CIF 2.0 permits it there; CIF 1.1 permits nothing but
// ASCII, so there it is reported, as the character it is, once.
void report_bom(VersionResult& r, std::uint32_t line) {
    if (line == 0 || r.version != CifVersion::Cif11) return;
    r.errors.push_back(NativeParseError{ErrorType::Lexical,
                                        "character U+FEFF is not permitted in CIF 1.x", line, 1,
                                        std::string(kBom), "byte order mark dropped"});
}

}  // namespace

bool blank_line(std::string_view line) noexcept {
    return is_blank(line.starts_with(kBom) ? line.substr(kBom.size()) : line);
}

VersionResult detect_version(std::string_view source) {
    VersionResult r;
    std::string_view work = source;
    if (!source.empty() && std::memchr(source.data(), '\r', source.size()) != nullptr) {
        r.storage = std::make_unique<std::string>(normalise_line_ends(source));
        work = *r.storage;
    }

    std::size_t line_start = 0;
    std::uint32_t index = 0;
    // The first line whose byte order mark is cut off with the lines before
    // the text, or from the head of the text itself (1-based; 0: none).
    std::uint32_t bom_line = 0;
    while (true) {
        std::size_t nl = work.find('\n', line_start);
        std::size_t line_end = nl == std::string_view::npos ? work.size() : nl;
        std::string_view line = work.substr(line_start, line_end - line_start);
        const bool bom = line.starts_with(kBom);
        std::string_view l = bom ? line.substr(kBom.size()) : line;
        if (!is_blank(l)) {
            if (bom && bom_line == 0) bom_line = index + 1;
            if (l.starts_with(kMagic)) {
                std::string_view rest = trim_end(l.substr(kMagic.size()));
                bool has_space = false;
                for (std::size_t i = 0; i < rest.size() && !has_space;)
                    has_space = utf8::is_white_space(utf8::decode(rest, i));
                if (!rest.empty() && !has_space) {
                    if (rest == "2.0") {
                        r.version = CifVersion::Cif20;
                    } else if (rest == "1.1") {
                        r.version = CifVersion::Cif11;
                    } else {
                        r.version = CifVersion::Cif20;
                        std::string magic = std::string(kMagic) + std::string(rest);
                        r.errors.push_back(NativeParseError{
                            ErrorType::Lexical, "unrecognised CIF version: " + magic, index + 1, 1,
                            magic, "defaulting to CIF 2.0"});
                    }
                    r.text =
                        nl == std::string_view::npos ? std::string_view{} : work.substr(nl + 1);
                    r.line_offset = index + 1;
                    report_bom(r, bom_line);
                    return r;
                }
            }
            // The text starts here, after its byte order mark.
            r.version = CifVersion::Cif11;
            r.text = work.substr(bom ? line_start + kBom.size() : line_start);
            r.line_offset = index;
            report_bom(r, bom_line);
            return r;
        }
        if (bom && bom_line == 0) bom_line = index + 1;
        if (nl == std::string_view::npos) break;
        line_start = nl + 1;
        ++index;
    }
    // Nothing but blank lines: the whole text goes to the lexer, which sees
    // the same lines (its own normalisation would give the same text), all
    // but a byte order mark at its head.
    r.version = CifVersion::Cif11;
    r.text = work.starts_with(kBom) ? work.substr(kBom.size()) : work;
    r.line_offset = 0;
    report_bom(r, work.starts_with(kBom) ? 1 : 0);
    return r;
}

}  // namespace quarzel
