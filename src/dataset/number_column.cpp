#include "dataset/number_column.hpp"

#include <algorithm>
#include <limits>

#include "dataset/delta_pages.hpp"
#include "dataset/float_pages.hpp"

namespace quarzel::dataset {

namespace {

// Rows per page: at most 1 MiB of values.
constexpr std::size_t kPageRows = std::size_t{1} << 17;
// Buffers kept from row group to row group unless larger.
constexpr std::size_t kKeepBytes = ByteBuffer::kMapBytes;
// Float64 chunks of fewer values stay plain (and compressed).
constexpr std::size_t kFewValues = 64;

// How a chunk's values are laid out in its pages.
enum class FloatLayout : std::uint8_t { plain, dictionary, split, delta };

// The dictionary of a worker's chunk being encoded (its tables kept from
// chunk to chunk).
thread_local ValueDictionary dictionary;

// A dictionary when at most an eighth of the values are distinct (it takes
// at most half their bytes then), byte streams otherwise.
FloatLayout float_layout(const unsigned char* data, std::size_t count) {
    if (count < kFewValues) return FloatLayout::plain;
    return dictionary.build(data, count, count / 8) ? FloatLayout::dictionary : FloatLayout::split;
}

std::string eight_bytes(const void* p) {
    return std::string(static_cast<const char*>(p), 8);
}

void to_doubles(unsigned char* p, std::size_t bytes) {
    for (std::size_t i = 0; i + 8 <= bytes; i += 8) {
        std::int64_t v;
        std::memcpy(&v, p + i, 8);
        // The correctly rounded double of an exact integer is what
        // parse_number gives for its digits.
        const double d = static_cast<double>(v);
        std::memcpy(p + i, &d, 8);
    }
}

// The rows from `r` on (before `end`) whose status codes agree with row
// r's under `mask`, eight at a time while whole words do: a column's
// numbers (and its rows without an su) come in long runs.
std::size_t same_length(const unsigned char* status, std::size_t r, std::size_t end,
                        std::uint8_t mask) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    const std::uint64_t word_mask = mask * kOnes;
    const std::uint64_t want = (status[r] & mask) * kOnes;
    std::size_t n = 1;
    while (r + n + 8 <= end) {
        std::uint64_t w;
        std::memcpy(&w, status + r + n, 8);
        if ((w & word_mask) != want) break;
        n += 8;
    }
    const unsigned code = status[r] & mask;
    while (r + n < end && (status[r + n] & mask) == code) ++n;
    return n;
}

// The rows from `r` on that are `defined` (or not) as row r is: a code
// under `mask` equal to `want`.
std::size_t run_length(const unsigned char* status, std::size_t r, std::size_t end,
                       std::uint8_t mask, std::uint8_t want, bool defined) {
    std::size_t n = same_length(status, r, end, mask);
    while (r + n < end && ((status[r + n] & mask) == want) == defined) ++n;
    return n;
}

}  // namespace

std::uint8_t NumberColumn::kinds_of(unsigned seen) {
    std::uint8_t k = 0;
    if (seen & 1) k |= kinds::kNumber;
    if (seen & 6) k |= kinds::kPlaceholder;
    if (seen & 8) k |= kinds::kText;
    if (seen & kFractionSeen) k |= kinds::kFraction;
    if (seen & kSuSeen) k |= kinds::kSu;
    return k;
}

void NumberColumn::add_su(const NumberResult& r) {
    sus_.reserve_more(8);
    if (doubles_)
        std::memcpy(sus_.end(), &r.su, 8);
    else
        std::memcpy(sus_.end(), &r.int_su, 8);
    sus_.advance(8);
    seen_ |= kSuSeen;
}

void NumberColumn::convert_now() {
    to_doubles(values_.data(), static_cast<std::size_t>(value_out_ - values_.data()));
    to_doubles(sus_.data(), sus_.size());
    restore_negative_zeros();
    doubles_ = true;
}

