#include "bcif/to_arrow.hpp"

#include <bit>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include "bcif/arrow_export.hpp"
#include "bcif/category.hpp"

namespace quarzel::bcif {

namespace {

// Which of a category's columns has its name given again by a later one:
// the names of a wide category go into a table kept from category to
// category (open addressing over their hashes, each slot holding the latest
// column of its name), so that no name is compared pairwise and nothing is
// allocated once the table has grown.
class LaterNames {
public:
    void read(const std::vector<NamedColumn>& columns, std::size_t n) {
        const std::size_t room = std::bit_ceil(2 * n);
        const std::size_t wrap = room - 1;
        slots_.assign(room, 0);
        at_.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::string_view name = columns[i].name;
            std::size_t s = std::hash<std::string_view>{}(name)&wrap;
            while (slots_[s] != 0 && columns[slots_[s] - 1].name != name) s = (s + 1) & wrap;
            slots_[s] = static_cast<std::uint32_t>(i + 1);
            at_[i] = static_cast<std::uint32_t>(s);
        }
    }
    // Whether a column after the `i`th has its name (after read()).
    bool given_later(std::size_t i) const noexcept { return slots_[at_[i]] != i + 1; }

private:
    std::vector<std::uint32_t> slots_;  // a column's index + 1, or 0
    std::vector<std::uint32_t> at_;     // per column: the slot of its name
};

}  // namespace

arrow::Result<Tables> read_tables(std::string_view input) {
    Tables out;
    Budget budget(input.size());
    File file = read_container(input);
    out.errors = std::move(file.errors);
    // One set of decoded columns, reused from category to category.
    std::vector<NamedColumn> columns;
    CategoryExport exporter;
    LaterNames later_names;
    for (const Block& b : file.blocks) {
        BlockBatches& block = out.blocks.emplace_back();
        block.header = b.header;
        block.categories.reserve(b.categories.size());
        for (const Category& c : b.categories) {
            std::size_t good = decode_category_into(b, c, budget, out.errors, columns, true);
            // A column name given twice: the later counts, as in text.
            // (Names of a wide category are looked up, not compared pairwise.)
            if (good > 16) later_names.read(columns, good);
            std::size_t kept = 0;
            for (std::size_t i = 0; i < good; ++i) {
                bool later = false;
                if (good > 16)
                    later = later_names.given_later(i);
                else
                    for (std::size_t j = i + 1; j < good && !later; ++j)
                        later = columns[j].name == columns[i].name;
                if (later) {
                    const Where where{b.header, c.name, columns[i].name};
                    out.errors.push_back(problem(
                        ErrorType::Semantic,
                        where.text() + ": duplicate tag " + quoted(tag_of(c.name, columns[i].name)),
                        "later column kept, earlier one dropped"));
                    continue;
                }
                if (kept != i) std::swap(columns[kept], columns[i]);
                ++kept;
            }
            good = kept;
            const arrow::Status planned =
                exporter.plan(c.row_count, std::span(columns.data(), good), &budget);
            if (!planned.ok() && planned.message() == "text budget") {
                const Where where{b.header, c.name, std::nullopt};
                out.errors.push_back(problem(
                    ErrorType::Semantic, where.text() + ": its text is more than the file may hold",
                    "category skipped"));
                continue;
            }
            ARROW_RETURN_NOT_OK(planned);
            CategoryBatch& batch = block.categories.emplace_back();
            batch.name = c.name;
            ARROW_ASSIGN_OR_RAISE(batch.table, exporter.table());
        }
    }
    out.mended = std::move(file.mended);  // deque: the views stay valid
    return out;
}

}  // namespace quarzel::bcif
