// The archive engine's own Parquet writing: definition levels, text and
// identity columns, several pages and row groups, read back by Arrow's
// Parquet reader.
#include <arrow/api.h>
#include <arrow/io/file.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <parquet/arrow/reader.h>
#include <parquet/column_page.h>
#include <parquet/column_reader.h>
#include <parquet/file_reader.h>
#include <parquet/statistics.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "dataset/buffers.hpp"
#include "dataset/parquet_file.hpp"

namespace {

using namespace quarzel::dataset;
namespace fs = std::filesystem;

std::uint64_t read_varint(const std::string& s, std::size_t& at) {
    std::uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
        const auto b = static_cast<std::uint8_t>(s.at(at++));
        v |= std::uint64_t{b & 0x7Fu} << shift;
        if (!(b & 0x80)) return v;
    }
}

// Decodes levels of bit width 1 as a reader does: the 4-byte length, then
// runs and bit-packed groups, `n` levels.
std::vector<std::uint8_t> decode_levels(const std::string& s, std::size_t n) {
    std::uint32_t len;
    std::memcpy(&len, s.data(), 4);
    EXPECT_EQ(len + 4, s.size());
    std::vector<std::uint8_t> out;
    std::size_t at = 4;
    while (out.size() < n && at < s.size()) {
        const std::uint64_t header = read_varint(s, at);
        if (header & 1) {
            const std::uint64_t groups = header >> 1;
            for (std::uint64_t g = 0; g < groups; ++g) {
                const auto byte = static_cast<std::uint8_t>(s.at(at++));
                for (int b = 0; b < 8 && out.size() < n; ++b) out.push_back((byte >> b) & 1);
            }
        } else {
            const auto level = static_cast<std::uint8_t>(s.at(at++));
            out.insert(out.end(), header >> 1, level);
        }
    }
    EXPECT_EQ(at, s.size()) << "bytes after the last level";
    return out;
}

TEST(ParquetLevels, RunsRoundTripAndMerge) {
    const std::vector<std::vector<std::pair<std::uint8_t, std::size_t>>> cases = {
        {{1, 1}},
        {{0, 1}},
        {{1, 3}, {0, 1}, {1, 1}, {0, 200}, {1, 70000}},
        {{1, 2}, {1, 3}, {0, 0}, {1, 4}},  // equal neighbours merge; empty runs vanish
        {{0, 5}, {0, 5}},
    };
    for (const auto& adds : cases) {
        LevelRuns levels;
        std::vector<std::uint8_t> want;
        for (const auto& [level, n] : adds) {
            levels.add(level, n);
            want.insert(want.end(), n, level);
        }
        for (std::size_t i = 1; i < levels.runs().size(); ++i)
            EXPECT_NE(levels.runs()[i].level, levels.runs()[i - 1].level);
        std::string out;
        put_levels(levels, out);
        EXPECT_EQ(decode_levels(out, want.size()), want);
    }
}

