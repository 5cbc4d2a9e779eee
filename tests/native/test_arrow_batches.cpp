// The Arrow stage: every exported batch imported back through Arrow C++ and
// validated in full, then written out as text and compared with the table,
// for both column layouts.
#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/batches.hpp"
#include "core/pipeline.hpp"

namespace {

using quarzel::ColumnLayout;

struct Imported {
    std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
    std::vector<const arrow::Schema*> schemas;  // as the stage handed them over
    arrow::Status status;
};

// Parses `text`, converts it and imports each batch; every batch must pass
// ValidateFull.
Imported convert(std::string_view text, ColumnLayout layout) {
    quarzel::ParseResult parsed = quarzel::parse_document(text, false, layout);
    Imported out;
    out.status = quarzel::document_batches(
        parsed.document,
        [&](const std::shared_ptr<arrow::Schema>& schema, ArrowArray* array) -> arrow::Status {
            ARROW_ASSIGN_OR_RAISE(auto batch, arrow::ImportRecordBatch(array, schema));
            ARROW_RETURN_NOT_OK(batch->ValidateFull());
            out.schemas.push_back(schema.get());
            out.batches.push_back(std::move(batch));
            return arrow::Status::OK();
        });
    return out;
}

// A cell as text: null as `null`, the NUL that marks a compound value as `\0`.
std::string cell(const arrow::Array& column, std::int64_t row) {
    if (column.IsNull(row)) return "null";
    if (column.type_id() == arrow::Type::INT32)
        return std::to_string(static_cast<const arrow::Int32Array&>(column).Value(row));
    std::string text(static_cast<const arrow::StringArray&>(column).GetView(row));
    std::string shown;
    for (char c : text) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
    return shown;
}

// One line per batch: its identity (from row 0; the identity columns must
// hold the same value in every row), then each tag column's cells.
std::string render(const Imported& imported) {
    std::string out;
    for (const auto& batch : imported.batches) {
        out += cell(*batch->column(4), 0) + " rows=" + std::to_string(batch->num_rows()) +
               " block=" + cell(*batch->column(0), 0) + ":" + cell(*batch->column(1), 0) +
               " frame=" + cell(*batch->column(2), 0) + ":" + cell(*batch->column(3), 0);
        for (int c = 0; c < 5; ++c)
            for (std::int64_t r = 1; r < batch->num_rows(); ++r)
                if (cell(*batch->column(c), r) != cell(*batch->column(c), 0))
                    out += " [identity column " + std::to_string(c) + " varies]";
        for (int c = 5; c < batch->num_columns(); ++c) {
            out += " " + batch->schema()->field(c)->name() + "=";
            for (std::int64_t r = 0; r < batch->num_rows(); ++r)
                out += (r ? "|" : "") + cell(*batch->column(c), r);
        }
        out += "\n";
    }
    return out;
}

struct BatchCase {
    const char* name;
    std::string text;
    std::string expected;
};

void PrintTo(const BatchCase& c, std::ostream* os) {
    *os << c.name;
}

class ArrowBatches : public ::testing::TestWithParam<std::tuple<BatchCase, ColumnLayout>> {};

TEST_P(ArrowBatches, ImportValidateAndRead) {
    const auto& [c, layout] = GetParam();
    Imported imported = convert(c.text, layout);
    ASSERT_TRUE(imported.status.ok()) << imported.status.ToString();
    EXPECT_EQ(render(imported), c.expected) << "input:\n" << c.text;
}

const BatchCase kBatchCases[] = {
    {"scalars", "data_x _a 1 _b 'two words' _C .\n",
     "__scalars__ rows=1 block=0:x frame=null:null _a=1 _b=two words _c=.\n"},
    // Values without a tag gather under the reserved tag: the other
    // scalars' columns are padded with nulls.
    {"gathered_values_pad_with_nulls", "data_x _a 1 2 _b 3 4\n",
     "__scalars__ rows=2 block=0:x frame=null:null _a=1|null _quarzel_error_value=2|4 "
     "_b=3|null\n"},
    // A tag given again keeps its later occurrence and leaves its loop.
    {"repeated_scalar_later_wins", "data_x _a 1 _b 2 _a 3\n",
     "__scalars__ rows=1 block=0:x frame=null:null _b=2 _a=3\n"},
    {"tag_leaves_earlier_loop", "data_x loop_ _a.b _a.c 1 2 3 4 loop_ _a.b 5\n",
     "__loop_0__ rows=2 block=0:x frame=null:null _a.c=2|4\n"
     "__loop_1__ rows=1 block=0:x frame=null:null _a.b=5\n"},
    {"header_repeat_keeps_later_column", "data_x loop_ _a.b _a.c _a.b 1 2 3\n",
     "__loop_0__ rows=1 block=0:x frame=null:null _a.c=2 _a.b=3\n"},
    {"loop", "data_x loop_ _a _b 1 2 3 4\n",
     "__loop_0__ rows=2 block=0:x frame=null:null _a=1|3 _b=2|4\n"},
    {"scalars_then_loops", "data_x _s v loop_ _a 1 2 loop_ _b _c x y\n",
     "__scalars__ rows=1 block=0:x frame=null:null _s=v\n"
     "__loop_0__ rows=2 block=0:x frame=null:null _a=1|2\n"
     "__loop_1__ rows=1 block=0:x frame=null:null _b=x _c=y\n"},
    {"short_final_row_padded", "data_x loop_ _a _b 1 2 3\n",
     "__loop_0__ rows=2 block=0:x frame=null:null _a=1|3 _b=2|?\n"},
    {"save_frames", "data_b _a 1 save_f1 _x 2 save_ save_f2 loop_ _y 3 4 save_\n",
     "__scalars__ rows=1 block=0:b frame=null:null _a=1\n"
     "__scalars__ rows=1 block=0:b frame=0:f1 _x=2\n"
     "__loop_0__ rows=2 block=0:b frame=1:f2 _y=3|4\n"},
    {"blocks", "data_one _a 1 data_two _a 2\n",
     "__scalars__ rows=1 block=0:one frame=null:null _a=1\n"
     "__scalars__ rows=1 block=1:two frame=null:null _a=2\n"},
    {"lists_and_tables_as_cell_text",
     "#\\#CIF_2.0\ndata_x _l [1 'b c' [] {'k':v 'q\"\\':[2]}]\n_t {}\n",
     "__scalars__ rows=1 block=0:x frame=null:null "
     "_l=\\0[\"1\",\"b c\",[],{\"k\":\"v\",\"q\\\"\\\\\":[\"2\"]}] _t=\\0{}\n"},
    {"compound_values_in_a_loop", "#\\#CIF_2.0\ndata_x loop_ _a _b [1] x {'k':2} [a\tb]\n",
     "__loop_0__ rows=2 block=0:x frame=null:null _a=\\0[\"1\"]|\\0{\"k\":\"2\"} "
     "_b=x|\\0[\"a\",\"b\"]\n"},
    {"text_field", "data_x _a\n;line one\nline two\n;\n",
     "__scalars__ rows=1 block=0:x frame=null:null _a=line one\nline two\n"},
    {"empty_block_makes_no_batch", "data_x data_y _a 1\n",
     "__scalars__ rows=1 block=1:y frame=null:null _a=1\n"},
    {"utf8_names_and_values", "#\\#CIF_2.0\ndata_\xC3\xA9 _a '\xE2\x82\xAC 5'\n",
     "__scalars__ rows=1 block=0:\xC3\xA9 frame=null:null _a=\xE2\x82\xAC 5\n"},
};

INSTANTIATE_TEST_SUITE_P(Cases, ArrowBatches,
                         ::testing::Combine(::testing::ValuesIn(kBatchCases),
                                            ::testing::Values(ColumnLayout::Refs,
                                                              ColumnLayout::Packed)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == ColumnLayout::Packed ? "_packed"
                                                                                     : "_refs");
                         });

