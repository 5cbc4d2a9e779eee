// Record batches made directly in Arrow C++ against those exported through
// the C data interface and imported back: equal on every test file, in both
// column layouts, and sound on their own (validated in full, arrays that
// outlive their batch and document).
#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "arrow/batches.hpp"
#include "core/pipeline.hpp"
#include "corpus.hpp"

namespace {

using quarzel::ColumnLayout;
using Batches = std::vector<std::shared_ptr<arrow::RecordBatch>>;

arrow::Result<Batches> exported(std::string_view text, ColumnLayout layout) {
    quarzel::ParseResult parsed = quarzel::parse_document(text, false, layout);
    Batches out;
    ARROW_RETURN_NOT_OK(quarzel::document_batches(
        parsed.document,
        [&](const std::shared_ptr<arrow::Schema>& schema, ArrowArray* array) -> arrow::Status {
            ARROW_ASSIGN_OR_RAISE(auto batch, arrow::ImportRecordBatch(array, schema));
            out.push_back(std::move(batch));
            return arrow::Status::OK();
        }));
    return out;
}

arrow::Result<Batches> direct(std::string_view text, ColumnLayout layout) {
    quarzel::ParseResult parsed = quarzel::parse_document(text, false, layout);
    Batches out;
    ARROW_RETURN_NOT_OK(quarzel::document_record_batches(
        parsed.document, [&](std::shared_ptr<arrow::RecordBatch> batch) {
            out.push_back(std::move(batch));
            return arrow::Status::OK();
        }));
    return out;
}

class RecordBatchFiles : public ::testing::TestWithParam<ColumnLayout> {};

TEST_P(RecordBatchFiles, EqualToExportedOnEveryTestFile) {
    const auto files = quarzel::testing::corpus_files();
    ASSERT_FALSE(files.empty());
    for (const auto& path : files) {
        const std::string text = quarzel::testing::read_file(path);
        auto a = exported(text, GetParam());
        auto b = direct(text, GetParam());
        ASSERT_EQ(a.ok(), b.ok()) << path;
        if (!a.ok()) {
            EXPECT_EQ(a.status().ToString(), b.status().ToString()) << path;
            continue;
        }
        ASSERT_EQ(a->size(), b->size()) << path;
        for (std::size_t i = 0; i < a->size(); ++i) {
            ASSERT_TRUE((*b)[i]->ValidateFull().ok()) << path << " batch " << i;
            ASSERT_TRUE((*a)[i]->Equals(*(*b)[i], /*check_metadata=*/true))
                << path << " batch " << i;
        }
    }
}

// A column taken from a batch stays valid when the batch, its other columns
// and the document are gone; batches of one tag list share a schema.
TEST_P(RecordBatchFiles, ArraysOutliveBatchAndDocument) {
    std::string text = "data_d save_a _n 1 save_ save_b _n 2 save_ loop_ _id _name\n";
    for (int i = 0; i < 3000; ++i) text += std::to_string(i) + " n" + std::to_string(i) + "\n";
    std::shared_ptr<arrow::Array> kept;
    {
        auto batches = direct(text, GetParam());
        ASSERT_TRUE(batches.ok()) << batches.status().ToString();
        ASSERT_EQ(batches->size(), 3u);
        EXPECT_EQ((*batches)[1]->schema().get(), (*batches)[2]->schema().get());
        kept = (*batches)[0]->column(6);
    }
    ASSERT_TRUE(kept->ValidateFull().ok());
    const auto& names = static_cast<const arrow::StringArray&>(*kept);
    ASSERT_EQ(names.length(), 3000);
    int wrong = 0;
    for (int i = 0; i < 3000; ++i) wrong += names.GetView(i) != "n" + std::to_string(i);
    EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, RecordBatchFiles,
                         ::testing::Values(ColumnLayout::Refs, ColumnLayout::Packed),
                         [](const auto& info) {
                             return info.param == ColumnLayout::Packed ? "packed" : "refs";
                         });

}  // namespace
