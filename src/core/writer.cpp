#include "core/writer.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace quarzel {
namespace {

// What a byte is, for choosing a value's form: bits OR-ed over a value in
// one pass.
enum : std::uint16_t {
    kWs = 1,        // space, tab
    kLf = 2,        // line feed
    kCr = 4,        // carriage return
    kCtrl = 8,      // other control characters and DEL
    kHigh = 16,     // a byte of a character outside ASCII
    kHash = 32,     // # (a comment at the start of a word only)
    kBracket = 64,  // [ ] { }
    kSq = 128,      // '
    kDq = 256,      // "
    kSemi = 512,    // ;
};

constexpr std::array<std::uint16_t, 256> make_classes() {
    std::array<std::uint16_t, 256> t{};
    for (int c = 0; c < 32; ++c) t[c] = kCtrl;
    t[0x7f] = kCtrl;
    for (int c = 0x80; c < 256; ++c) t[c] = kHigh;
    t[' '] = kWs;
    t['\t'] = kWs;
    t['\n'] = kLf;
    t['\r'] = kCr;
    t['#'] = kHash;
    t['['] = t[']'] = t['{'] = t['}'] = kBracket;
    t['\''] = kSq;
    t['"'] = kDq;
    t[';'] = kSemi;
    return t;
}
constexpr auto kClasses = make_classes();

// First characters that make a bare word something other than a plain value:
// a tag, a comment, a quoted string, a text field, a character CIF 1.1
// refuses there, a list or table of CIF 2.0.
constexpr std::array<bool, 256> make_bad_first() {
    std::array<bool, 256> t{};
    for (unsigned char c : std::string_view("_#$'\";[]{}")) t[c] = true;
    return t;
}
constexpr auto kBadFirst = make_bad_first();

struct Scan {
    std::uint16_t mask = 0;
    std::size_t cp = 0;  // code points
};

Scan scan(std::string_view text) noexcept {
    std::uint16_t mask = 0;
    for (unsigned char b : text) mask |= kClasses[b];
    std::size_t cp = text.size();
    if (mask & kHigh)
        for (unsigned char b : text) cp -= (b & 0xC0) == 0x80;
    return {mask, cp};
}

std::size_t code_points(std::string_view text) noexcept {
    std::size_t cp = 0;
    for (unsigned char b : text) cp += (b & 0xC0) != 0x80;
    return cp;
}

// Bytes of the first `n` code points of `text`.
std::size_t prefix_bytes(std::string_view text, std::size_t n) noexcept {
    std::size_t i = 0;
    for (std::size_t k = 0; k < n && i < text.size(); ++k) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
    }
    return i;
}

// A word the lexer takes for a keyword (any case): data_..., save_...,
// loop_, stop_, global_.
bool reserved_word(std::string_view w) noexcept {
    const std::size_t n = w.size();
    if (n < 5) return false;
    char l[7];
    for (std::size_t i = 0; i < 7 && i < n; ++i) {
        const char c = w[i];
        l[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    }
    if (l[4] == '_') {
        if (std::memcmp(l, "data", 4) == 0 || std::memcmp(l, "save", 4) == 0) return true;
        if (n == 5 && (std::memcmp(l, "loop", 4) == 0 || std::memcmp(l, "stop", 4) == 0))
            return true;
    }
    return n == 7 && std::memcmp(l, "global_", 7) == 0;
}

// CIF 1.1: a quote followed by white space closes a quoted string, so only
// a value without that pair can be quoted with it.
bool cif1_quote_ok(std::string_view text, char q) noexcept {
    // The opening quote and two more would open a triple-quoted string.
    if (!text.empty() && text[0] == q && (text.size() == 1 || text[1] == q)) return false;
    for (std::size_t i = text.find(q); i != std::string_view::npos; i = text.find(q, i + 1)) {
        if (i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == '\t')) return false;
    }
    return true;
}

// CIF 2.0 triple quotes: the first run of three quotes closes the string,
// so the value may hold no such run and may not end with the quote.
bool triple_ok(std::string_view text, char q) noexcept {
    const char run[3] = {q, q, q};
    return text.find(std::string_view(run, 3)) == std::string_view::npos &&
           (text.empty() || text.back() != q);
}

struct Lines {
    std::size_t first_cp = 0, last_cp = 0, max_cp = 0;
    bool semi_line = false;  // a line after the first starts with ';'
};