class TempFile {
public:
    TempFile() {
        std::string templ = (fs::temp_directory_path() / "quarzel-pq-XXXXXX").string();
        const int fd = ::mkstemp(templ.data());
        ::close(fd);
        path_ = templ;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::shared_ptr<arrow::Table> read_back(const std::string& path) {
    auto file = arrow::io::ReadableFile::Open(path).ValueOrDie();
    auto reader = parquet::arrow::OpenFile(file, arrow::default_memory_pool()).ValueOrDie();
    auto table = reader->ReadTable();
    EXPECT_TRUE(table.ok()) << table.status().ToString();
    return table.ok() ? *table : nullptr;
}

std::vector<std::optional<std::string>> strings(const arrow::ChunkedArray& column) {
    std::vector<std::optional<std::string>> out;
    for (const auto& chunk : column.chunks()) {
        const auto& a = static_cast<const arrow::StringArray&>(*chunk);
        for (std::int64_t i = 0; i < a.length(); ++i) {
            if (a.IsNull(i))
                out.emplace_back(std::nullopt);
            else
                out.emplace_back(std::string(a.GetView(i)));
        }
    }
    return out;
}

void append_text(TextColumn& c, PageWriter& pages, const std::string& v) {
    quarzel::ByteBuffer& page = c.values();
    page.reserve_more(4 + v.size());
    const auto n = static_cast<std::uint32_t>(v.size());
    std::memcpy(page.end(), &n, 4);
    if (!v.empty()) std::memcpy(page.end() + 4, v.data(), v.size());
    page.advance(4 + v.size());
    c.added_values(1);
    c.maybe_cut(pages);
}

TEST(ParquetFile, TextAndIdentityColumnsOverPagesAndRowGroups) {
    TempFile tmp;
    PageWriter pages;
    ParquetFile file;
    ASSERT_TRUE(
        file.open(tmp.path(),
                  {{"_file", true, false}, {"_frame_name", true, true}, {"t.x", false, true}},
                  pages.codec_id())
            .ok());
    std::vector<std::optional<std::string>> want_file, want_frame, want_x;

    // Row group 1: enough text for several pages, nulls in runs and alone,
    // an empty text and a long one; _frame_name all null.
    IdColumn file_ids, frame_ids;
    TextColumn x;
    const std::size_t rows = 60000;
    for (std::size_t i = 0; i < rows; ++i) {
        const std::string path = "f" + std::to_string(i / 7000);
        file_ids.push(path, 1);
        want_file.push_back(path);
        want_frame.push_back(std::nullopt);
        if (i % 13 == 0 || (i >= 100 && i < 140)) {
            x.push_nulls(1);
            want_x.push_back(std::nullopt);
        } else {
            std::string v = i == 5 ? std::string() : std::string(i == 7 ? 70000 : 30, 'a' + i % 26);
            append_text(x, pages, v);
            want_x.push_back(v);
        }
    }
    frame_ids.pad_to(rows);
    file_ids.encode(pages, false);
    frame_ids.encode(pages, true);
    x.finish(pages);
    ASSERT_TRUE(file.write_row_group(rows, {&file_ids.chunk, &frame_ids.chunk, &x.chunk}).ok());
    EXPECT_EQ(file_ids.chunk.min, "f0");
    EXPECT_EQ(file_ids.chunk.max, "f8");

    // Row group 2: frames in part of the rows, a text column all null.
    file_ids.reset();
    frame_ids.reset();
    x.reset();
    for (std::size_t i = 0; i < 10; ++i) {
        file_ids.push("g", 1);
        want_file.push_back("g");
        if (i >= 4) {
            frame_ids.pad_to(i);
            frame_ids.push("s" + std::to_string(i % 2), 1);
            want_frame.push_back("s" + std::to_string(i % 2));
        } else {
            want_frame.push_back(std::nullopt);
        }
        want_x.push_back(std::nullopt);
    }
    x.pad_to(10);
    file_ids.encode(pages, false);
    frame_ids.encode(pages, true);
    x.finish(pages);
    ASSERT_TRUE(file.write_row_group(10, {&file_ids.chunk, &frame_ids.chunk, &x.chunk}).ok());
    // A chunk of the wrong length is refused.
    EXPECT_FALSE(file.write_row_group(11, {&file_ids.chunk, &frame_ids.chunk, &x.chunk}).ok());
    ASSERT_TRUE(file.close().ok());

    auto table = read_back(tmp.path());
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->num_rows(), static_cast<std::int64_t>(rows + 10));
    EXPECT_EQ(strings(*table->GetColumnByName("_file")), want_file);
    EXPECT_EQ(strings(*table->GetColumnByName("_frame_name")), want_frame);
    EXPECT_EQ(strings(*table->GetColumnByName("t.x")), want_x);
    EXPECT_FALSE(table->schema()->GetFieldByName("_file")->nullable());
    EXPECT_TRUE(table->schema()->GetFieldByName("t.x")->nullable());

    // The footer: row groups, several pages in the text chunk, statistics
    // of the identity columns for filters by file.
    auto reader = parquet::ParquetFileReader::OpenFile(tmp.path());
    auto meta = reader->metadata();
    ASSERT_EQ(meta->num_row_groups(), 2);
    auto page_reader = reader->RowGroup(0)->GetColumnPageReader(2);
    int data_pages = 0;
    while (auto page = page_reader->NextPage())
        data_pages += page->type() == parquet::PageType::DATA_PAGE;
    EXPECT_EQ(data_pages, 2);
    auto stats = meta->RowGroup(0)->ColumnChunk(0)->statistics();
    ASSERT_TRUE(stats && stats->HasMinMax());
    EXPECT_EQ(stats->EncodeMin(), "f0");
    EXPECT_EQ(stats->EncodeMax(), "f8");
    auto frame_stats = meta->RowGroup(1)->ColumnChunk(1)->statistics();
    ASSERT_TRUE(frame_stats);
    EXPECT_EQ(frame_stats->null_count(), 4);
    EXPECT_EQ(frame_stats->EncodeMin(), "s0");
}

// A chunk moved from another file: its pages are copied from a range of
// that file when the row group is written (in the kernel on one file
// system, read and written across two), and a range past the file's end is
// an error. Each case: where the source file is, the bytes before the
// chunk in it, and the rows of the chunk (values of 40 bytes, so that
// 30000 rows need more than one read of the fallback).
TEST(ParquetFile, ChunksCopiedFromAFileRange) {
    struct Case {
        const char* name;
        std::string folder;  // empty: the temporary folder
        std::size_t before, rows;
        std::int64_t cut;  // bytes the source lacks at its end
    };
    const std::vector<Case> cases = {
        {"at the file's start", "", 0, 50, 0},
        {"after other bytes", "", 4099, 50, 0},
        {"several pages", "", 17, 30000, 0},
        {"from another file system", "/dev/shm", 5, 30000, 0},
        {"the source ends early", "", 3, 50, 10},
        {"the source ends early, another file system", "/dev/shm", 3, 30000, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.folder.empty() && !fs::is_directory(c.folder)) continue;
        PageWriter pages;
        TextColumn x;
        std::vector<std::optional<std::string>> want;
        for (std::size_t i = 0; i < c.rows; ++i) {
            if (i % 11 == 3) {
                x.push_nulls(1);
                want.emplace_back(std::nullopt);
                continue;
            }
            const std::string v(40, static_cast<char>('a' + i % 26));
            append_text(x, pages, v);
            want.emplace_back(v);
        }
        x.finish(pages);

        const std::string source_path =
            (c.folder.empty() ? fs::temp_directory_path() : fs::path(c.folder)) /
            ("quarzel-range-" + std::to_string(::getpid()));
        {
            std::string bytes(c.before, 'z');
            bytes.append(reinterpret_cast<const char*>(x.chunk.bytes.data()),
                         x.chunk.bytes.size() - static_cast<std::size_t>(c.cut));
            FILE* f = std::fopen(source_path.c_str(), "wb");
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
            std::fclose(f);
        }
        const int fd = ::open(source_path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ColumnChunk moved;
        moved.source_fd = fd;
        moved.source_offset = static_cast<std::int64_t>(c.before);
        moved.source_bytes = static_cast<std::int64_t>(x.chunk.bytes.size());
        moved.values = x.chunk.values;
        moved.uncompressed = x.chunk.uncompressed;
        moved.nulls = x.chunk.nulls;

        TempFile tmp;
        ParquetFile file;
        ASSERT_TRUE(file.open(tmp.path(), {{"t.x", false, true}}, pages.codec_id()).ok());
        // A row group of bytes in memory before, so the copy lands after it.
        ASSERT_TRUE(file.write_row_group(static_cast<std::int64_t>(c.rows), {&x.chunk}).ok());
        const auto st = file.write_row_group(static_cast<std::int64_t>(c.rows), {&moved});
        ::close(fd);
        std::remove(source_path.c_str());
        if (c.cut != 0) {
            EXPECT_FALSE(st.ok());
            continue;
        }
        ASSERT_TRUE(st.ok()) << st.ToString();
        ASSERT_TRUE(file.close().ok());
        auto table = read_back(tmp.path());
        ASSERT_NE(table, nullptr);
        std::vector<std::optional<std::string>> twice = want;
        twice.insert(twice.end(), want.begin(), want.end());
        EXPECT_EQ(strings(*table->GetColumnByName("t.x")), twice);
        moved.reset();
        EXPECT_EQ(moved.source_fd, -1);
        EXPECT_EQ(moved.size(), 0);
    }
}

TEST(ParquetFile, AFileWithNoRowGroupIsValid) {
    TempFile tmp;
    PageWriter pages;
    ParquetFile file;
    ASSERT_TRUE(file.open(tmp.path(), {{"_file", true, false}}, pages.codec_id()).ok());
    ASSERT_TRUE(file.close().ok());
    auto table = read_back(tmp.path());
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->num_rows(), 0);
    EXPECT_EQ(table->num_columns(), 1);
}

TEST(ParquetFile, FailuresNameTheFile) {
    ParquetFile file;
    PageWriter pages;
    const auto st =
        file.open("/nonexistent-folder/x.parquet", {{"a", false, true}}, pages.codec_id());
    ASSERT_FALSE(st.ok());
    EXPECT_NE(st.ToString().find("/nonexistent-folder/x.parquet"), std::string::npos);
    if (fs::exists("/dev/full")) {
        ParquetFile full;  // a full disk
        EXPECT_FALSE(full.open("/dev/full", {{"a", false, true}}, pages.codec_id()).ok());
    }
}

}  // namespace

