// One worker of the archive engine, and what the workers share. The
// worker's members are defined by job: reading and appending rows
// (worker.cpp), the Parquet parts (parts.cpp), the _files and _errors
// tables (file_tables.cpp).
#pragma once

#include <arrow/api.h>
#include <arrow/io/file.h>
#include <parquet/arrow/writer.h>
#include <parquet/properties.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/categories.hpp"
#include "core/pipeline.hpp"
#include "dataset/buffers.hpp"
#include "dataset/engine.hpp"
#include "dataset/input.hpp"
#include "dataset/parquet_file.hpp"
#include "validate/finding.hpp"

namespace quarzel::dataset {

namespace fs = std::filesystem;

constexpr std::string_view kItems = "_items";
constexpr std::string_view kFiles = "_files";
constexpr std::string_view kErrors = "_errors";
constexpr std::string_view kValidation = "_validation";

using Clock = std::chrono::steady_clock;

// Freed buffer mappings a worker keeps for its next files.
constexpr std::size_t kCachedMappingBytes = std::size_t{64} << 20;

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// What every worker shares: the run's options, the next input, the next
// part number, and the first failure to write.
struct Shared {
    Shared(const Options& o, Progress& p, const std::atomic<bool>& c)
        : options(o), progress(p), cancel(c), kinds(o.seeds) {}
    const Options& options;
    Progress& progress;
    const std::atomic<bool>& cancel;
    std::atomic<std::size_t> next_input{0};
    std::atomic<std::uint64_t> next_part{0};  // numbers parts and manifests alike
    std::size_t open_writers = 1;             // each worker's bound on open parts
    std::atomic<bool> failed{false};
    std::mutex mutex;  // guards `fatal` and the creation of folders
    std::string fatal;
    std::unordered_set<std::string> folders;
    RunKinds kinds;  // typed by values: each column's kinds over the run
    // Typed by values, the workers write what they hold at the end only
    // when every one has read its last file, so that those row groups are
    // laid out as the whole run's values say.
    unsigned workers = 1;
    unsigned looped = 0;  // workers past their last file (guarded by `mutex`)
    std::condition_variable all_looped;

    void done_looping() {
        {
            std::lock_guard lock(mutex);
            ++looped;
        }
        all_looped.notify_all();
    }
    void wait_for_all() {
        std::unique_lock lock(mutex);
        while (looped < workers && !stop())
            all_looped.wait_for(lock, std::chrono::milliseconds(100));
    }

    bool stop() const noexcept {
        return failed.load(std::memory_order_relaxed) || cancel.load(std::memory_order_relaxed);
    }
    void fail(std::string message) {
        std::lock_guard lock(mutex);
        if (fatal.empty()) fatal = std::move(message);
        failed = true;
    }
    // Creates OUT/<table>/ once.
    arrow::Status folder(const std::string& table, std::string& path) {
        path = options.out_dir + "/" + table;
        std::lock_guard lock(mutex);
        if (folders.count(table)) return arrow::Status::OK();
        std::error_code ec;
        fs::create_directories(path, ec);
        if (ec) return arrow::Status::IOError("cannot create ", path, ": ", ec.message());
        folders.insert(table);
        return arrow::Status::OK();
    }
};

// Table-wide fixed columns of _files and _errors.
struct FileRecord {
    std::string path, status, reason, compression;
    std::int64_t size = 0, text_bytes = 0, problems = 0, lexical = 0, syntactic = 0, semantic = 0,
                 rows = 0;
    double seconds = 0;
    // What tells a later run whether the file changed: its modification
    // time and the CRC-64 of its bytes on disk (when it could be read).
    std::int64_t mtime_ns = 0;
    bool stated = false, hashed = false;
    std::uint64_t crc64 = 0;
};

std::shared_ptr<arrow::Schema> files_schema();
// A CRC-64 as _files has it: 16 lower-case hex digits.
std::string crc64_text(std::uint64_t crc);
std::shared_ptr<arrow::Schema> errors_schema();
std::shared_ptr<arrow::Schema> validation_schema();

// One finding of the validator, ready for _validation.
struct ValidationRecord {
    std::string path;
    validate::Finding finding;
    std::string block, frame;  // names
    bool has_frame = false;
};
std::shared_ptr<parquet::WriterProperties> writer_properties();
std::shared_ptr<parquet::WriterProperties> validation_writer_properties();

// One open part of one table: written under a hidden name, renamed when the
// worker commits. A category's part is written by the engine's own writer
// (`file`); _files and _errors, small and of fixed columns, by Arrow's.
struct Part {
    std::string table;
    std::unique_ptr<ParquetFile> file;
    std::shared_ptr<arrow::Schema> schema;  // Arrow's writer only
    std::shared_ptr<arrow::io::FileOutputStream> stream;
    std::unique_ptr<parquet::arrow::FileWriter> writer;
    std::string temp_path, final_path;
    std::string temp_name, final_name;  // relative to the output folder
    std::uint64_t last_use = 0;
    // Typed runs: each tag column's layout; typed by values also the kinds
    // of its values here, and the text of the numeric columns (OUT/.text/).
    TextMap<Layout> layouts;
    std::vector<std::string> tags;  // in the part's order
    TextMap<std::uint8_t> kinds;
    std::unique_ptr<ParquetFile> shadow;
    std::string shadow_temp_path, shadow_temp_name, shadow_final_name;
};

// A closed part waiting for the commit.
struct Pending {
    std::string temp_path;
    std::string temp_name, final_name;  // relative to the output folder
    int order;                          // categories, then _errors, then _files
};

struct Stats {
    std::int64_t lexical = 0, syntactic = 0, semantic = 0;
};

class Worker {
public:
    explicit Worker(Shared& shared) : shared_(shared), options_(shared.options) {}