Lines line_stats(std::string_view t) noexcept {
    Lines r;
    std::size_t cur = 0;
    bool first = true;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const auto b = static_cast<unsigned char>(t[i]);
        if (b == '\n') {
            if (first) r.first_cp = cur;
            first = false;
            r.max_cp = std::max(r.max_cp, cur);
            cur = 0;
            if (i + 1 < t.size() && t[i + 1] == ';') r.semi_line = true;
        } else if ((b & 0xC0) != 0x80) {
            ++cur;
        }
    }
    if (first) r.first_cp = cur;
    r.last_cp = cur;
    r.max_cp = std::max(r.max_cp, cur);
    return r;
}

// A text field whose first line holds a backslash followed (after one or
// two of them) by nothing but blanks would be read as using the prefix or
// folding protocol.
bool first_line_signals_protocol(std::string_view text) noexcept {
    const std::string_view first = text.substr(0, text.find('\n'));
    std::size_t j = first.find('\\');
    if (j == std::string_view::npos) return false;
    ++j;
    if (j < first.size() && first[j] == '\\') ++j;
    for (; j < first.size(); ++j)
        if (first[j] != ' ' && first[j] != '\t') return false;
    return true;
}

// A line the folding protocol would take for a continuation line.
bool ends_with_backslash(std::string_view line) noexcept {
    std::size_t n = line.size();
    while (n != 0 && (line[n - 1] == ' ' || line[n - 1] == '\t')) --n;
    return n != 0 && line[n - 1] == '\\';
}

char32_t decode_at(std::string_view t, std::size_t i) noexcept {
    const auto b = static_cast<unsigned char>(t[i]);
    if (b < 0x80) return b;
    int len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    char32_t c = b & (0x3F >> (len - 1));
    for (int k = 1; k < len && i + k < t.size(); ++k)
        c = (c << 6) | (static_cast<unsigned char>(t[i + k]) & 0x3F);
    return c;
}

const char* kCrMessage = "a carriage return cannot be written (readers take it for a line end)";

}  // namespace

void check_name(std::string_view name, NameKind kind) {
    if (kind == NameKind::Tag) {
        if (name.size() < 2 || name[0] != '_')
            throw WriteError("a tag must start with '_' followed by a name");
    } else if (name.empty()) {
        throw WriteError(kind == NameKind::Block ? "a data block name cannot be empty"
                                                 : "a save frame name cannot be empty");
    }
    const Scan s = scan(name);
    if (s.mask & (kWs | kLf | kCr)) throw WriteError("a name cannot hold white space");
}

void BufferTextOut::grow(std::size_t more) {
    if (buffer_.size() > size_)
        buffer_.truncate(size_);
    else
        buffer_.advance(size_ - buffer_.size());
    // At least doubled, so that growing costs little over the whole text.
    more = std::max(more, size_ + 4096);
    buffer_.reserve_more(more);
    data_ = buffer_.data();
    capacity_ = size_ + more;
}

CifWriter::CifWriter(const WriteOptions& options, TextOut* out)
    : own_out_(out != nullptr ? nullptr : std::make_unique<BufferTextOut>()),
      out_(out != nullptr ? *out : *own_out_) {
    reset(options);
}

void CifWriter::reset(const WriteOptions& options) {
    if (options.line_limit < kMinLineLimit)
        throw WriteError("the line limit must be at least " + std::to_string(kMinLineLimit));
    options_ = options;
    fast_bad_ =
        kWs | kLf | kCr | kHigh | kCtrl | (options.version == CifVersion::Cif20 ? kBracket : 0);
    out_.truncate(0);
    col_ = 0;
    need_sep_ = false;
    ascii_ = true;
    pad_to_ = 0;
    kinds_.clear();
    known_.clear();
    depth_ = 0;
    top_ = Frame::List;
}

void CifWriter::cif1_only_char(std::string_view text) const {
    std::size_t i = 0;
    while (i < text.size() &&
           !(kClasses[static_cast<unsigned char>(text[i])] & (kHigh | kCtrl | kCr)))
        ++i;
    char buf[96];
    std::snprintf(buf, sizeof buf, "character U+%04X is not permitted in CIF 1.1",
                  static_cast<unsigned>(i < text.size() ? decode_at(text, i) : 0));
    if (options_.may_upgrade) throw NeedsCif2(buf);
    throw WriteError(buf);
}

