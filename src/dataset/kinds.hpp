// Typed conversion: what kinds of values a column holds, and how it is
// laid out in a part because of them.
//
// A typed run (Options::typing) writes numbers as int64 or float64 with
// `<tag>_su`, `<tag>_status` and `<tag>_text` beside them, the cells of
// quarzel.numbers.typed_table. How a column is typed comes from
//   - a dictionary (Typing::Dictionary): a tag it types `integer` is int64,
//     `real` float64, each always with all three columns beside it, so that
//     every part of every run has one schema; other tags stay text;
//   - the values themselves (Typing::Values): the kinds of values the
//     whole run has seen so far in that column of that table (shared by
//     the workers); the parts written before the run's last word are put
//     right afterwards (quarzel/_typing.py), from their kinds, which each
//     part's footer records, and the text of its numeric columns, which a
//     part keeps in a file of its own (OUT/.text/<table>/part-N.parquet,
//     the same rows, one text column per numeric column).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "dataset/text_map.hpp"

namespace quarzel::dataset {

enum class Typing : std::uint8_t { None, Values, Dictionary };

// The type a dictionary gives a tag.
enum class Declared : std::uint8_t { Text, Integer, Real };

// Kinds of values seen in a column, as bits.
namespace kinds {
constexpr std::uint8_t kNumber = 1;        // a number
constexpr std::uint8_t kText = 2;          // a value that is not a number, ? or .
constexpr std::uint8_t kFraction = 4;      // a number that is not an integer that fits int64
constexpr std::uint8_t kSu = 8;            // a number with a standard uncertainty
constexpr std::uint8_t kPlaceholder = 16;  // ? or .
constexpr std::uint8_t kUnseen = 32;       // some values were not looked at (the column was text)

// The letters the footer uses for the bits, in this order: "NTFSQU".
std::string letters(std::uint8_t bits);
}  // namespace kinds

// How a column is laid out in a part.
struct Layout {
    enum Kind : std::uint8_t { Text, Int64, Double } kind = Text;
    // The names of the columns beside a number (empty: absent).
    std::string su, status, text;

    bool operator==(const Layout&) const = default;
};

// The layout of a column typed by its values, from the kinds of the run.
inline Layout::Kind value_kind(std::uint8_t bits) {
    if ((bits & kinds::kText) || !(bits & kinds::kNumber)) return Layout::Text;
    return (bits & kinds::kFraction) ? Layout::Double : Layout::Int64;
}

// The kinds of the values of one column of one table over the whole run.
struct ColumnKinds {
    std::atomic<std::uint8_t> bits{0};
    void add(std::uint8_t b) noexcept {
        if ((bits.load(std::memory_order_relaxed) | b) != bits.load(std::memory_order_relaxed))
            bits.fetch_or(b, std::memory_order_relaxed);
    }
    std::uint8_t get() const noexcept { return bits.load(std::memory_order_relaxed); }
};

// Every column's kinds, per table; entries live as long as the run.
class RunKinds {
public:
    // table → column → kinds, from the parts a run adds to (may be empty).
    using Seeds = std::unordered_map<std::string, std::unordered_map<std::string, std::uint8_t>>;
    explicit RunKinds(const Seeds& seeds) : seeds_(seeds) {}

    ColumnKinds* column(std::string_view table, std::string_view name);

private:
    const Seeds& seeds_;
    std::mutex mutex_;
    TextMap<TextMap<std::unique_ptr<ColumnKinds>>> tables_;
};

}  // namespace quarzel::dataset
