#include "core/word_skim.hpp"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUARZEL_SKIM_X86 1
#endif

namespace quarzel {

namespace {

constexpr std::size_t kBlock = 64;

// Bit i of each mask tells of byte i of 64.
struct Masks {
    std::uint64_t blank;    // space, tab, LF
    std::uint64_t lf;       // LF
    std::uint64_t special;  // may begin something else than a plain word: " # $ ' : ; [ ] { } _
    std::uint64_t bracket;  // [ ] { }
};

constexpr bool is_special(unsigned char c) noexcept {
    switch (c) {
        case '"':
        case '#':
        case '$':
        case '\'':
        case ':':
        case ';':
        case '[':
        case ']':
        case '{':
        case '}':
        case '_':
            return true;
        default:
            return false;
    }
}

Masks masks_bytewise(const char* p) noexcept {
    Masks m{0, 0, 0, 0};
    for (std::size_t i = 0; i < kBlock; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        const std::uint64_t bit = std::uint64_t{1} << i;
        if (c == ' ' || c == '\t' || c == '\n') m.blank |= bit;
        if (c == '\n') m.lf |= bit;
        if (is_special(c)) m.special |= bit;
        if (c == '[' || c == ']' || c == '{' || c == '}') m.bracket |= bit;
    }
    return m;
}

struct Bytewise {
    static Masks at(const char* p) noexcept { return masks_bytewise(p); }
    static unsigned popcount(std::uint64_t x) noexcept {
        return static_cast<unsigned>(__builtin_popcountll(x));
    }
};

#if defined(QUARZEL_SKIM_X86)
// The special bytes by their two halves: a byte is special when the classes
// of its low and of its high four bits share a bit.
//   1: high 2, low 2 3 4 7      " # $ '
//   2: high 3, low A B          : ;
//   4: high 5 7, low B D        [ ] { }
//   8: high 5, low F            _
#define QUARZEL_LOW_CLASSES 0, 0, 1, 1, 1, 0, 0, 1, 0, 0, 2, 6, 0, 4, 0, 8
#define QUARZEL_HIGH_CLASSES 0, 0, 1, 2, 0, 12, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0

[[gnu::target("avx2"), gnu::always_inline]] inline std::uint64_t bits32(__m256i v,
                                                                        unsigned shift) noexcept {
    return std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(v))} << shift;
}

[[gnu::target("avx2"), gnu::always_inline]] inline void masks_half(const char* p, unsigned shift,
                                                                   Masks& m) noexcept {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i low_classes = _mm256_setr_epi8(QUARZEL_LOW_CLASSES, QUARZEL_LOW_CLASSES);
    const __m256i high_classes = _mm256_setr_epi8(QUARZEL_HIGH_CLASSES, QUARZEL_HIGH_CLASSES);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i low = _mm256_and_si256(x, nibble);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble);
    const __m256i classes = _mm256_and_si256(_mm256_shuffle_epi8(low_classes, low),
                                             _mm256_shuffle_epi8(high_classes, high));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lf = _mm256_cmpeq_epi8(x, _mm256_set1_epi8('\n'));
    const __m256i blank =
        _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(x, _mm256_set1_epi8(' ')),
                                        _mm256_cmpeq_epi8(x, _mm256_set1_epi8('\t'))),
                        lf);
    const __m256i four = _mm256_set1_epi8(4);
    m.blank |= bits32(blank, shift);
    m.lf |= bits32(lf, shift);
    m.special |=
        bits32(_mm256_cmpeq_epi8(classes, zero), shift) ^ (std::uint64_t{0xFFFFFFFF} << shift);
    m.bracket |= bits32(_mm256_cmpeq_epi8(_mm256_and_si256(classes, four), four), shift);
}

struct Avx2 {
    [[gnu::target("avx2")]] static Masks at(const char* p) noexcept {
        Masks m{0, 0, 0, 0};
        masks_half(p, 0, m);
        masks_half(p + 32, 32, m);
        return m;
    }
    [[gnu::target("popcnt")]] static unsigned popcount(std::uint64_t x) noexcept {
        return static_cast<unsigned>(__builtin_popcountll(x));
    }
};
#endif

inline std::uint64_t low_bits(unsigned k) noexcept {
    return k >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << k) - 1;
}
// Offset in its block of the highest set bit of `x` (not 0), plus one.
inline unsigned past_highest(std::uint64_t x) noexcept {
    return 64u - static_cast<unsigned>(__builtin_clzll(x));
}

// The masks of the 64 bytes at `p` of `text[.., n)`: bytes past the end
// read as spaces (the end ends a word as a blank does).
template <class Classes>
inline Masks block_at(const char* text, std::size_t p, std::size_t n) noexcept {
    if (p + kBlock <= n) return Classes::at(text + p);
    char padded[kBlock];
    std::memset(padded, ' ', kBlock);
    if (p < n) std::memcpy(padded, text + p, n - p);
    return Classes::at(padded);
}