void CifWriter::needs_cif2(const char* what) const {
    const std::string message = std::string(what) + " cannot be written in CIF 1.1";
    if (options_.may_upgrade) throw NeedsCif2(message);
    throw WriteError(message);
}

void CifWriter::check_name_for_version(std::string_view name, NameKind kind,
                                       std::size_t prefix) const {
    check_name(name, kind);
    const Scan s = scan(name);
    if (!v2() && (s.mask & (kHigh | kCtrl))) cif1_only_char(name);
    if (prefix + s.cp > options_.line_limit)
        throw WriteError("the name is longer than the line limit of " +
                         std::to_string(options_.line_limit));
}

FormChoice CifWriter::choose(std::string_view text, bool in_table) const {
    const Scan s = scan(text);
    const std::size_t n = text.size();
    const std::size_t limit = options_.line_limit;
    if (s.mask & kCr) throw WriteError(kCrMessage);
    if (!v2() && (s.mask & (kHigh | kCtrl))) cif1_only_char(text);
    FormChoice c;
    c.high = (s.mask & kHigh) != 0;
    if (n == 1) {
        const char ch = text[0];
        // A lone bracket, or a colon inside a table, is read as structure
        // however it is quoted; only a text field using the folding
        // protocol carries it as a value.
        if (ch == '[' || ch == ']' || ch == '{' || ch == '}' || (ch == ':' && in_table)) {
            c.form = ValueForm::TextField;
            c.multiline = c.protocol = true;
            return c;
        }
    } else if (n == 3 && text[0] == '"' && text[2] == '"' && (text[1] == '?' || text[1] == '.')) {
        // The form the document keeps for a quoted placeholder.
        c.width = 3;
        return c;
    }
    // A '#' inside a word belongs to it; at its start it opens a comment
    // (the first-character test).
    std::uint16_t not_bare = kWs | kLf;
    if (v2()) not_bare |= kBracket | kCtrl;
    const auto first = n != 0 ? static_cast<unsigned char>(text[0]) : 0;
    if (n != 0 && !kBadFirst[first] && !(v2() && first == ':') && !(s.mask & not_bare) &&
        s.cp <= limit && !reserved_word(text)) {
        c.width = static_cast<std::uint32_t>(s.cp);
        return c;
    }
    if (!(s.mask & kLf)) {
        std::size_t extra = 0;
        if (v2()) {
            if (!(s.mask & kSq)) {
                c.form = ValueForm::Single, extra = 2;
            } else if (!(s.mask & kDq)) {
                c.form = ValueForm::Double, extra = 2;
            } else if (triple_ok(text, '\'')) {
                c.form = ValueForm::TripleSingle, extra = 6;
            } else if (triple_ok(text, '"')) {
                c.form = ValueForm::TripleDouble, extra = 6;
            }
        } else if (cif1_quote_ok(text, '\'')) {
            c.form = ValueForm::Single, extra = 2;
        } else if (cif1_quote_ok(text, '"')) {
            c.form = ValueForm::Double, extra = 2;
        }
        if (extra != 0 && s.cp + extra <= limit) {
            c.width = static_cast<std::uint32_t>(s.cp + extra);
            return c;
        }
    }
    // Over several lines: a text field, or in CIF 2.0 triple quotes where
    // they fit and a text field would need the folding protocol (or the
    // value sits in a list or table).
    const Lines l = line_stats(text);
    const bool needs_protocol = l.semi_line || l.first_cp + 1 > limit || l.max_cp > limit ||
                                first_line_signals_protocol(text);
    if (v2() && (s.mask & kLf) && (needs_protocol || depth_ != 0) && l.first_cp + 3 <= limit &&
        l.max_cp <= limit && l.last_cp + 3 <= limit) {
        if (triple_ok(text, '\'')) {
            c.form = ValueForm::TripleSingle;
            c.multiline = true;
            return c;
        }
        if (triple_ok(text, '"')) {
            c.form = ValueForm::TripleDouble;
            c.multiline = true;
            return c;
        }
    }
    c.form = ValueForm::TextField;
    c.multiline = true;
    c.protocol = needs_protocol;
    c.prefix = needs_protocol && (s.mask & kSemi);
    return c;
}

std::size_t CifWriter::row_width_general(std::string_view text) const {
    const FormChoice c = choose(text, false);
    return c.multiline ? 0 : c.width;
}