namespace {

// Row groups of one column, each from memory or moved from another file:
// small pieces wait before they are written, so their order against moved
// ranges and large chunks must hold. Letters at random, which compress
// little: 1400 values make a chunk of about 60 KB.
TEST(ParquetFile, RowGroupsFromMemoryAndFilesKeepTheirOrder) {
    struct Step {
        std::size_t rows;
        bool moved;
    };
    const std::vector<std::pair<const char*, std::vector<Step>>> cases = {
        {"moved, then small from memory", {{20, true}, {30, false}}},
        {"small, moved, small", {{5, false}, {7, true}, {9, false}}},
        {"small pieces past the waiting room", {{1400, false}, {1400, false}, {1400, false}}},
        {"small, then large from memory", {{3, false}, {3000, false}, {4, false}}},
        {"only moved", {{2000, true}, {3, true}}},
    };
    for (const auto& [name, steps] : cases) {
        SCOPED_TRACE(name);
        PageWriter pages;
        TempFile tmp, source;
        ParquetFile file;
        ASSERT_TRUE(file.open(tmp.path(), {{"t.x", false, true}}, pages.codec_id()).ok());
        std::vector<std::optional<std::string>> want;
        std::vector<int> fds;
        std::mt19937 random(7);
        for (std::size_t s = 0; s < steps.size(); ++s) {
            TextColumn x;
            for (std::size_t i = 0; i < steps[s].rows; ++i) {
                std::string v(40, ' ');
                for (char& ch : v) ch = static_cast<char>('a' + random() % 26);
                want.emplace_back(v);
                append_text(x, pages, *want.back());
            }
            x.finish(pages);
            ColumnChunk moved;
            if (steps[s].moved) {
                FILE* f = std::fopen(source.path().c_str(), "wb");
                ASSERT_NE(f, nullptr);
                std::fwrite(x.chunk.bytes.data(), 1, x.chunk.bytes.size(), f);
                std::fclose(f);
                fds.push_back(::open(source.path().c_str(), O_RDONLY));
                std::remove(source.path().c_str());  // read through the open descriptor
                moved.source_fd = fds.back();
                moved.source_bytes = static_cast<std::int64_t>(x.chunk.bytes.size());
                moved.values = x.chunk.values;
                moved.uncompressed = x.chunk.uncompressed;
            }
            const ColumnChunk* chunk = steps[s].moved ? &moved : &x.chunk;
            ASSERT_TRUE(
                file.write_row_group(static_cast<std::int64_t>(steps[s].rows), {chunk}).ok());
        }
        ASSERT_TRUE(file.close().ok());
        for (int fd : fds) ::close(fd);
        auto table = read_back(tmp.path());
        ASSERT_NE(table, nullptr);
        EXPECT_EQ(strings(*table->GetColumnByName("t.x")), want);
    }
}

}  // namespace
