// How a decoded BinaryCIF file lies out as CIF: a data block per block
// (its name lower-cased), and per category its columns as tags (lower-cased,
// see tag_of), looped when the category has other than one row. A tag met
// twice in a block is reported where it stands first and the later column
// kept, and a column whose text would pass the text budget is reported and
// left out, as the text reader does; the second of two blocks of one name
// is kept, but reported.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
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
    // Per lower-cased tag of a block, its last column (category, column).
    std::unordered_map<std::string, std::pair<std::size_t, std::size_t>> last;
    std::string lowered;
    for (const DecodedBlock& b : file.blocks) {
        names.clear();
        last.clear();
        for (std::size_t ci = 0; ci < b.categories.size(); ++ci) {
            const DecodedCategory& c = b.categories[ci];
            for (std::size_t j = 0; j < c.columns.size(); ++j) {
                lower_into(tag_of(c.name, c.columns[j].name), lowered);
                last[lowered] = {ci, j};
            }
        }
        lower_into(b.header, lowered);
        if (!blocks.insert(lowered).second)
            errors.push_back(problem(ErrorType::Semantic,
                                     "duplicate data block name: " + quoted(b.header),
                                     "duplicate data block stored with distinct internal id"));
        v.block(std::string_view(lowered));
        for (std::size_t ci = 0; ci < b.categories.size(); ++ci) {
            const DecodedCategory& c = b.categories[ci];
            std::vector<std::string_view> loop;
            for (std::size_t j = 0; j < c.columns.size(); ++j) {
                const NamedColumn& col = c.columns[j];
                const std::string tag = tag_of(c.name, col.name);
                lower_into(tag, lowered);
                const Where where{b.header, c.name, col.name};
                if (last[lowered] != std::pair{ci, j}) {
                    errors.push_back(problem(ErrorType::Semantic,
                                             where.text() + ": duplicate tag " + quoted(tag),
                                             "later column kept, earlier one dropped"));
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
                v.column(key, col.values);
                if (c.rows != 1) loop.push_back(key);
            }
            if (!loop.empty()) v.loop(loop);
        }
    }
}

}  // namespace quarzel::bcif