void CifWriter::begin_document() {
    put(v2() ? "#\\#CIF_2.0\n" : "#\\#CIF_1.1\n");
    col_ = 0;
    need_sep_ = false;
}

void CifWriter::data_block(std::string_view name) {
    check_name_for_version(name, NameKind::Block, 5);
    end_line();
    put("data_");
    put(name);
    newline();
}

void CifWriter::save_frame(std::string_view name) {
    check_name_for_version(name, NameKind::SaveFrame, 5);
    end_line();
    put("save_");
    put(name);
    newline();
}

void CifWriter::end_save_frame() {
    end_line();
    put("save_");
    newline();
}

void CifWriter::comment_line() {
    end_line();
    put('#');
    newline();
}

void CifWriter::item(std::string_view tag, std::size_t align) {
    check_name_for_version(tag, NameKind::Tag, 0);
    end_line();
    put(tag);
    col_ = code_points(tag);
    need_sep_ = true;
    pad_to_ = align >= col_ && align != 0 ? align + 2 : 0;
}

void CifWriter::value(std::string_view text) {
    const FormChoice c = choose(text, in_table_value());
    std::size_t slot = c.width;
    if (pad_to_ != 0) {
        if (!c.multiline && pad_to_ + 1 + c.width <= options_.line_limit) {
            const std::size_t spaces = pad_to_ - col_;
            out_.reserve_more(spaces);
            std::memset(out_.end(), ' ', spaces);
            out_.advance(spaces);
            col_ = pad_to_;
        }
        pad_to_ = 0;
    }
    write_value(text, c, slot);
}

const std::uint16_t CifWriter::kByteClass[256] = {
#define Q(i) kClasses[i], kClasses[i + 1], kClasses[i + 2], kClasses[i + 3]
#define R(i) Q(i), Q(i + 4), Q(i + 8), Q(i + 12)
    R(0),   R(16),  R(32),  R(48),  R(64),  R(80),  R(96),  R(112),
    R(128), R(144), R(160), R(176), R(192), R(208), R(224), R(240),
#undef R
#undef Q
};

namespace {
constexpr std::array<std::uint8_t, 256> make_plain_first() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0x21; c < 0x7f; ++c) t[c] = kBadFirst[c] ? 0 : 1;
    t[':'] = 0;  // CIF 2.0 rule, looked at closely on the general path
    // Keywords begin with these letters: a word starting with one is looked
    // at more closely.
    for (unsigned char c : std::string_view("dDsSlLgG")) t[c] = 2;
    return t;
}
constexpr auto kPlainFirstTable = make_plain_first();
}  // namespace

const std::uint8_t CifWriter::kPlainFirst[256] = {
#define Q(i) \
    kPlainFirstTable[i], kPlainFirstTable[i + 1], kPlainFirstTable[i + 2], kPlainFirstTable[i + 3]
#define R(i) Q(i), Q(i + 4), Q(i + 8), Q(i + 12)
    R(0),   R(16),  R(32),  R(48),  R(64),  R(80),  R(96),  R(112),
    R(128), R(144), R(160), R(176), R(192), R(208), R(224), R(240),
#undef R
#undef Q
};

bool CifWriter::reserved(std::string_view word) noexcept {
    return reserved_word(word);
}

namespace {

#if defined(__SSE2__) && defined(__x86_64__)
#if defined(__SANITIZE_ADDRESS__)
#define QUARZEL_WRITER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARZEL_WRITER_ASAN 1
#endif
#endif

// Sixteen bytes from `src`, the first `len` (1 to 16) being a value's. The
// caller makes sure the others lie on the same page, so reading them is
// harmless, but they may lie past the value's allocation: a build with
// AddressSanitizer copies only the value's bytes (the others zero).
inline __m128i load_value16(const unsigned char* src, std::size_t len) noexcept {
#ifdef QUARZEL_WRITER_ASAN
    alignas(16) unsigned char bytes[16] = {};
    std::memcpy(bytes, src, len);
    return _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
#else
    (void)len;
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
#endif
}
#endif

// Whether a word of `len` >= 5 bytes whose first eight are `w` (little
// endian) might be a keyword: letters compared without their case bit,
// which lets a few other words through too (they take the general path).
inline bool maybe_keyword(std::uint64_t w, std::size_t len) noexcept {
    constexpr auto word = [](const char* s, int n) {
        std::uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[i]);
        return v;
    };
    const std::uint64_t w5 = (w | 0x20202020u) & 0xFFFFFFFFFFu;
    if (w5 == word("data_", 5) || w5 == word("save_", 5)) return true;
    if (len == 5) return w5 == word("loop_", 5) || w5 == word("stop_", 5);
    if (len == 7) {
        const std::uint64_t w7 = (w | 0x202020202020u) & 0xFFFFFFFFFFFFFFu;
        return w7 == word("global_", 7);
    }
    return false;
}

}  // namespace

