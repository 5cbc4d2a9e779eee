// The archive engine: reading inputs (compressed or not, UTF-8 or not), the
// category of a tag, folder names, and a small conversion read back.
#include <arrow/api.h>
#include <arrow/io/file.h>
#include <bzlib.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <parquet/arrow/reader.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dataset/descriptors.hpp"
#include "dataset/engine.hpp"
#include "dataset/input.hpp"

namespace {

namespace fs = std::filesystem;
using namespace quarzel::dataset;
using quarzel::first_invalid_utf8;

std::string gzip(const std::string& in) {
    z_stream s{};
    deflateInit2(&s, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&s, in.size()) + 32, '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

std::string bzip2(const std::string& in) {
    std::string out(in.size() * 2 + 600, '\0');
    auto n = static_cast<unsigned>(out.size());
    BZ2_bzBuffToBuffCompress(out.data(), &n, const_cast<char*>(in.data()),
                             static_cast<unsigned>(in.size()), 9, 0, 0);
    out.resize(n);
    return out;
}

std::string xz(const std::string& in) {
    std::string out(in.size() * 2 + 600, '\0');
    std::size_t n = 0;
    lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr,
                            reinterpret_cast<const std::uint8_t*>(in.data()), in.size(),
                            reinterpret_cast<std::uint8_t*>(out.data()), &n, out.size());
    out.resize(n);
    return out;
}

// The stream with bytes in its middle inverted.
std::string flipped(std::string s) {
    for (std::size_t i = s.size() / 2 - 4; i < s.size() / 2 + 4; ++i)
        s[i] = static_cast<char>(~s[i]);
    return s;
}

class TempDir {
public:
    TempDir() {
        std::string templ = (fs::temp_directory_path() / "quarzel-dataset-XXXXXX").string();
        path_ = ::mkdtemp(templ.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string file(const std::string& name, const std::string& content) const {
        const std::string p = path_ + "/" + name;
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

const std::string kText = "data_a\n_cell.a 1\nloop_\n_atom.id\n_atom.x\n1 0.5\n2 0.25\n";

struct ReadCase {
    const char* name;
    std::string content;
    bool ok;
    const char* reason;  // prefix
    Compression compression;
};

TEST(DatasetInput, ReadsEveryFormByItsFirstBytes) {
    const std::string big = [] {
        std::string s = "data_big\nloop_\n_t.v\n";
        for (int i = 0; i < 200000; ++i) s += "value" + std::to_string(i) + "\n";
        return s;
    }();
    const std::string gz = gzip(kText), bz = bzip2(kText), x = xz(kText);
    const std::vector<ReadCase> cases = {
        {"plain.cif", kText, true, "", Compression::None},
        {"named.txt", gzip(kText), true, "", Compression::Gzip},  // the name does not matter
        {"two-members.gz", gzip(kText) + gzip(kText), true, "", Compression::Gzip},
        {"padded.gz", gzip(kText) + std::string(8, '\0'), true, "", Compression::Gzip},
        {"big.gz", gzip(big), true, "", Compression::Gzip},
        {"b.bz2", bz, true, "", Compression::Bzip2},
        {"two.bz2", bz + bz, true, "", Compression::Bzip2},
        {"c.xz", x, true, "", Compression::Xz},
        {"two.xz", x + x, true, "", Compression::Xz},
        {"empty.cif", "", true, "", Compression::None},  // a document without blocks
        {"empty.gz", gzip(""), true, "", Compression::Gzip},
        {"zero.cif.gz", "", false, "empty file, no gzip stream", Compression::None},
        {"zero.CIF.XZ", "", false, "empty file, no xz stream", Compression::None},
        {"cut.gz", gz.substr(0, gz.size() - 10), false, "truncated gzip stream", Compression::Gzip},
        {"bad.gz", gz.substr(0, 10) + std::string(30, '\xff'), false, "corrupt gzip stream",
         Compression::Gzip},
        {"cut.bz2", bz.substr(0, bz.size() / 2), false, "truncated bzip2 stream",
         Compression::Bzip2},
        {"bad.bz2", bz.substr(0, 4) + std::string(40, 'x'), false, "corrupt bzip2 stream",
         Compression::Bzip2},
        {"cut.xz", x.substr(0, x.size() / 2), false, "truncated xz stream", Compression::Xz},
        {"bad.xz", flipped(x), false, "corrupt xz stream", Compression::Xz},
        {"nul.cif", std::string("data_a\n_x 1\0", 12), false,
         "not a text file (NUL byte at offset 11)", Compression::None},
    };
    TempDir dir;
    InputFile file;  // reused, as a worker does
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string reason;
        const bool ok = read_input(dir.file(c.name, c.content), file, reason);
        EXPECT_EQ(ok, c.ok) << reason;
        EXPECT_EQ(file.compression, c.compression);
        if (!c.ok) {
            EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << reason;
            continue;
        }
        const std::string& want = std::string_view(c.name).starts_with("empty")  ? std::string()
                                  : std::string_view(c.name).starts_with("big")  ? big
                                  : std::string_view(c.name).starts_with("two")  ? kText + kText
                                  : std::string_view(c.name) == "two-members.gz" ? kText + kText
                                                                                 : kText;
        EXPECT_EQ(file.text.view(), want);
        EXPECT_EQ(file.file_size, c.content.size());
    }
}

TEST(DatasetInput, SystemFailuresAreReasons) {
    TempDir dir;
    InputFile file;
    std::string reason;
    EXPECT_FALSE(read_input(dir.path() + "/missing.cif", file, reason));
    EXPECT_EQ(reason, "No such file or directory");
    EXPECT_FALSE(read_input(dir.path(), file, reason));
    EXPECT_EQ(reason, "Is a directory");
}

TEST(DatasetInput, OnlyRegularFilesAreRead) {
    TempDir dir;
    const std::string fifo = dir.path() + "/pipe.cif";  // no writer: opening to read would wait
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    InputFile file;
    for (const std::string& path : {fifo, std::string("/dev/null")}) {
        std::string reason;
        EXPECT_FALSE(read_input(path, file, reason)) << path;
        EXPECT_EQ(reason, "not a regular file") << path;
    }
}

TEST(DatasetInput, ACancelStopsReading) {
    TempDir dir;
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"plain.cif", kText}, {"b.bz2", bzip2(kText)}, {"c.xz", xz(kText)}};
    std::atomic<bool> cancel{true};
    InputFile file;
    for (const auto& [name, content] : cases) {
        std::string reason;
        EXPECT_FALSE(read_input(dir.file(name, content), file, reason, &cancel)) << name;
        EXPECT_EQ(reason, kCancelled) << name;
    }
}

TEST(DatasetDescriptors, WorkersAndOpenPartsWithinTheLimit) {
    struct Case {
        unsigned jobs;
        std::size_t max_open, limit, in_use;
        unsigned want_jobs;
        std::size_t want_open;
    };
    const std::vector<Case> cases = {
        {8, 256, 1 << 20, 10, 8, 256},  // plenty: the bound as asked
        {8, 256, 1024, 10, 8, 122},     // (1024 - 26) / 8 - 2
        {16, 256, 64, 10, 12, 1},       // 38 free: 12 workers of one part each
        {2, 256, 64, 10, 2, 17},
        {4, 256, 20, 10, 1, 1},  // nothing left: one worker, one part
        {3, 5, 100000, 0, 3, 5},
    };
    for (const Case& c : cases) {
        const DescriptorPlan plan = plan_descriptors(c.jobs, c.max_open, c.limit, c.in_use);
        EXPECT_EQ(plan.jobs, c.want_jobs) << c.jobs << " " << c.limit;
        EXPECT_EQ(plan.open_writers, c.want_open) << c.jobs << " " << c.limit;
        if (c.limit > c.in_use + kReservedDescriptors + 3) {
            EXPECT_LE(c.in_use + kReservedDescriptors +
                          plan.jobs * (plan.open_writers + kWorkerDescriptors),
                      c.limit);
        }
    }
}

TEST(DatasetInput, FirstInvalidUtf8) {
    const std::vector<std::pair<std::string, std::size_t>> cases = {
        {"plain ascii text", std::string::npos},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", std::string::npos},
        {"caf\xe9", 3},
        {"\xc0\xaf", 0},          // overlong
        {"ab\xed\xa0\x80", 2},    // surrogate
        {"\xf4\x90\x80\x80", 0},  // above U+10FFFF
        {"12345678\xc3", 8},      // truncated at the end
        {"\xe2\x82", 0},
        {"ok\x80", 2},  // lone continuation byte
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(first_invalid_utf8(text), want) << text;
}

TEST(DatasetInput, Latin1RecordPositions) {
    struct Case {
        std::string bytes;
        std::uint32_t line, column;
        const char* message;
        const char* context;
    };
    const std::vector<Case> cases = {
        {"data_x\n_a caf\xe9\n", 2, 7, "not valid UTF-8 (byte 0xE9); read as Latin-1", "\xc3\xa9"},
        {"a\r\nb\rc\n\xff", 4, 1, "not valid UTF-8 (byte 0xFF); read as Latin-1", "\xc3\xbf"},
        {"\xc3\xa9\xa0", 1, 3, "not valid UTF-8 (byte 0xA0); read as Latin-1", "\xc2\xa0"},
    };
    for (const Case& c : cases) {
        const auto e = latin1_record(c.bytes, first_invalid_utf8(c.bytes));
        EXPECT_EQ(e.line, c.line);
        EXPECT_EQ(e.column, c.column);
        EXPECT_EQ(e.message, c.message);
        EXPECT_EQ(e.context, c.context);
        EXPECT_EQ(e.recovery_action, "read as Latin-1");
    }
    Bytes out;
    latin1_to_utf8("caf\xe9 \xff", out);
    EXPECT_EQ(out.view(), "caf\xc3\xa9 \xc3\xbf");
}

TEST(DatasetCategories, OfTagsAndLoops) {
    EXPECT_EQ(dotted_category("_atom_site.id"), "atom_site");
    EXPECT_EQ(dotted_category("_a.b.c"), "a");
    EXPECT_EQ(dotted_category("_cell_length_a"), "");
    const std::vector<std::pair<std::vector<std::string_view>, std::string>> loops = {
        {{"_atom_site_label", "_atom_site_fract_x"}, "atom_site"},
        {{"_symmetry_equiv_pos_as_xyz"}, "symmetry_equiv_pos_as"},
        {{"_geom_bond_atom_site_label_1", "_geom_bond_atom_site_label_2", "_geom_bond_distance"},
         "geom_bond"},
        {{"_a", "_b"}, "a"},
        {{"_ab_c", "_ab_d"}, "ab"},
    };
    for (const auto& [tags, want] : loops) EXPECT_EQ(loop_prefix_category(tags), want);
}

TEST(DatasetCategories, FolderNames) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"atom_site", "atom_site"},
        {"pdbx_struct_oper_list", "pdbx_struct_oper_list"},
        {"a/b", "a%2Fb"},
        {"_files", "%5Ffiles"},
        {"..", "%2E."},
        {".hidden", "%2Ehidden"},
        {"a.b", "a.b"},
        {"x=1", "x%3D1"},
        {"", "%"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"x y", "x%20y"},
    };
    for (const auto& [category, want] : cases) EXPECT_EQ(folder_name(category), want);
    const std::string longer(300, 'a');
    const std::string cut = folder_name(longer);
    EXPECT_LE(cut.size(), 200u);
    EXPECT_NE(cut, folder_name(longer + "b"));
}