class ArrowLayouts : public ::testing::TestWithParam<ColumnLayout> {};

// Frames with the same tags share one schema object; others do not.
TEST_P(ArrowLayouts, SameTagsShareOneSchema) {
    Imported imported = convert(
        "data_d save_a _n 1 _t x save_ save_b _n 2 _t y save_ save_c _n 3 save_\n", GetParam());
    ASSERT_TRUE(imported.status.ok()) << imported.status.ToString();
    ASSERT_EQ(imported.schemas.size(), 3u);
    EXPECT_EQ(imported.schemas[0], imported.schemas[1]);
    EXPECT_NE(imported.schemas[0], imported.schemas[2]);
}

// Columns large enough to hand their own buffers over (and a loop longer
// than one fill block) read back value by value; a column taken out of its
// batch stays valid after the batch and every other column are gone.
TEST_P(ArrowLayouts, LargeColumnOutlivesItsBatch) {
    constexpr int kRows = 5000;
    std::string text = "data_big loop_ _id _name _half\n";
    for (int i = 0; i < kRows; ++i) {
        text += std::to_string(i) + " name_" + std::to_string(i * 7);
        text += i % 2 ? " ?\n" : " 'h " + std::to_string(i) + "'\n";
    }
    std::shared_ptr<arrow::Array> kept;
    {
        Imported imported = convert(text, GetParam());
        ASSERT_TRUE(imported.status.ok()) << imported.status.ToString();
        ASSERT_EQ(imported.batches.size(), 1u);
        ASSERT_EQ(imported.batches[0]->num_rows(), kRows);
        kept = imported.batches[0]->column(6);
    }
    ASSERT_TRUE(kept->ValidateFull().ok());
    const auto& names = static_cast<const arrow::StringArray&>(*kept);
    int wrong = 0;
    for (int i = 0; i < kRows; ++i) wrong += names.GetView(i) != "name_" + std::to_string(i * 7);
    EXPECT_EQ(wrong, 0);
}

