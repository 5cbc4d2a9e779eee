// The fast path of loop rows: runs of short plain values copied 16 bytes
// at a time, with the checks done on the copy.
#include "core/writer.hpp"

#include <array>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "core/writer_scan.hpp"

namespace quarzel {

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

}  // namespace quarzel