std::shared_ptr<arrow::Table> read_parts(const std::string& folder) {
    std::vector<std::shared_ptr<arrow::Table>> tables;
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(folder)) files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        EXPECT_TRUE(fs::path(f).filename().string().starts_with("part-")) << f;
        auto in = arrow::io::ReadableFile::Open(f).ValueOrDie();
        auto reader = parquet::arrow::OpenFile(in, arrow::default_memory_pool()).ValueOrDie();
        auto t = reader->ReadTable();
        EXPECT_TRUE(t.ok()) << t.status().ToString();
        tables.push_back(t.ValueOrDie());
    }
    arrow::ConcatenateTablesOptions unify;
    unify.unify_schemas = true;
    return arrow::ConcatenateTables(tables, unify).ValueOrDie();
}

TEST(DatasetConvert, WritesOneTablePerCategoryAndTheFileList) {
    TempDir dir;
    Options options;
    options.inputs = {dir.file("a.cif", kText),
                      dir.file("b.cif.gz", gzip("data_b\n_cell.a 2\n_cell.b 3\n")),
                      dir.path() + "/missing.cif"};
    options.out_dir = dir.path() + "/out";
    options.jobs = 2;
    Progress progress;
    std::atomic<bool> cancel{false};
    const Summary s = convert(options, progress, cancel);
    EXPECT_EQ(s.fatal, "");
    EXPECT_EQ(s.files, 3u);
    EXPECT_EQ(s.files_read, 2u);
    EXPECT_EQ(s.files_failed, 1u);
    EXPECT_EQ(progress.files.load(), 3u);
    EXPECT_EQ(s.rows.at("cell"), 2u);
    EXPECT_EQ(s.rows.at("atom"), 2u);

    auto cell = read_parts(options.out_dir + "/cell");
    ASSERT_TRUE(cell->ValidateFull().ok());
    EXPECT_EQ(cell->num_rows(), 2);
    EXPECT_NE(cell->schema()->GetFieldIndex("_cell.b"), -1);
    EXPECT_EQ(cell->schema()->field(0)->name(), "_file");
    EXPECT_EQ(cell->schema()->field(1)->name(), "_block_name");
    EXPECT_EQ(cell->GetColumnByName("_cell.b")->null_count(), 1);
    auto files = read_parts(options.out_dir + "/_files");
    EXPECT_EQ(files->num_rows(), 3);
    auto errors_dir = options.out_dir + "/_errors";
    EXPECT_FALSE(fs::exists(errors_dir));
    // Every commit applied: no manifest left, no temporary part.
    EXPECT_TRUE(fs::is_empty(options.out_dir + "/.commits"));

    // `_file` as named, and inputs recorded as failed without being read.
    options.out_dir = dir.path() + "/named";
    options.names = {"first", "", "third"};
    options.failures = {"", "", "cannot list the folder: Permission denied"};
    options.jobs = 1;
    const Summary named = convert(options, progress, cancel);
    EXPECT_EQ(named.jobs, 1u);
    EXPECT_EQ(named.files_failed, 1u);
    auto listed = read_parts(options.out_dir + "/_files");
    const auto names =
        std::static_pointer_cast<arrow::StringArray>(listed->GetColumnByName("_file")->chunk(0));
    const auto reasons =
        std::static_pointer_cast<arrow::StringArray>(listed->GetColumnByName("reason")->chunk(0));
    ASSERT_EQ(names->length(), 3);
    EXPECT_EQ(names->GetString(0), "first");
    EXPECT_EQ(names->GetString(1), options.inputs[1]);
    EXPECT_EQ(names->GetString(2), "third");
    EXPECT_EQ(reasons->GetString(2), "cannot list the folder: Permission denied");
    options.names.clear();
    options.failures.clear();

    // An output folder that cannot be made stops the run.
    options.out_dir = dir.file("plain-file", "x") + "/out";
    const Summary bad = convert(options, progress, cancel);
    EXPECT_NE(bad.fatal, "");
}

}  // namespace
