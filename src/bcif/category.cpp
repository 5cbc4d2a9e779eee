#include "bcif/category.hpp"

#include "bcif/text.hpp"

namespace quarzel::bcif {

std::vector<NamedColumn> decode_category(const Block& block, const Category& category,
                                         Budget& budget, std::vector<NativeParseError>& errors) {
    std::vector<NamedColumn> out;
    out.reserve(category.columns.size());
    for (const Column& column : category.columns) {
        NamedColumn& c = out.emplace_back();
        c.name = column.name;
        std::string err = decode_column(column, category.row_count, budget, c.values);
        if (err.empty()) continue;
        out.pop_back();
        const Where where{block.header, category.name, column.name};
        errors.push_back(problem(ErrorType::Semantic, where.text() + ": " + err, "column skipped"));
    }
    return out;
}

std::size_t decode_category_into(const Block& block, const Category& category, Budget& budget,
                                 std::vector<NativeParseError>& errors,
                                 std::vector<NamedColumn>& out, bool defer_numbers) {
    if (out.size() < category.columns.size()) out.resize(category.columns.size());
    std::size_t good = 0;
    for (const Column& column : category.columns) {
        NamedColumn& c = out[good];
        c.name = column.name;
        std::string err =
            decode_column(column, category.row_count, budget, c.values, defer_numbers);
        if (err.empty()) {
            ++good;
            continue;
        }
        const Where where{block.header, category.name, column.name};
        errors.push_back(problem(ErrorType::Semantic, where.text() + ": " + err, "column skipped"));
    }
    return good;
}

DecodedFile decode_file(std::string_view input) {
    Budget budget(input.size());
    return decode_file(input, budget);
}

DecodedFile decode_file(std::string_view input, Budget& budget) {
    DecodedFile out;
    File file = read_container(input);
    out.errors = std::move(file.errors);
    out.mended = std::move(file.mended);  // deque: the views stay valid
    out.blocks.reserve(file.blocks.size());
    for (const Block& b : file.blocks) {
        DecodedBlock& block = out.blocks.emplace_back();
        block.header = b.header;
        block.categories.reserve(b.categories.size());
        for (const Category& c : b.categories)
            block.categories.push_back(
                {c.name, c.row_count, decode_category(b, c, budget, out.errors)});
    }
    return out;
}

std::string tag_of(std::string_view category, std::string_view column) {
    if (column.starts_with('_')) return std::string(column);
    std::string tag;
    tag.reserve(category.size() + column.size() + 2);
    if (!category.starts_with('_')) tag += '_';
    tag += category;
    tag += '.';
    tag += column;
    return tag;
}

std::uint64_t text_bound(const DecodedColumn& c) {
    const std::size_t n = c.size();
    if (!c.is_string) return 0;  // bounded by the values budget: kNumberText per value
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t k = c.strings.index[i];
        total += k < 0 || c.masked(i) ? 1 : c.strings.items[static_cast<std::size_t>(k)].size();
    }
    return total;
}

}  // namespace quarzel::bcif
