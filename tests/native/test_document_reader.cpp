// Reading window by window against reading the whole text at once: the same
// blocks, values and problem records for every test file, at window sizes
// that cut tokens, text fields and line ends everywhere; with CR LF line
// ends; and as Latin-1 when a byte is not UTF-8.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/document_reader.hpp"
#include "core/pipeline.hpp"
#include "corpus.hpp"
#include "document_text.hpp"

namespace {

using quarzel::ColumnLayout;
using quarzel::DocumentReader;
using quarzel::MemorySource;
using quarzel::testing::render_block;
using quarzel::testing::render_errors;

std::string whole(std::string_view text, ColumnLayout layout = ColumnLayout::Packed) {
    quarzel::ParseResult parsed = quarzel::parse_document(text, false, layout);
    std::string out;
    for (const auto& block : parsed.document.blocks) out += render_block(block);
    return out + render_errors(parsed.document.errors);
}

// Each block is rendered before the next is asked for (in the Refs layout
// its values go then); the records that go with each block, then those no
// block took, must be all records in order.
std::string windowed(std::string_view text, std::size_t window,
                     ColumnLayout layout = ColumnLayout::Packed) {
    DocumentReader reader([&] { return std::make_unique<MemorySource>(text); },
                          {.window = window, .selection = nullptr, .layout = layout});
    std::string out;
    std::vector<quarzel::NativeParseError> errors;
    while (auto block = reader.next_block(&errors)) out += render_block(*block);
    const auto rest = reader.take_errors();
    errors.insert(errors.end(), rest.begin(), rest.end());
    return out + render_errors(errors);
}

const std::size_t kWindows[] = {16, 97, 4096, std::size_t{1} << 20};

TEST(DocumentReader, EveryTestFileAtEveryWindow) {
    const auto files = quarzel::testing::corpus_files();
    ASSERT_FALSE(files.empty());
    for (const auto& path : files) {
        const std::string text = quarzel::testing::read_file(path);
        const std::string expected = whole(text);
        for (std::size_t window : kWindows) {
            if (window < 4096 && text.size() > (std::size_t{1} << 20)) continue;  // slow
            ASSERT_EQ(windowed(text, window), expected) << path << " window " << window;
        }
        ASSERT_EQ(windowed(text, 97, ColumnLayout::Refs), whole(text, ColumnLayout::Refs)) << path;
    }
}

struct Case {
    const char* name;
    std::string text;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class Cut : public ::testing::TestWithParam<Case> {};

// Every window size from the smallest up: each token, text field and line
// end meets a window's end somewhere.
TEST_P(Cut, AtEveryWindowSize) {
    const std::string& text = GetParam().text;
    const std::string expected = whole(text);
    for (std::size_t window = 16; window < 200; ++window)
        ASSERT_EQ(windowed(text, window), expected) << "window " << window;
}

const Case kCases[] = {
    {"text_fields", "data_a\n_x\n;line one\nline two\n;\n_y\n;\n;\nloop_ _z\n;a\n;\n;b\nc\n;\n"},
    {"unterminated_text_field", "data_a _x 1\n_y\n;never closed\nmore\n"},
    {"cif2_triple_quotes",
     "#\\#CIF_2.0\ndata_a _x '''one\ntwo''' _y \"\"\"a\n\nb\"\"\" _z 'q' loop_ _l [1 "
     "'''2\n3''']\n"},
    {"cif2_unterminated_triple", "#\\#CIF_2.0\ndata_a _x '''one\ntwo\nthree\n"},
    {"crlf_and_lone_cr", "data_a\r\n_x 1\r\n_y\r\n;t\r\nu\r\n;\r_z 2\r\rloop_ _l\r\n1 2 3\r\n"},
    {"version_line_and_blanks", "\n  \n#\\#CIF_2.0  \ndata_a _x [1 2]\n"},
    {"utf8_columns", "data_a _x '\xC3\xA9t\xC3\xA9' _y \xE2\x82\xAC\xE2\x82\xAC 'open\n_z 1\n"},
    {"many_blocks_and_frames",
     "data_a _x 1 save_f _y 2 save_ data_b loop_ _l _m 1 2 3 data_a _x 2 global_ data_c\n"},
    {"no_final_line_end", "data_a loop_ _x 1 2 3"},
};

INSTANTIATE_TEST_SUITE_P(Cases, Cut, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A byte that is not UTF-8 after text of other characters: read again as
// Latin-1, the record first, as a whole reading of the Latin-1 text gives.
TEST(DocumentReader, NotUtf8ReadAsLatin1) {
    const std::string text = "data_a _x '\xC3\xA9'\n_y ok\n_z 'caf\xE9'\n";
    std::string latin1;
    for (unsigned char c : text) {
        if (c < 0x80) {
            latin1 += static_cast<char>(c);
        } else {
            latin1 += static_cast<char>(0xC0 | (c >> 6));
            latin1 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    quarzel::ParseResult parsed = quarzel::parse_document(latin1, false, ColumnLayout::Packed);
    std::string expected;
    for (const auto& block : parsed.document.blocks) expected += render_block(block);
    expected +=
        "lexical 3:8 not valid UTF-8 (byte 0xE9); read as Latin-1 [\xC3\xA9] (read as "
        "Latin-1)\n" +
        render_errors(parsed.document.errors);
    for (std::size_t window : {16, 4096}) EXPECT_EQ(windowed(text, window), expected);
}

}  // namespace