void NumberColumn::use_doubles() {
    if (doubles_) return;
    to_doubles(values_.data(), values_.size());
    to_doubles(sus_.data(), sus_.size());
    restore_negative_zeros();
    doubles_ = true;
}

void NumberColumn::restore_negative_zeros() {
    const double negative_zero = -0.0;
    for (std::size_t at : negative_zeros_) std::memcpy(values_.data() + at, &negative_zero, 8);
    negative_zeros_.clear();
}

void NumberColumn::encode_fixed(PageWriter& pages, ColumnChunk& out, std::uint8_t mask,
                                std::uint8_t want, const ByteBuffer& data, bool as_doubles) {
    const std::size_t count = data.size() / 8;
    // int64 values as packed differences, unless a difference could
    // overflow (values more than 2^63 apart: plain, compressed).
    bool narrow = true;
    if (count != 0) {
        const unsigned char* p = data.data();
        if (as_doubles) {
            double lo = std::numeric_limits<double>::infinity(), hi = -lo;
            for (std::size_t i = 0; i < count; ++i) {
                double v;
                std::memcpy(&v, p + 8 * i, 8);
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
            // Zeros as Parquet's rules for float statistics have them.
            if (lo == 0.0) lo = -0.0;
            if (hi == 0.0) hi = 0.0;
            out.min = eight_bytes(&lo);
            out.max = eight_bytes(&hi);
        } else {
            std::int64_t lo = std::numeric_limits<std::int64_t>::max(), hi = -lo - 1;
            for (std::size_t i = 0; i < count; ++i) {
                std::int64_t v;
                std::memcpy(&v, p + 8 * i, 8);
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
            out.min = eight_bytes(&lo);
            out.max = eight_bytes(&hi);
            narrow = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo) <
                     std::uint64_t{1} << 63;
        }
        out.statistics = true;
    }
    const FloatLayout layout = as_doubles ? float_layout(data.data(), count)
                               : narrow   ? FloatLayout::delta
                                          : FloatLayout::plain;
    int width = 0;
    if (layout == FloatLayout::dictionary) {
        // The codes are packed already: stored as they are.
        out.stored = true;
        width = dictionary.bit_width();
        const auto& distinct = dictionary.values();
        pages.add(out, pq::kDictionaryPage, static_cast<std::int32_t>(distinct.size()), pq::kPlain,
                  reinterpret_cast<const unsigned char*>(distinct.data()), 8 * distinct.size());
    }
    out.split = layout == FloatLayout::split;
    // Byte streams are stored too: their low streams (most of their bytes)
    // are near random, and Snappy took 7 to 12% off them for the cost of
    // compressing every byte.
    if (out.split) out.stored = true;
    // Packed differences are mostly a few bits a value: stored as they are.
    out.delta = layout == FloatLayout::delta;
    if (out.delta) out.stored = true;
    const std::size_t rows = size();
    const unsigned char* status = status_.data();
    LevelRuns levels;
    std::size_t value = 0;
    for (std::size_t done = 0; done < rows;) {
        const std::size_t page_rows = std::min(rows - done, kPageRows);
        levels.clear();
        std::size_t values = 0;
        const std::size_t end = done + page_rows;
        for (std::size_t r = done; r < end;) {
            const bool defined = (status[r] & mask) == want;
            const std::size_t n = run_length(status, r, end, mask, want, defined);
            levels.add(defined, n);
            if (defined) values += n;
            r += n;
        }
        scratch_.clear();
        put_levels(levels, scratch_);
        pq::Encoding encoding = pq::kPlain;
        const unsigned char* first = data.data() + 8 * value;
        if (layout == FloatLayout::dictionary) {
            encoding = pq::kRleDictionary;
            scratch_.push_back(static_cast<char>(width));
            put_codes(dictionary.codes().data() + value, values, width, scratch_);
        } else if (layout == FloatLayout::split && values != 0) {
            encoding = pq::kByteStreamSplit;
            put_split_bytes(first, values, scratch_);
        } else if (layout == FloatLayout::delta && values != 0) {
            encoding = pq::kDeltaBinaryPacked;
            put_delta_packed(first, values, scratch_);
        } else {
            scratch_.append(reinterpret_cast<const char*>(first), 8 * values);
        }
        pages.add(out, pq::kDataPage, static_cast<std::int32_t>(page_rows), encoding,
                  reinterpret_cast<const unsigned char*>(scratch_.data()), scratch_.size());
        out.values += static_cast<std::int64_t>(page_rows);
        out.nulls += static_cast<std::int64_t>(page_rows - values);
        value += values;
        done += page_rows;
    }
    if (layout == FloatLayout::dictionary) dictionary.reset();
}

void NumberColumn::encode_values(PageWriter& pages, ColumnChunk& out, bool as_doubles) {
    if (as_doubles) use_doubles();
    encode_fixed(pages, out, 7, 0, values_, doubles_);
}

void NumberColumn::encode_su(PageWriter& pages, ColumnChunk& out, bool as_doubles) {
    if (as_doubles) use_doubles();
    encode_fixed(pages, out, kHasSu, kHasSu, sus_, doubles_);
}

void NumberColumn::encode_status(PageWriter& pages, ColumnChunk& out) {
    const std::size_t rows = size();
    const unsigned char* status = status_.data();
    bool used[4] = {};
    std::size_t defined = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        const unsigned code = status[r] & 7;
        if (code == kNull) continue;
        used[code] = true;
        ++defined;
    }
    if (defined != 0) {
        std::string dict;
        for (const char* name : kStatusNames) {
            const auto n = static_cast<std::uint32_t>(std::strlen(name));
            dict.append(reinterpret_cast<const char*>(&n), 4);  // little-endian targets only
            dict.append(name);
        }
        pages.add(out, pq::kDictionaryPage, 4, pq::kPlain,
                  reinterpret_cast<const unsigned char*>(dict.data()), dict.size());
        const char* lo = nullptr;
        const char* hi = nullptr;
        for (int c = 0; c < 4; ++c) {
            if (!used[c]) continue;
            if (!lo || std::strcmp(kStatusNames[c], lo) < 0) lo = kStatusNames[c];
            if (!hi || std::strcmp(kStatusNames[c], hi) > 0) hi = kStatusNames[c];
        }
        out.min = lo;
        out.max = hi;
        out.statistics = true;
    }
    LevelRuns levels;
    std::string codes;
    for (std::size_t done = 0; done < rows;) {
        const std::size_t page_rows = std::min(rows - done, kPageRows);
        levels.clear();
        codes.clear();
        std::size_t values = 0;
        for (std::size_t r = done; r < done + page_rows;) {
            const unsigned code = status[r] & 7;
            const std::size_t n = same_length(status, r, done + page_rows, 7);
            levels.add(code != kNull, n);
            if (code != kNull) {
                values += n;
                put_varint(codes, std::uint64_t{n} << 1);  // a run of one code
                codes.push_back(static_cast<char>(code));
            }
            r += n;
        }
        scratch_.clear();
        put_levels(levels, scratch_);
        if (values != 0) {
            scratch_.push_back(2);  // bit width of the codes
            scratch_ += codes;
        }
        pages.add(out, pq::kDataPage, static_cast<std::int32_t>(page_rows),
                  values != 0 ? pq::kRleDictionary : pq::kPlain,
                  reinterpret_cast<const unsigned char*>(scratch_.data()), scratch_.size());
        out.values += static_cast<std::int64_t>(page_rows);
        out.nulls += static_cast<std::int64_t>(page_rows - values);
        done += page_rows;
    }
}

void NumberColumn::reset(KeptBytes& kept) {
    for (ByteBuffer* b : {&values_, &sus_, &status_}) {
        if (!kept.keep(b->capacity())) b->release();
        b->truncate(0);
    }
    if (scratch_.capacity() > kKeepBytes) std::string().swap(scratch_);
    negative_zeros_.clear();
    doubles_ = false;
    seen_ = 0;
    kinds_ = 0;
}

}  // namespace quarzel::dataset
