#include "bcif/to_arrow.hpp"

#include <string_view>
#include <unordered_map>
#include <utility>

#include "bcif/arrow_export.hpp"
#include "bcif/category.hpp"

namespace quarzel::bcif {

arrow::Result<Tables> read_tables(std::string_view input) {
    Tables out;
    Budget budget(input.size());
    File file = read_container(input);
    out.errors = std::move(file.errors);
    // One set of decoded columns, reused from category to category.
    std::vector<NamedColumn> columns;
    CategoryExport exporter;
    std::unordered_map<std::string_view, std::size_t> last;
    for (const Block& b : file.blocks) {
        BlockBatches& block = out.blocks.emplace_back();
        block.header = b.header;
        block.categories.reserve(b.categories.size());
        for (const Category& c : b.categories) {
            std::size_t good = decode_category_into(b, c, budget, out.errors, columns, true);
            // A column name given twice: the later counts, as in text.
            // (Names of a wide category are looked up, not compared pairwise.)
            last.clear();
            if (good > 16)
                for (std::size_t i = 0; i < good; ++i) last[columns[i].name] = i;
            std::size_t kept = 0;
            for (std::size_t i = 0; i < good; ++i) {
                bool later = false;
                if (good > 16)
                    later = last[columns[i].name] != i;
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