template <bool kCif2, bool kPads, bool kFits>
std::size_t CifWriter::plain_row_values_for(const std::string_view* values, const std::size_t* pads,
                                            std::size_t n, const void* const* ids,
                                            std::size_t first_column) {
    // Room for n values of up to 16 bytes with a blank each, and the pads.
    std::size_t room = n * 17;
    if constexpr (kPads)
        for (std::size_t i = 0; i < n; ++i) room += pads[i];
    out_.reserve_more(room + 16);
    unsigned char* const start = out_.end();
    unsigned char* p = start;
    std::size_t sep = need_sep_ ? 1 : 0;
    const std::size_t limit = options_.line_limit;
    std::size_t i = 0;
    // No calls in this loop: a value that needs any closer look ends it.
#if defined(__SSE2__) && defined(__x86_64__)
    const __m128i below = _mm_set1_epi8(0x21), del = _mm_set1_epi8(0x7f),
                  spaces = _mm_set1_epi8(' '), fold = _mm_set1_epi8(static_cast<char>(0xDF)),
                  open = _mm_set1_epi8(0x5B), close = _mm_set1_epi8(0x5D);
    if (ids != nullptr && known_.size() < first_column + n) known_.resize(first_column + n);
#else
    (void)ids;
    (void)first_column;
#endif
    for (; i < n; ++i) {
        const std::size_t len = values[i].size();
        std::size_t slot = len;
        if constexpr (kPads) slot = len > pads[i] ? len : pads[i];
        // (kFits: the whole row fits on the line, whatever its values.)
        if (!kFits && col_ + static_cast<std::size_t>(p - start) + sep + slot > limit) break;
#if defined(__SSE2__) && defined(__x86_64__)
        __m128i x;
        Known* known = ids != nullptr ? &known_[first_column + i] : nullptr;
        if (known != nullptr && known->id == ids[i]) {
            // The value this column had last, already found plain.
            x = _mm_load_si128(reinterpret_cast<const __m128i*>(known->bytes));
        } else {
            const auto* src = reinterpret_cast<const unsigned char*>(values[i].data());
            // Not empty, at most 16 bytes, a plain first character (not a
            // keyword's first letter), read without crossing into the next
            // page.
            if (len - 1 >= 16) break;
            const std::uint8_t first = kPlainFirst[src[0]];
            if (first == 0 || (reinterpret_cast<std::uintptr_t>(src) & 4095) > 4096 - 16) break;
            x = load_value16(src, len);
            if (first == 2 && len >= 5 &&
                maybe_keyword(static_cast<std::uint64_t>(_mm_cvtsi128_si64(x)), len))
                break;
            // Signed compare: bytes from 0x80 count as below 0x21 too.
            __m128i bad = _mm_or_si128(_mm_cmplt_epi8(x, below), _mm_cmpeq_epi8(x, del));
            if constexpr (kCif2) {
                // [ ] { } are 0x5B 0x5D 0x7B 0x7D: 0x5B or 0x5D with or
                // without bit 0x20.
                const __m128i folded = _mm_and_si128(x, fold);
                bad = _mm_or_si128(bad, _mm_cmpeq_epi8(folded, open));
                bad = _mm_or_si128(bad, _mm_cmpeq_epi8(folded, close));
            }
            if (static_cast<unsigned>(_mm_movemask_epi8(bad)) & ((1u << len) - 1)) break;
            if (known != nullptr) {
                known->id = ids[i];
                _mm_store_si128(reinterpret_cast<__m128i*>(known->bytes), x);
            }
        }
        *p = ' ';
        p += sep;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), x);
        if constexpr (kPads) {
            for (std::size_t k = len; k < slot; k += 16)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(p + k), spaces);
        }
