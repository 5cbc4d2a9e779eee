// How a decoded BinaryCIF file lies out as CIF: a data block per block
// (its name lower-cased), and per category its columns as tags (lower-cased,
// see tag_of), looped when the category has other than one row. A tag met
// twice in a block, and a column whose text would pass the text budget,
// are reported and left out; so is the second of two blocks of one name
// left in, but reported, as the text reader does.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "bcif/category.hpp"
#include "core/lowercase.hpp"

namespace quarzel::bcif {

// Calls, in file order,
//   v.block(name)                       at each block (lower-cased name),
//   v.column(tag, values)               for each tag of the block,
//   v.loop(tags)                        after the columns of a looped category,
// with views valid until the next block starts.
template <class V>
void walk_cif(const DecodedFile& file, Budget& budget, std::vector<NativeParseError>& errors,
              V& v) {
    std::unordered_set<std::string> blocks;
    std::deque<std::string> names;
    std::unordered_set<std::string_view> tags;
    std::string lowered;
    for (const DecodedBlock& b : file.blocks) {
        names.clear();
        tags.clear();
        lower_into(b.header, lowered);
        if (!blocks.insert(lowered).second)
            errors.push_back(problem(ErrorType::Semantic,
                                     "duplicate data block name: " + quoted(b.header),
                                     "duplicate data block stored with distinct internal id"));
        v.block(std::string_view(lowered));
        for (const DecodedCategory& c : b.categories) {
            std::vector<std::string_view> loop;
            for (const NamedColumn& col : c.columns) {
                const std::string tag = tag_of(c.name, col.name);
                lower_into(tag, lowered);
                const Where where{b.header, c.name, col.name};
                if (tags.count(lowered)) {
                    errors.push_back(problem(ErrorType::Semantic,
                                             where.text() + ": duplicate tag " + quoted(tag),
                                             "column skipped"));
                    continue;
                }
                if (!budget.take_text(text_bound(col.values))) {
                    errors.push_back(
                        problem(ErrorType::Semantic,
                                where.text() + ": its text is more than the file may hold",
                                "column skipped"));
                    continue;
                }
                const std::string_view key = names.emplace_back(lowered);
                tags.insert(key);
                v.column(key, col.values);
                if (c.rows != 1) loop.push_back(key);
            }
            if (!loop.empty()) v.loop(loop);
        }
    }
}

}  // namespace quarzel::bcif
