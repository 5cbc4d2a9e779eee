// Byte classes of 64 bytes at once, for the lexer's run of plain words: one
// bit per byte, so that blanks are skipped and a word's end found with a
// count of trailing zeros rather than a test per byte. SSE2 (always there on
// x86-64) builds the masks; elsewhere a byte loop builds the same ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarzel::lexer_detail {

// Bit i of each mask tells of byte i of the window.
struct WordWindow {
    static constexpr std::size_t kBytes = 64;

    std::uint64_t blank;  // space, tab or LF
    std::uint64_t end;    // ends a bare word: a blank, or under CIF 2.0 a bracket
    std::uint64_t lf;     // LF
    std::uint64_t high;   // 0x80 or above
};

// The masks of the 64 bytes at `p`, byte by byte.
inline WordWindow word_window_bytewise(const char* p, bool cif2) noexcept {
    WordWindow w{0, 0, 0, 0};
    for (std::size_t i = 0; i < WordWindow::kBytes; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        const std::uint64_t bit = std::uint64_t{1} << i;
        if (c == ' ' || c == '\t' || c == '\n') w.blank |= bit;
        if (c == '\n') w.lf |= bit;
        if (c & 0x80) w.high |= bit;
        if (cif2 && (c == '[' || c == ']' || c == '{' || c == '}')) w.end |= bit;
    }
    w.end |= w.blank;
    return w;
}

#if defined(__SSE2__)
// The same masks, 16 bytes per step.
inline WordWindow word_window_sse2(const char* p, bool cif2) noexcept {
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i lf = _mm_set1_epi8('\n');
    // '[' ']' '{' '}' are 0x5B 0x5D 0x7B 0x7D: with bit 5 set, '{' or '}'.
    const __m128i bit5 = _mm_set1_epi8(0x20);
    const __m128i open = _mm_set1_epi8('{');
    const __m128i close = _mm_set1_epi8('}');
    WordWindow w{0, 0, 0, 0};
    for (unsigned i = 0; i < 4; ++i) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        const __m128i is_lf = _mm_cmpeq_epi8(x, lf);
        const __m128i is_blank =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, space), _mm_cmpeq_epi8(x, tab)), is_lf);
        const auto shift = 16 * i;
        w.blank |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(is_blank))} << shift;
        w.lf |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(is_lf))} << shift;
        w.high |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(x))} << shift;
        if (cif2) {
            const __m128i y = _mm_or_si128(x, bit5);
            const __m128i is_bracket =
                _mm_or_si128(_mm_cmpeq_epi8(y, open), _mm_cmpeq_epi8(y, close));
            w.end |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(is_bracket))}
                     << shift;
        }
    }
    w.end |= w.blank;
    return w;
}
#endif

// The masks of the 64 bytes at `p`.
inline WordWindow word_window(const char* p, bool cif2) noexcept {
#if defined(__SSE2__)
    return word_window_sse2(p, cif2);
#else
    return word_window_bytewise(p, cif2);
#endif
}

// The masks of the `n` (< 64) bytes at `p`, the rest of the window read as
// spaces: the end of the text ends a word like a blank does.
inline WordWindow word_window_tail(const char* p, std::size_t n, bool cif2) noexcept {
    char padded[WordWindow::kBytes];
    std::memset(padded, ' ', sizeof padded);
    if (n != 0) std::memcpy(padded, p, n);
    return word_window(padded, cif2);
}

// The low `k` bits (k <= 64).
inline std::uint64_t low_bits(unsigned k) noexcept {
    return k >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << k) - 1;
}

}  // namespace quarzel::lexer_detail
