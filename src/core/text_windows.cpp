#include "core/text_windows.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarzel {

namespace {

// Bytes of a UTF-8 sequence that begins with `lead`; 0 for a byte that
// cannot begin one.
std::size_t sequence_length(unsigned char lead) noexcept {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Bytes at the end of `text` that begin a sequence it does not finish.
std::size_t unfinished_tail(std::string_view text) noexcept {
    const std::size_t n = text.size();
    for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
        const auto c = static_cast<unsigned char>(text[n - back]);
        if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const std::size_t len = sequence_length(c);
        return len > back ? back : 0;
    }
    return 0;
}

bool has_high_byte(const char* p, std::size_t n) noexcept {
    std::size_t i = 0;
#if defined(__SSE2__)
    // 64 bytes a turn, their top bits gathered once.
    for (; i + 64 <= n; i += 64) {
        __m128i any = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        any = _mm_or_si128(any, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16)));
        any = _mm_or_si128(any, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 32)));
        any = _mm_or_si128(any, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 48)));
        if (_mm_movemask_epi8(any) != 0) return true;
    }
#endif
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ULL) return true;
    }
    for (; i < n; ++i)
        if (static_cast<unsigned char>(p[i]) & 0x80) return true;
    return false;
}

}  // namespace

TextWindows::TextWindows(ByteSource& source, std::size_t window,
                         std::optional<NativeParseError> latin1_record, std::uint64_t source_base)
    : source_(source),
      cap_(std::max<std::size_t>(window, 16)),
      latin1_mode_(latin1_record.has_value()),
      latin1_(std::move(latin1_record)),
      source_base_(source_base) {
    if (const std::uint64_t hint = source_.size_hint(); hint != 0)
        cap_ = static_cast<std::size_t>(std::min<std::uint64_t>(cap_, hint + 4096));
    buf_ = std::make_unique_for_overwrite<char[]>(cap_);
    anchors_.push_back({0, source_base_});
}

void TextWindows::grow() {
    const std::size_t larger = cap_ * 2;
    auto grown = std::make_unique_for_overwrite<char[]>(larger);
    std::memcpy(grown.get(), buf_.get(), filled_);
    buf_ = std::move(grown);
    cap_ = larger;
}

// Normalises `n` raw bytes (at buf_ + filled_ already, or in `raw`) onto the
// end of the text: CR LF and a lone CR become LF, and in Latin-1 mode each
// byte becomes its character.
void TextWindows::append_raw(const char* raw, std::size_t n) {
    char* const out = buf_.get();
    std::size_t w = filled_;
    std::uint64_t r = source_base_ + raw_read_;
    raw_read_ += n;
    const bool in_place = raw == out + filled_;
    if (in_place && !pending_cr_ && std::memchr(raw, '\r', n) == nullptr) {
        filled_ += n;  // the common case: nothing to change
        return;
    }
    std::size_t i = 0;
    // A byte order mark that starts the file stays one in Latin-1 mode: the
    // reader drops it, as it does when it reads a whole text as Latin-1.
    if (latin1_mode_ && r == 0 && n >= 3 && std::memcmp(raw, "\xEF\xBB\xBF", 3) == 0) {
        std::memcpy(out + w, raw, 3);
        w += 3;
        i = 3;
        r += 3;
    }
    for (; i < n; ++i, ++r) {
        const auto c = static_cast<unsigned char>(raw[i]);
        if (pending_cr_) {
            pending_cr_ = false;
            if (c == '\n') {  // the LF of a CR LF: dropped
                anchors_.push_back({w, r + 1});
                continue;
            }
        }
        if (c == '\r') {
            out[w++] = '\n';
            pending_cr_ = true;
        } else if (latin1_mode_ && c >= 0x80) {
            out[w++] = static_cast<char>(0xC0 | (c >> 6));
            out[w++] = static_cast<char>(0x80 | (c & 0x3F));
            anchors_.push_back({w, r + 1});
        } else {
            out[w++] = static_cast<char>(c);
        }
    }
    filled_ = w;
}

void TextWindows::read_some() {
    const std::size_t room = cap_ - filled_;
    std::size_t got;
    if (!latin1_mode_) {
        got = source_.read(buf_.get() + filled_, room);
        if (got != 0) append_raw(buf_.get() + filled_, got);
    } else {
        // Each byte may take two.
        const std::size_t half = room / 2;
        if (half == 0) return;
        if (!raw_) raw_ = std::make_unique_for_overwrite<char[]>(std::size_t{1} << 20);
        got = source_.read(raw_.get(), std::min<std::size_t>(half, std::size_t{1} << 20));
        if (got != 0) append_raw(raw_.get(), got);
    }
    if (got == 0) eof_ = true;
}