// The exported array is released child first, then parent, and the other
// way round; nothing is freed twice or early (the sanitizer build sees it).
TEST_P(ArrowLayouts, ChildrenReleasedInAnyOrder) {
    quarzel::ParseResult parsed =
        quarzel::parse_document("data_x loop_ _a _b 1 2 3 4\n_s 'scalar'\n", false, GetParam());
    int batches = 0;
    arrow::Status status = quarzel::document_batches(
        parsed.document,
        [&](const std::shared_ptr<arrow::Schema>&, ArrowArray* array) -> arrow::Status {
            ++batches;
            // Move one child out, release the parent, then read and release the child.
            ArrowArray child = *array->children[5];
            array->children[5]->release = nullptr;
            array->release(array);
            EXPECT_EQ(array->release, nullptr);
            EXPECT_EQ(child.length, array->length);
            const auto* offsets = static_cast<const std::int32_t*>(child.buffers[1]);
            EXPECT_EQ(offsets[0], 0);
            EXPECT_GE(offsets[child.length], offsets[0]);
            child.release(&child);
            EXPECT_EQ(child.release, nullptr);
            return arrow::Status::OK();
        });
    EXPECT_TRUE(status.ok()) << status.ToString();
    EXPECT_EQ(batches, 2);
}

// A failure of the sink stops the conversion and comes back as it is.
TEST_P(ArrowLayouts, SinkFailureStops) {
    quarzel::ParseResult parsed =
        quarzel::parse_document("data_a _x 1 data_b _x 2\n", false, GetParam());
    int calls = 0;
    arrow::Status status = quarzel::document_batches(
        parsed.document, [&](const std::shared_ptr<arrow::Schema>&, ArrowArray*) {
            ++calls;
            return arrow::Status::Cancelled("stop here");
        });
    EXPECT_TRUE(status.IsCancelled());
    EXPECT_EQ(status.message(), "stop here");
    EXPECT_EQ(calls, 1);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ArrowLayouts,
                         ::testing::Values(ColumnLayout::Refs, ColumnLayout::Packed),
                         [](const auto& info) {
                             return info.param == ColumnLayout::Packed ? "packed" : "refs";
                         });

}  // namespace