#else
        const auto* src = reinterpret_cast<const unsigned char*>(values[i].data());
        if (len - 1 >= 16 || kPlainFirst[src[0]] != 1) break;
        std::uint16_t mask = 0;
        for (std::size_t k = 0; k < len; ++k) mask |= kByteClass[src[k]];
        if (mask & fast_bad_) break;
        *p = ' ';
        p += sep;
        std::memcpy(p, src, len);
        if constexpr (kPads)
            for (std::size_t k = len; k < slot; ++k) p[k] = ' ';
#endif
        p += slot;
        sep = 1;
    }
    // Every value written here is ASCII: a byte is a column.
    out_.advance(static_cast<std::size_t>(p - start));
    col_ += static_cast<std::size_t>(p - start);
    if (p != start) need_sep_ = true;
    return i;
}

std::size_t CifWriter::plain_row_values(const std::string_view* values, const std::size_t* pads,
                                        std::size_t n, const void* const* ids,
                                        std::size_t first_column) {
    if (pads != nullptr)
        return v2() ? plain_row_values_for<true, true, false>(values, pads, n, ids, first_column)
                    : plain_row_values_for<false, true, false>(values, pads, n, ids, first_column);
    // Values of at most 16 bytes, each after one blank.
    if (col_ + 17 * n <= options_.line_limit)
        return v2() ? plain_row_values_for<true, false, true>(values, pads, n, ids, first_column)
                    : plain_row_values_for<false, false, true>(values, pads, n, ids, first_column);
    return v2() ? plain_row_values_for<true, false, false>(values, pads, n, ids, first_column)
                : plain_row_values_for<false, false, false>(values, pads, n, ids, first_column);
}

void CifWriter::loop_value_general(std::string_view text, std::size_t pad) {
    const FormChoice c = choose(text, in_table_value());
    // A pad never takes a line beyond the limit.
    const std::size_t slot = std::max<std::size_t>(c.width, std::min(pad, options_.line_limit));
    write_value(text, c, slot);
    if (!c.multiline && slot > c.width) {
        const std::size_t spaces = slot - c.width;
        out_.reserve_more(spaces);
        std::memset(out_.end(), ' ', spaces);
        out_.advance(spaces);
        col_ += spaces;
    }
}

void CifWriter::write_value(std::string_view text, const FormChoice& c, std::size_t slot) {
    if (c.high) ascii_ = false;
    const char* quote = nullptr;
    switch (c.form) {
        case ValueForm::Bare:
            place(slot);
            out_.reserve_more(text.size());
            std::memcpy(out_.end(), text.data(), text.size());
            out_.advance(text.size());
            col_ += c.width;
            need_sep_ = true;
            return;
        case ValueForm::Single:
            quote = "'";
            break;
        case ValueForm::Double:
            quote = "\"";
            break;
        case ValueForm::TripleSingle:
            quote = "'''";
            break;
        case ValueForm::TripleDouble:
            quote = "\"\"\"";
            break;
        case ValueForm::TextField:
            write_text_field(text, c);
            return;
    }
    const std::string_view q(quote);
    if (c.multiline) {
        write_multiline_quoted(text, q);
        return;
    }
    place(slot);
    out_.reserve_more(text.size() + 2 * q.size());
    unsigned char* p = out_.end();
    std::memcpy(p, q.data(), q.size());
    std::memcpy(p + q.size(), text.data(), text.size());
    std::memcpy(p + q.size() + text.size(), q.data(), q.size());
    out_.advance(text.size() + 2 * q.size());
    col_ += c.width;
    need_sep_ = true;
}

void CifWriter::write_multiline_quoted(std::string_view text, std::string_view q) {
    const Lines l = line_stats(text);
    const std::size_t limit = options_.line_limit;
    if (need_sep_) {
        if (col_ + 1 + q.size() + l.first_cp <= limit) {
            put(' ');
            ++col_;
        } else {
            newline();
        }
    } else if (col_ != 0 && col_ + q.size() + l.first_cp > limit) {
        newline();
    }
    put(q);
    put(text);
    put(q);
    col_ = l.last_cp + q.size();
    need_sep_ = true;
}

void CifWriter::write_text_field(std::string_view text, const FormChoice& c) {
    end_line();
    put(';');
    if (!c.protocol) {
        put(text);
    } else {
        // The folding protocol: a first line of the prefix and one
        // backslash, then every line of the value behind the prefix, folded
        // where it is too long.
        const std::string_view prefix = c.prefix ? ">" : "";
        put(prefix);
        put('\\');
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = text.find('\n', start);
            put('\n');
            write_folded_line(
                text.substr(start,
                            end == std::string_view::npos ? std::string_view::npos : end - start),
                prefix);
            if (end == std::string_view::npos) break;
            start = end + 1;
        }
    }
    put("\n;");
    newline();
}