void TextWindows::check_utf8() {
    if (latin1_mode_) {
        validated_ = filled_;
        return;
    }
    std::string_view fresh(buf_.get() + validated_, filled_ - validated_);
    if (!eof_) fresh.remove_suffix(unfinished_tail(fresh));
    // ASCII (most text) is UTF-8 as it is.
    const bool high = has_high_byte(fresh.data(), fresh.size());
    const std::size_t bad = high ? first_invalid_utf8(fresh) : std::string_view::npos;
    if (bad == std::string_view::npos) {
        high_seen_ = high_seen_ || high;
        validated_ += fresh.size();
        return;
    }
    // Read again from the start as Latin-1; the record says where the
    // first byte that is not UTF-8 stands (one column per byte).
    const std::size_t at = validated_ + bad;
    const char* b = buf_.get();
    std::uint32_t line = first_line_ + 1;
    // A byte order mark that starts the file is no column.
    std::size_t line_start =
        first_line_ == 0 && source_base_ == 0 && std::string_view(b, at).starts_with("\xEF\xBB\xBF")
            ? 3
            : 0;
    for (std::size_t i = 0; i < at; ++i)
        if (b[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    const auto byte = static_cast<unsigned char>(b[at]);
    static constexpr char kHex[] = "0123456789ABCDEF";
    NativeParseError e;
    e.error_type = ErrorType::Lexical;
    e.message = std::string("not valid UTF-8 (byte 0x") + kHex[byte >> 4] + kHex[byte & 15] +
                "); read as Latin-1";
    e.line = line;
    e.column = static_cast<std::uint32_t>(at - line_start + 1);
    e.context.push_back(static_cast<char>(0xC0 | (byte >> 6)));
    e.context.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    e.recovery_action = "read as Latin-1";
    throw RestartAsLatin1{std::move(e)};
}

void TextWindows::set_cut() {
    if (eof_ && validated_ == filled_) {
        cut_ = filled_;
        return;
    }
    const char* b = buf_.get();
    std::size_t i = validated_;
    while (i > 0 && b[i - 1] != '\n') --i;
    cut_ = i;
}

void TextWindows::drop_front(std::size_t keep) {
    if (keep == 0) return;
    const std::uint64_t file = file_offset(keep);
    std::memmove(buf_.get(), buf_.get() + keep, filled_ - keep);
    filled_ -= keep;
    validated_ -= keep;
    cut_ = 0;
    std::vector<Anchor> kept{{0, file}};
    for (const Anchor& a : anchors_)
        if (a.text > keep) kept.push_back({a.text - keep, a.file});
    anchors_ = std::move(kept);
}

VersionResult TextWindows::start() {
    // Whole lines up to the first that is not blank (or the end).
    std::size_t pos = 0, line_end = 0;
    for (;;) {
        while (!eof_ && has_room()) read_some();
        check_utf8();
        const char* b = buf_.get();
        bool found = false;
        while (pos < validated_) {
            const void* lf = std::memchr(b + pos, '\n', validated_ - pos);
            if (lf == nullptr) break;
            const auto nl = static_cast<std::size_t>(static_cast<const char*>(lf) - b);
            if (!blank_line(std::string_view(b + pos, nl - pos))) {
                line_end = nl + 1;
                found = true;
                break;
            }
            pos = nl + 1;
        }
        if (found) break;
        if (eof_ && validated_ == filled_) {
            line_end = filled_;
            break;
        }
        grow();
    }
    VersionResult r = detect_version(std::string_view(buf_.get(), line_end));
    const std::size_t text_at =
        r.text.data() == nullptr ? line_end : static_cast<std::size_t>(r.text.data() - buf_.get());
    r.text = {};
    r.storage.reset();
    drop_front(text_at);
    first_line_ = r.line_offset;
    set_cut();
    return r;
}

void TextWindows::start_at_line(std::uint32_t lines_before) {
    while (!eof_ && has_room()) read_some();
    check_utf8();
    first_line_ = lines_before;
    set_cut();
    while (cut_ == 0 && !(eof_ && validated_ == filled_)) {
        grow();
        while (!eof_ && has_room()) read_some();
        check_utf8();
        set_cut();
    }
}

void TextWindows::advance(std::size_t keep, std::uint32_t keep_line) {
    const std::size_t seen = cut_ - keep;
    first_line_ = keep_line - 1;
    drop_front(keep);
    for (;;) {
        if (!has_room()) grow();
        while (!eof_ && has_room()) read_some();
        check_utf8();
        set_cut();
        if (cut_ > seen || (eof_ && validated_ == filled_)) return;
    }
}

std::uint64_t TextWindows::file_offset(std::size_t at) const noexcept {
    auto it = std::upper_bound(anchors_.begin(), anchors_.end(), at,
                               [](std::size_t t, const Anchor& a) { return t < a.text; });
    const Anchor& a = *std::prev(it);
    return a.file + (at - a.text);
}

}  // namespace quarzel
