// Selective reading against a full reading: for every test file, each of
// its categories (and all of them at once, and one block only) read
// selectively, window by window, gives the tables a full reading gives for
// the same categories, value for value, with the same problem records.
#include <arrow/api.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "arrow/category_tables.hpp"
#include "core/document_reader.hpp"
#include "core/pipeline.hpp"
#include "corpus.hpp"
#include "document_text.hpp"

namespace {

using quarzel::CategoryTables;
using quarzel::Selection;
using Tables = std::vector<std::pair<std::string, std::shared_ptr<arrow::Table>>>;

struct Read {
    Tables tables;
    std::string errors;
};

// A full reading, then the tables of the categories `selection` wants.
Read full(std::string_view text, const Selection& selection) {
    quarzel::ParseResult parsed =
        quarzel::parse_document(text, false, quarzel::ColumnLayout::Packed);
    CategoryTables tables(selection);
    std::vector<quarzel::NativeParseError> errors = parsed.document.errors;
    for (auto& block : parsed.document.blocks)
        if (selection.wants_block(block.name)) {
            EXPECT_TRUE(tables.add_block(block, errors).ok());
        }
    auto done = tables.finish();
    EXPECT_TRUE(done.ok()) << done.status().ToString();
    return {*done, quarzel::testing::render_errors(errors)};
}

Read selective(std::string_view text, const Selection& selection, std::size_t window) {
    quarzel::DocumentReader reader([&] { return std::make_unique<quarzel::MemorySource>(text); },
                                   {.window = window, .selection = &selection});
    CategoryTables tables(selection);
    std::vector<quarzel::NativeParseError> extra;
    while (auto block = reader.next_block())
        if (selection.wants_block(block->name)) {
            EXPECT_TRUE(tables.add_block(*block, extra).ok());
        }
    std::vector<quarzel::NativeParseError> errors = reader.take_errors();
    errors.insert(errors.end(), extra.begin(), extra.end());
    auto done = tables.finish();
    EXPECT_TRUE(done.ok()) << done.status().ToString();
    return {*done, quarzel::testing::render_errors(errors)};
}

void expect_same(const Read& got, const Read& expected, const std::string& where) {
    EXPECT_EQ(got.errors, expected.errors) << where;
    ASSERT_EQ(got.tables.size(), expected.tables.size()) << where;
    for (std::size_t i = 0; i < got.tables.size(); ++i) {
        EXPECT_EQ(got.tables[i].first, expected.tables[i].first) << where;
        ASSERT_TRUE(got.tables[i].second->ValidateFull().ok()) << where;
        EXPECT_TRUE(got.tables[i].second->Equals(*expected.tables[i].second, true))
            << where << " table " << got.tables[i].first << "\n"
            << got.tables[i].second->ToString().substr(0, 2000) << "\nexpected\n"
            << expected.tables[i].second->ToString().substr(0, 2000);
    }
}

TEST(SelectiveRead, EveryCategoryOfEveryTestFile) {
    const auto files = quarzel::testing::corpus_files();
    ASSERT_FALSE(files.empty());
    for (const auto& path : files) {
        const std::string text = quarzel::testing::read_file(path);
        const Selection every({}, std::nullopt);
        const Read all = full(text, every);
        expect_same(selective(text, every, 4096), all, path.string() + " (every category)");
        // Each category alone, a sample of at most 24 of them.
        const std::size_t n = all.tables.size(), step = n > 24 ? n / 24 : 1;
        for (std::size_t i = 0; i < n; i += step) {
            const std::vector<std::string> one{all.tables[i].first};
            const Selection selection(one, std::nullopt);
            expect_same(selective(text, selection, 1 << 20), full(text, selection),
                        path.string() + " category " + one[0]);
        }
    }
}

TEST(SelectiveRead, OneBlockOfMany) {
    std::string text;
    for (int b = 0; b < 5; ++b) {
        text += "data_b" + std::to_string(b) + "\n_cell.a " + std::to_string(b) + "\nloop_\n";
        text += "_atom.id _atom.x\n";
        for (int r = 0; r <= b; ++r) text += std::to_string(r) + " " + std::to_string(r * b) + "\n";
    }
    const std::vector<std::string> categories{"atom"}, blocks{"B3"};
    const Selection selection(categories, std::span<const std::string>(blocks));
    const Read got = selective(text, selection, 64);
    expect_same(got, full(text, selection), "block b3");
    ASSERT_EQ(got.tables.size(), 1u);
    EXPECT_EQ(got.tables[0].second->num_rows(), 4);
}

}  // namespace