void CifWriter::write_folded_line(std::string_view line, std::string_view prefix) {
    const std::size_t avail = options_.line_limit - prefix.size();
    std::size_t cp = code_points(line);
    for (;;) {
        const bool escape = ends_with_backslash(line);
        if (!escape && cp <= avail) {
            put(prefix);
            put(line);
            return;
        }
        if (escape && cp + 1 <= avail) {
            // Its own backslash would make it a continuation line: one more
            // backslash, then an empty line, end it.
            put(prefix);
            put(line);
            put("\\\n");
            put(prefix);
            return;
        }
        const std::size_t bytes = prefix_bytes(line, avail - 1);
        put(prefix);
        put(line.substr(0, bytes));
        put("\\\n");
        line.remove_prefix(bytes);
        cp -= avail - 1;
    }
}

void CifWriter::open_container(char c, Frame kind) {
    pad_to_ = 0;
    place(1);
    put(c);
    ++col_;
    need_sep_ = false;
    kinds_.push_back(kind == Frame::Table);
    ++depth_;
    top_ = kind;
}

void CifWriter::close_container(char c, Frame kind) {
    if (depth_ == 0 || top_ != kind) throw std::logic_error("CifWriter: unbalanced list or table");
    if (col_ != 0 && col_ + 1 > options_.line_limit) newline();
    put(c);
    ++col_;
    need_sep_ = true;
    kinds_.pop_back();
    --depth_;
    top_ = depth_ != 0 && kinds_.back() ? Frame::Table : Frame::List;
}

void CifWriter::begin_list() {
    if (!v2()) needs_cif2("a list");
    open_container('[', Frame::List);
}

void CifWriter::end_list() {
    close_container(']', Frame::List);
}

void CifWriter::begin_table() {
    if (!v2()) needs_cif2("a table");
    open_container('{', Frame::Table);
}

void CifWriter::end_table() {
    close_container('}', Frame::Table);
}

void CifWriter::key(std::string_view key) {
    if (!in_table_value()) throw std::logic_error("CifWriter: a key outside a table");
    const Scan s = scan(key);
    if (s.mask & kCr) throw WriteError(kCrMessage);
    if (s.mask & kHigh) ascii_ = false;
    if (key.size() == 1 && std::string_view("[]{}:").find(key[0]) != std::string_view::npos)
        throw WriteError("a table key cannot be the single character '" + std::string(key) + "'");
    const std::size_t limit = options_.line_limit;
    const char* quote = nullptr;
    if (!(s.mask & kLf) && !(s.mask & kSq)) {
        quote = "'";
    } else if (!(s.mask & kLf) && !(s.mask & kDq)) {
        quote = "\"";
    } else if (triple_ok(key, '\'')) {
        quote = "'''";
    } else if (triple_ok(key, '"')) {
        quote = "\"\"\"";
    } else {
        throw WriteError("a table key holding both kinds of quotes this way cannot be written");
    }
    const std::string_view q(quote);
    if (!(s.mask & kLf)) {
        const std::size_t width = s.cp + 2 * q.size() + 1;  // and the colon
        if (width > limit)
            throw WriteError("a table key longer than the line limit of " + std::to_string(limit));
        place(width);
        put(q);
        put(key);
        put(q);
        put(':');
        col_ += width;
    } else {
        const Lines l = line_stats(key);
        if (l.first_cp + 3 > limit || l.max_cp > limit || l.last_cp + 4 > limit)
            throw WriteError("a table key with a line longer than the line limit of " +
                             std::to_string(limit));
        write_multiline_quoted(key, q);
        put(':');
        ++col_;
    }
    need_sep_ = false;
}

void CifWriter::begin_loop() {
    for (Known& k : known_) k.id = nullptr;
    end_line();
    put("loop_");
    newline();
}

void CifWriter::loop_tag(std::string_view tag) {
    check_name_for_version(tag, NameKind::Tag, 0);
    put(tag);
    newline();
}

void CifWriter::begin_row() {
    end_line();
}

void CifWriter::end_loop() {
    end_line();
}

void CifWriter::finish() {
    end_line();
}

std::string CifWriter::finish_string() {
    finish();
    return std::string(text());
}

}  // namespace quarzel