// Bits 0 to 5: which of the six bytes at `q` of `text[.., n)` are '_'.
inline std::uint64_t underscores6(const char* text, std::size_t q, std::size_t n) noexcept {
    if (q + 8 <= n) {
        // Eight bytes at once: most often none is.
        std::uint64_t w;
        std::memcpy(&w, text + q, 8);
        constexpr std::uint64_t kOnes = 0x0101010101010101ull;
        const std::uint64_t x = w ^ (kOnes * '_');
        if (((x - kOnes) & ~x & (kOnes * 0x80) & 0x0000808080808080ull) == 0) return 0;
    }
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < 6 && q + i < n; ++i)
        if (text[q + i] == '_') bits |= std::uint64_t{1} << i;
    return bits;
}

template <class Classes, bool kCif2>
inline SkimResult skim(const char* b, std::size_t from, std::size_t n) noexcept {
    SkimResult r;
    std::size_t p = from;
    // The byte before `from` ends a token: a word may start at `from`.
    std::uint64_t carry = 1;
    std::uint64_t words = 0;
    std::uint32_t lines = 0;
    std::size_t line_start = SkimResult::kNone;
    // The block of the last word counted, and the lines up to its start.
    std::size_t last_block = SkimResult::kNone, last_block_line = SkimResult::kNone;
    std::uint64_t last_starts = 0, last_lf = 0;
    std::uint32_t last_block_lines = 0;
    std::size_t stop = n;
    while (p < n) {
        const Masks m = block_at<Classes>(b, p, n);
        const std::uint64_t starts = ~m.blank & ((m.blank << 1) | carry);
        std::uint64_t ends = starts & m.special;
        if constexpr (kCif2) ends |= m.bracket;
        // A word with a '_' as its fifth or seventh byte may be a keyword.
        // A '_' inside this block is a special byte that starts no word; a
        // word in its last six bytes may have it in the next six.
        const std::uint64_t inner = m.special & ~starts;
        const std::uint64_t ahead = (starts >> 58) != 0 ? underscores6(b, p + kBlock, n) : 0;
        if ((inner | ahead) != 0) [[unlikely]] {
            std::uint64_t under = 0;
            for (std::uint64_t x = inner; x != 0; x &= x - 1) {
                const unsigned k = static_cast<unsigned>(__builtin_ctzll(x));
                if (b[p + k] == '_') under |= std::uint64_t{1} << k;
            }
            ends |= starts & ((under >> 4) | (under >> 6) | (ahead << 60) | (ahead << 58));
        }
        unsigned limit = 64;
        if (ends != 0) limit = static_cast<unsigned>(__builtin_ctzll(ends));
        const std::uint64_t passed = low_bits(limit);
        const std::uint64_t counted = starts & passed;
        if (counted != 0) {
            words += Classes::popcount(counted);
            last_block = p;
            last_block_line = line_start;
            last_block_lines = lines;
            last_starts = counted;
            last_lf = m.lf;
        }
        if (const std::uint64_t lfs = m.lf & passed; lfs != 0) {
            lines += Classes::popcount(lfs);
            line_start = p + past_highest(lfs);
        }
        if (limit < 64 || p + kBlock >= n) {
            stop = p + limit < n ? p + limit : n;
            break;
        }
        carry = m.blank >> 63;
        p += kBlock;
    }
    r.words = words;
    r.stop = stop;
    r.lines = lines;
    r.stop_line = line_start;
    if (last_block != SkimResult::kNone) {
        const unsigned at = past_highest(last_starts) - 1;
        r.last = last_block + at;
        const std::uint64_t lfs = last_lf & low_bits(at);
        r.last_lines = last_block_lines + Classes::popcount(lfs);
        r.last_line_start = lfs != 0 ? last_block + past_highest(lfs) : last_block_line;
    }
    return r;
}

#if defined(QUARZEL_SKIM_X86)
// Everything it calls is taken in, under its instruction set.
[[gnu::target("avx2,popcnt,bmi"), gnu::flatten]] SkimResult skim_avx2(const char* b,
                                                                      std::size_t from,
                                                                      std::size_t n,
                                                                      bool cif2) noexcept {
    return cif2 ? skim<Avx2, true>(b, from, n) : skim<Avx2, false>(b, from, n);
}

bool processor_has_avx2() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") &&
           __builtin_cpu_supports("bmi");
}
#else
bool processor_has_avx2() noexcept {
    return false;
}
#endif

const bool kHasAvx2 = processor_has_avx2();
std::atomic<bool> g_on{true};

}  // namespace

bool word_skim_available() noexcept {
    return kHasAvx2 && g_on.load(std::memory_order_relaxed);
}

bool set_word_skim(bool on) noexcept {
    return g_on.exchange(on);
}

SkimResult skim_plain_words(const char* text, std::size_t from, std::size_t n, bool cif2) noexcept {
#if defined(QUARZEL_SKIM_X86)
    if (kHasAvx2) return skim_avx2(text, from, n, cif2);
#endif
    return skim_plain_words_portable(text, from, n, cif2);
}

SkimResult skim_plain_words_portable(const char* text, std::size_t from, std::size_t n,
                                     bool cif2) noexcept {
    return cif2 ? skim<Bytewise, true>(text, from, n) : skim<Bytewise, false>(text, from, n);
}

}  // namespace quarzel