    void run();

    std::map<std::string, std::uint64_t> rows;
    std::uint64_t files = 0, read = 0, failed = 0, with_problems = 0, problems = 0, bytes = 0,
                  text_bytes = 0;
    std::uint64_t findings[3] = {0, 0, 0};  // per severity
    std::uint64_t invalid = 0;              // files with an error finding

    // The rows gathered per category; after the run, their columns tell
    // which input first brought each tag to this worker.
    const TextMap<std::unique_ptr<TableBuffer>>& tables() const { return tables_; }

private:
    void check(const arrow::Status& st) {
        if (!st.ok()) throw std::runtime_error(st.ToString());
    }

    void loop();

    // ---- one input ----------------------------------------------------

    // Reads, parses and appends input `i`; false when a cancel came first
    // (nothing of it is kept then, and it stays for a resumed run).
    bool convert_file(std::size_t i);
    enum class Outcome { Kept, Failed, Cancelled };
    // Parses a file's text (or decodes its BinaryCIF, when `bcif`) and
    // appends its rows and problems, completing its record; Failed (with
    // `reason`, nothing of the file kept) when it does not fit in memory.
    Outcome convert_text(const std::string& name, std::string_view text, bool bcif,
                         std::optional<NativeParseError> latin1, FileRecord& rec,
                         std::string& reason);
    // Appends a file's problem records and completes its record.
    void keep_errors(const std::string& name, const std::vector<NativeParseError>& errors,
                     FileRecord& rec);

    // ---- one input a block at a time (streamed.cpp) ---------------------

    // A large plain or compressed file, read and converted block by block
    // (committed on its own); nullopt when input `path` is no such file.
    std::optional<Outcome> convert_streamed(const std::string& path, const std::string& name,
                                            FileRecord& rec, std::string& reason);
    // The chosen categories of a text read whole: block by block, the other
    // categories counted, never stored.
    Outcome convert_selected(const std::string& name, std::string_view text,
                             std::optional<NativeParseError> latin1, FileRecord& rec);
    // Appends one block's rows; its length mismatches go to `errors`.
    std::uint64_t append_block(const std::string& name, const ParsedBlock& block,
                               std::vector<NativeParseError>& errors);
    // The chosen categories (null: every one), made once.
    const Selection* selection();
    std::unique_ptr<Selection> selection_;

    // Adds a finished file to the counts and the progress.
    void count(const FileRecord& rec);
    void append_error(const std::string& path, const NativeParseError& e);
    // Checks a parsed document against the run's rules (before its rows
    // are appended, which may free its values).
    void validate_document(const std::string& path, const ParseResult& parsed);

    // A group of a batch's tags that go to one table.
    struct Group {
        std::string_view category;  // views of table_names_'s texts
        std::string_view table;
        std::vector<std::pair<std::string_view, const ValueColumn*>> tags;
    };

    bool wanted(std::string_view category) const {
        return options_.categories.empty() || options_.categories.count(std::string(category)) != 0;
    }

