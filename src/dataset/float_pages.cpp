#include "dataset/float_pages.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "dataset/pages.hpp"

namespace quarzel::dataset {

namespace {

// Tables kept from chunk to chunk unless larger (entries).
constexpr std::size_t kKeepEntries = std::size_t{1} << 16;

std::uint64_t load8(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

}  // namespace

bool ValueDictionary::build(const unsigned char* data, std::size_t count, std::size_t limit) {
    values_.clear();
    codes_.resize(count);
    // At most half the slots are ever taken.
    const int bits = std::max(4, std::bit_width(2 * limit - (limit != 0)));
    const std::size_t slots = std::size_t{1} << bits;
    const std::size_t mask = slots - 1;
    slots_.assign(slots, 0);
    keys_.resize(slots);
    std::uint64_t last = 0;
    std::uint32_t last_code = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t v = load8(data + 8 * i);
        if (v == last && i != 0) {  // runs of one value are common
            codes_[i] = last_code;
            continue;
        }
        std::size_t h = (v * 0x9E3779B97F4A7C15ULL) >> (64 - bits);
        for (;; h = (h + 1) & mask) {
            const std::uint32_t s = slots_[h];
            if (s == 0) {
                if (values_.size() == limit) return false;
                values_.push_back(v);
                keys_[h] = v;
                slots_[h] = static_cast<std::uint32_t>(values_.size());
                last_code = static_cast<std::uint32_t>(values_.size() - 1);
                break;
            }
            if (keys_[h] == v) {
                last_code = s - 1;
                break;
            }
        }
        codes_[i] = last_code;
        last = v;
    }
    return true;
}

int ValueDictionary::bit_width() const noexcept {
    return std::max(1, static_cast<int>(std::bit_width(values_.size() - (!values_.empty()))));
}

void ValueDictionary::reset() {
    if (slots_.capacity() > kKeepEntries) {
        std::vector<std::uint32_t>().swap(slots_);
        std::vector<std::uint64_t>().swap(keys_);
    }
    if (codes_.capacity() > kKeepEntries) std::vector<std::uint32_t>().swap(codes_);
    values_.clear();
    codes_.clear();
}

void put_codes(const std::uint32_t* codes, std::size_t n, int width, std::string& out) {
    const std::size_t value_bytes = (static_cast<std::size_t>(width) + 7) / 8;
    std::size_t packed_from = 0;  // the first code not written yet
    // Packs codes [packed_from, end) by groups of eight, the last group
    // filled with zeros.
    const auto pack = [&](std::size_t end) {
        if (end == packed_from) return;
        const std::size_t groups = (end - packed_from + 7) / 8;
        put_varint(out, (std::uint64_t{groups} << 1) | 1);
        std::uint64_t acc = 0;
        int held = 0;
        for (std::size_t k = packed_from; k < packed_from + 8 * groups; ++k) {
            acc |= std::uint64_t{k < end ? codes[k] : 0} << held;
            held += width;
            for (; held >= 8; held -= 8) {
                out.push_back(static_cast<char>(acc & 0xFF));
                acc >>= 8;
            }
        }
        packed_from = end;
    };
    for (std::size_t i = 0; i < n;) {
        std::size_t run = 1;
        while (i + run < n && codes[i + run] == codes[i]) ++run;
        // A run starts where the packed codes before it end a group: its
        // first codes may fill the last group.
        const std::size_t fill = (8 - (i - packed_from) % 8) % 8;
        if (run >= fill + 8) {
            pack(i + fill);
            put_varint(out, std::uint64_t{run - fill} << 1);
            for (std::size_t b = 0; b < value_bytes; ++b)
                out.push_back(static_cast<char>((codes[i] >> (8 * b)) & 0xFF));
            packed_from = i + run;
        }
        i += run;
    }
    pack(n);
}

void put_split_bytes(const unsigned char* data, std::size_t count, std::string& out) {
    const std::size_t at = out.size();
    out.resize(at + 8 * count);
    auto* streams = reinterpret_cast<unsigned char*>(out.data() + at);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* v = data + 8 * i;
        for (std::size_t b = 0; b < 8; ++b) streams[b * count + i] = v[b];
    }
}

}  // namespace quarzel::dataset
