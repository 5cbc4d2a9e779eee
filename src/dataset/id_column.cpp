// An identity column as a Parquet column chunk: its distinct values as a
// dictionary page, its codes as runs (a file's or block's rows are one run).
#include <algorithm>
#include <bit>
#include <cstring>

#include "dataset/buffers.hpp"

namespace quarzel::dataset {

void IdColumn::encode(PageWriter& pages, bool optional) {
    std::string page;
    if (optional) {
        LevelRuns levels;
        for (const Run& run : runs) levels.add(run.code >= 0 ? 1 : 0, run.rows);
        put_levels(levels, page);
    }
    chunk.nulls = static_cast<std::int64_t>(nulls);
    chunk.values = static_cast<std::int64_t>(rows);
    if (values.empty()) {
        // No value at all: the levels say so, and no dictionary is needed.
        pages.add(chunk, pq::kDataPage, static_cast<std::int32_t>(rows), pq::kPlain,
                  reinterpret_cast<const unsigned char*>(page.data()), page.size());
        return;
    }

    std::string dict;
    for (const std::string& v : values) {
        const auto n = static_cast<std::uint32_t>(v.size());
        char len[4];
        std::memcpy(len, &n, 4);  // little-endian on every target we build for
        dict.append(len, 4);
        dict.append(v);
    }
    pages.add(chunk, pq::kDictionaryPage, static_cast<std::int32_t>(values.size()), pq::kPlain,
              reinterpret_cast<const unsigned char*>(dict.data()), dict.size());

    // The codes of the rows with a value, as runs of one code.
    const int width = std::max(
        1, static_cast<int>(std::bit_width(static_cast<std::uint32_t>(values.size() - 1))));
    const int code_bytes = (width + 7) / 8;
    page.push_back(static_cast<char>(width));
    for (const Run& run : runs) {
        if (run.code < 0) continue;  // nulls have no code
        put_varint(page, std::uint64_t{run.rows} << 1);
        for (int b = 0; b < code_bytes; ++b)
            page.push_back(
                static_cast<char>((static_cast<std::uint32_t>(run.code) >> (8 * b)) & 0xFF));
    }
    pages.add(chunk, pq::kDataPage, static_cast<std::int32_t>(rows), pq::kRleDictionary,
              reinterpret_cast<const unsigned char*>(page.data()), page.size());

    chunk.statistics = true;
    const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    chunk.min = *lo;
    chunk.max = *hi;
}

}  // namespace quarzel::dataset
