// Byte classes of 64 bytes at once, for the lexer's run of plain words: one
// bit per byte, so that blanks are skipped and a word's end found with a
// count of trailing zeros rather than a test per byte. SSE2 (always there on
// x86-64) builds the masks; elsewhere a byte loop builds the same ones. On
// processors with AVX2 the lexer's run takes a path of its own, compiled for
// them, whose windows are built 32 bytes per step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QUARZEL_WIDE_WINDOWS 1
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
// Sixteen copies of a byte, for comparing against, read from memory: a
// window is built between calls, which keep no vector register.
struct alignas(16) ByteSplat {
    unsigned char bytes[16];
};
constexpr ByteSplat splat(unsigned char c) {
    ByteSplat s{};
    for (unsigned char& b : s.bytes) b = c;
    return s;
}
inline constexpr ByteSplat kSpaces = splat(' ');
inline constexpr ByteSplat kTabs = splat('\t');
inline constexpr ByteSplat kLineFeeds = splat('\n');
inline constexpr ByteSplat kBit5 = splat(0x20);
inline constexpr ByteSplat kOpenBraces = splat('{');
inline constexpr ByteSplat kCloseBraces = splat('}');

inline __m128i load(const ByteSplat& s) noexcept {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(s.bytes));
}
inline std::uint64_t mask_bits(__m128i v, unsigned shift) noexcept {
    return std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(v))} << shift;
}

// Bits of the bytes of `x` that end a bare word: blanks, and with
// `brackets` the brackets as well.
inline std::uint32_t word_end_bits(__m128i x, bool brackets) noexcept {
    __m128i ends =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, load(kSpaces)), _mm_cmpeq_epi8(x, load(kTabs))),
                     _mm_cmpeq_epi8(x, load(kLineFeeds)));
    if (brackets) {
        // '[' ']' '{' '}' are 0x5B 0x5D 0x7B 0x7D: with bit 5 set, '{' or '}'.
        const __m128i y = _mm_or_si128(x, load(kBit5));
        ends = _mm_or_si128(ends, _mm_or_si128(_mm_cmpeq_epi8(y, load(kOpenBraces)),
                                               _mm_cmpeq_epi8(y, load(kCloseBraces))));
    }
    return static_cast<std::uint16_t>(_mm_movemask_epi8(ends));
}

// The same masks, 16 bytes per step.
inline WordWindow word_window_sse2(const char* p, bool cif2) noexcept {
    WordWindow w{0, 0, 0, 0};
    for (unsigned i = 0; i < 4; ++i) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        const __m128i is_lf = _mm_cmpeq_epi8(x, load(kLineFeeds));
        const __m128i is_blank = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(x, load(kSpaces)), _mm_cmpeq_epi8(x, load(kTabs))), is_lf);
        w.blank |= mask_bits(is_blank, 16 * i);
        w.lf |= mask_bits(is_lf, 16 * i);
        w.high |= mask_bits(x, 16 * i);
    }
    w.end = w.blank;
    if (cif2) {
        // '[' ']' '{' '}' are 0x5B 0x5D 0x7B 0x7D: with bit 5 set, '{' or '}'.
        for (unsigned i = 0; i < 4; ++i) {
            const __m128i y = _mm_or_si128(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), load(kBit5));
            w.end |= mask_bits(_mm_or_si128(_mm_cmpeq_epi8(y, load(kOpenBraces)),
                                            _mm_cmpeq_epi8(y, load(kCloseBraces))),
                               16 * i);
        }
    }
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
// spaces: the end of the text ends a word like a blank does. `Windows`
// builds the masks (NarrowWindows or WideWindows).
template <class Windows>
inline WordWindow word_window_tail_with(const char* p, std::size_t n, bool cif2) noexcept {
    char padded[WordWindow::kBytes];
    std::memset(padded, ' ', sizeof padded);
    if (n != 0) std::memcpy(padded, p, n);
    return Windows::window(padded, cif2);
}

// The windows any processor can build.
struct NarrowWindows {
    static WordWindow window(const char* p, bool cif2) noexcept { return word_window(p, cif2); }
};

inline WordWindow word_window_tail(const char* p, std::size_t n, bool cif2) noexcept {
    return word_window_tail_with<NarrowWindows>(p, n, cif2);
}

#if defined(QUARZEL_WIDE_WINDOWS)
// The masks, 32 bytes per step. Only for code compiled for AVX2 and run
// where wide_windows() says so.
[[gnu::target("avx2")]] inline WordWindow word_window_avx2(const char* p, bool cif2) noexcept {
    WordWindow w{0, 0, 0, 0};
    for (unsigned i = 0; i < 2; ++i) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i));
        const __m256i is_lf = _mm256_cmpeq_epi8(x, _mm256_set1_epi8('\n'));
        const __m256i is_blank =
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(x, _mm256_set1_epi8(' ')),
                                            _mm256_cmpeq_epi8(x, _mm256_set1_epi8('\t'))),
                            is_lf);
        const unsigned shift = 32 * i;
        w.blank |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(is_blank))}
                   << shift;
        w.lf |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(is_lf))} << shift;
        w.high |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(x))} << shift;
        if (cif2) {
            // '[' ']' '{' '}' are 0x5B 0x5D 0x7B 0x7D: with bit 5 set, '{' or '}'.
            const __m256i y = _mm256_or_si256(x, _mm256_set1_epi8(0x20));
            const __m256i bracket = _mm256_or_si256(_mm256_cmpeq_epi8(y, _mm256_set1_epi8('{')),
                                                    _mm256_cmpeq_epi8(y, _mm256_set1_epi8('}')));
            w.end |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(bracket))}
                     << shift;
        }
    }
    w.end |= w.blank;
    return w;
}

struct WideWindows {
    [[gnu::target("avx2")]] static WordWindow window(const char* p, bool cif2) noexcept {
        return word_window_avx2(p, cif2);
    }
};
#endif

// Whether the lexer's run builds its windows with AVX2: the processor has
// it (with POPCNT, BMI1 and BMI2, which the same path uses) and it has not
// been switched off.
bool wide_windows() noexcept;
// Switches the AVX2 windows on (where the processor has them) or off for
// the whole process; returns whether they were on. For tests that read the
// same text both ways.
bool set_wide_windows(bool on) noexcept;

// The low `k` bits (k <= 64).
inline std::uint64_t low_bits(unsigned k) noexcept {
    return k >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << k) - 1;
}

}  // namespace quarzel::lexer_detail