    Group& group_for(std::vector<Group>& groups, std::string_view category);
    static void add_tag(Group& g, std::string_view tag, const ValueColumn* values);
    std::uint64_t append_document(const std::string& path, ParsedCif& doc);
    std::uint64_t append_frame(const std::string& path, ParsedCif& doc, std::string_view block,
                               const std::string* frame, const FrameData& data);
    std::size_t append_rows(const std::string& path, std::string_view block,
                            const std::string* frame, const Group& g, std::size_t rows);
    std::size_t append_values(TextColumn& c, const ValueColumn& values, std::size_t n);
    template <class Column, class OnValue>
    std::size_t append_values(TextColumn& c, const Column& values, std::size_t n,
                              OnValue&& on_value);
    TableBuffer& table(std::string_view name);

    // ---- typed runs (typed_values.cpp, typed_parts.cpp) -----------------

    void start_typed(TagColumn& c, std::string_view table);
    std::size_t append_typed(TagColumn& c, const ValueColumn& values, std::size_t n);
    // Writes the text of the rows append_kept left null, from their numbers:
    // the column's full text, for a part that holds it as text.
    void fill_text(TagColumn& c);
    template <class Column>
    std::size_t append_numbers(TypedColumn& ty, const Column& values, std::size_t n);
    Layout wanted_layout(const std::string& tag, const TypedColumn* ty,
                         std::unordered_set<std::string>& taken) const;
    arrow::Status flush_typed_table(const std::string& name, TableBuffer& t);
    // `placeholders`: text columns whose text is kept beside the numbers'
    // (they may become numbers).
    arrow::Result<Part*> open_typed_part(const std::string& name, std::vector<FileColumn> columns,
                                         TextMap<Layout> layouts, std::vector<std::string> tags,
                                         const std::unordered_set<std::string>& placeholders);
    std::string typing_metadata(const Part& part) const;

    // ---- writing --------------------------------------------------------

    arrow::Status flush_all();
    arrow::Status flush_table(const std::string& name, TableBuffer& t);
    arrow::Status flush_files();
    arrow::Status flush_errors();
    arrow::Status flush_validation();
    arrow::Status write_own(const std::string& name, const std::shared_ptr<arrow::Schema>& schema,
                            std::int64_t n, std::vector<std::shared_ptr<arrow::Array>> arrays,
                            std::shared_ptr<parquet::WriterProperties> properties);
    Part* find_part(const std::string& name);
    // A new part of a table under its temporary name (its number taken),
    // closing the least recently used part when too many are open.
    arrow::Result<std::unique_ptr<Part>> new_part(const std::string& name);
    arrow::Result<Part*> open_part(const std::string& name, std::shared_ptr<arrow::Schema> schema,
                                   std::shared_ptr<parquet::WriterProperties> properties);
    arrow::Result<Part*> open_table_part(const std::string& name, std::vector<FileColumn> columns);
    arrow::Status close_part(std::string name);
    // Closes every part and makes them part of the dataset through a
    // manifest (manifest.hpp): the categories first, then the problems,
    // then the list of files that are now complete.
    arrow::Status commit();
    // After a failure: nothing of this worker's uncommitted work stays.
    void abandon() noexcept;
    // Forgets the rows and records buffered since the last commit, and
    // removes the parts they went to (after abandon()).
    void forget_uncommitted() noexcept;

    Shared& shared_;
    const Options& options_;
    arrow::MemoryPool* pool_ = arrow::default_memory_pool();
    PageWriter pages_;
    KeptBytes kept_;          // of the columns' buffers, from one row group to the next
    TextColumn null_column_;  // the chunk of a part's column that a row group lacks
    std::string cell_;        // a list or table value as cell text
    std::string_view text_;   // the text of the file being read
    InputFile input_;
    Bytes decoded_;
    std::unordered_set<std::string_view> looped_;
    bool free_values_ = false;
    TextMap<std::unique_ptr<TableBuffer>> tables_;
    TextMap<std::string> table_names_;  // category → table (folder) name
    std::vector<FileRecord> file_records_;
    std::vector<std::pair<std::string, NativeParseError>> error_records_;
    std::vector<ValidationRecord> validation_records_;
    std::map<std::string, std::unique_ptr<Part>> parts_;
    std::map<std::string, std::uint64_t> committed_rows_;  // `rows` at the last commit
    std::vector<Pending> pending_;
    std::uint64_t clock_ = 0;
    std::size_t buffered_ = 0;
    std::size_t input_index_ = 0;  // the input being converted
    std::size_t since_commit_ = 0;
};

// The first number not used by a part or manifest in the output folder yet
// (temporary ones included).
std::uint64_t first_free_part(const std::string& out_dir);

}  // namespace quarzel::dataset
