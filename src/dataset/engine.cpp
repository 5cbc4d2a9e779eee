#include "dataset/engine.hpp"

#include <arrow/api.h>
#include <arrow/io/file.h>
#include <parquet/arrow/writer.h>
#include <parquet/properties.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "core/cell_text.hpp"
#include "core/pipeline.hpp"
#include "dataset/input.hpp"

namespace quarzel::dataset {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kItems = "_items";
constexpr std::string_view kFiles = "_files";
constexpr std::string_view kErrors = "_errors";
constexpr std::string_view kFileColumn = "_file";
constexpr std::string_view kBlockColumn = "_block_name";
constexpr std::string_view kFrameColumn = "_frame_name";

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// What every worker shares: the run's options, the next input, the next
// part number, and the first failure to write.
struct Shared {
    Shared(const Options& o, Progress& p, const std::atomic<bool>& c)
        : options(o), progress(p), cancel(c) {}
    const Options& options;
    Progress& progress;
    const std::atomic<bool>& cancel;
    std::atomic<std::size_t> next_input{0};
    std::atomic<std::uint64_t> next_part{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;  // guards `fatal` and the creation of folders
    std::string fatal;
    std::unordered_set<std::string> folders;

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

// Hashing for maps keyed by std::string that are searched with views.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};
template <class V>
using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

// One text column being filled: cell texts back to back, the end of each
// after a leading 0, and a validity byte per cell.
struct TextColumn {
    std::string name;
    std::string bytes;
    std::vector<std::int32_t> ends{0};
    std::vector<std::uint8_t> valid;  // empty while there is no null
    std::size_t nulls = 0;

    std::size_t size() const noexcept { return ends.size() - 1; }
    void push(std::string_view text) {
        bytes.append(text);
        ends.push_back(static_cast<std::int32_t>(bytes.size()));
        if (nulls) valid.push_back(1);
    }
    // Marks the last `n` cells valid (after their ends were written).
    void valid_cells(std::size_t n) {
        if (nulls) valid.insert(valid.end(), n, 1);
    }
    void push_nulls(std::size_t n) {
        if (n == 0) return;
        if (nulls == 0) valid.assign(size(), 1);
        ends.insert(ends.end(), n, static_cast<std::int32_t>(bytes.size()));
        valid.insert(valid.end(), n, 0);
        nulls += n;
    }
    // Room for `rows` more cells of `bytes` bytes in all, growing by half
    // at least (exact reservations from call to call would copy each time).
    void reserve_more(std::size_t rows, std::size_t text) {
        if (ends.capacity() < ends.size() + rows) {
            const std::size_t n =
                std::max(ends.size() + rows, ends.capacity() + ends.capacity() / 2);
            ends.reserve(n);
            if (nulls) valid.reserve(n);
        }
        if (bytes.capacity() < bytes.size() + text)
            bytes.reserve(std::max(bytes.size() + text, bytes.capacity() + bytes.capacity() / 2));
    }
    void pad_to(std::size_t rows) {
        if (size() < rows) push_nulls(rows - size());
    }
    // Empties the column; its storage is kept unless it has grown large.
    void reset() {
        constexpr std::size_t kKeep = std::size_t{4} << 20;
        if (bytes.capacity() > kKeep) std::string().swap(bytes);
        if (ends.capacity() * 4 > kKeep) std::vector<std::int32_t>().swap(ends);
        if (valid.capacity() > kKeep) std::vector<std::uint8_t>().swap(valid);
        bytes.clear();
        ends.assign(1, 0);
        valid.clear();
        nulls = 0;
    }
    // The column as an Arrow array over this object's storage, which must
    // stay unchanged while the array is in use.
    std::shared_ptr<arrow::Array> array(arrow::MemoryPool* pool) {
        const auto rows = static_cast<std::int64_t>(size());
        std::shared_ptr<arrow::Buffer> bitmap;
        if (nulls != 0) {
            auto made = arrow::AllocateBitmap(rows, pool);
            if (!made.ok()) throw std::bad_alloc();
            bitmap = std::move(made).ValueUnsafe();
            std::uint8_t* bits = bitmap->mutable_data();
            std::memset(bits, 0, static_cast<std::size_t>((rows + 7) / 8));
            for (std::int64_t i = 0; i < rows; ++i)
                if (valid[i]) bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
        }
        auto offsets = arrow::Buffer::Wrap(ends.data(), ends.size());
        auto data =
            std::make_shared<arrow::Buffer>(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                            static_cast<std::int64_t>(bytes.size()));
        return arrow::MakeArray(arrow::ArrayData::Make(arrow::utf8(), rows, {bitmap, offsets, data},
                                                       static_cast<std::int64_t>(nulls)));
    }
};

// An identity column (_file, _block_name, _frame_name): one value for many
// rows, kept as a code per row into the distinct values, and written as
// a dictionary array, which the Parquet writer stores as it is.
struct IdColumn {
    std::string name;
    std::vector<std::string> values;
    TextMap<std::int32_t> code_of;
    std::vector<std::int32_t> codes;  // -1: null
    std::size_t nulls = 0;

    std::size_t size() const noexcept { return codes.size(); }
    void push(std::string_view value, std::size_t rows) {
        auto [it, added] =
            code_of.try_emplace(std::string(value), static_cast<std::int32_t>(values.size()));
        if (added) values.emplace_back(value);
        codes.insert(codes.end(), rows, it->second);
    }
    void pad_to(std::size_t rows) {
        if (codes.size() < rows) {
            nulls += rows - codes.size();
            codes.resize(rows, -1);
        }
    }
    void reset() {
        values.clear();
        code_of.clear();
        codes.clear();
        nulls = 0;
    }
    static const std::shared_ptr<arrow::DataType>& type() {
        static const auto t = arrow::dictionary(arrow::int32(), arrow::utf8());
        return t;
    }
    std::shared_ptr<arrow::Array> array(arrow::MemoryPool* pool) {
        const auto rows = static_cast<std::int64_t>(codes.size());
        std::shared_ptr<arrow::Buffer> bitmap;
        if (nulls != 0) {
            auto made = arrow::AllocateBitmap(rows, pool);
            if (!made.ok()) throw std::bad_alloc();
            bitmap = std::move(made).ValueUnsafe();
            std::uint8_t* bits = bitmap->mutable_data();
            std::memset(bits, 0, static_cast<std::size_t>((rows + 7) / 8));
            for (std::int64_t i = 0; i < rows; ++i)
                if (codes[i] >= 0) bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
        }
        auto indices = arrow::MakeArray(arrow::ArrayData::Make(
            arrow::int32(), rows, {bitmap, arrow::Buffer::Wrap(codes.data(), codes.size())},
            static_cast<std::int64_t>(nulls)));
        arrow::StringBuilder dict(pool);
        for (const std::string& v : values)
            if (!dict.Append(v).ok()) throw std::bad_alloc();
        std::shared_ptr<arrow::Array> dictionary;
        if (!dict.Finish(&dictionary).ok()) throw std::bad_alloc();
        return std::make_shared<arrow::DictionaryArray>(type(), indices, dictionary);
    }
};

// The rows of one category gathered by a worker since its last row group.
struct TableBuffer {
    IdColumn ids[3];                                   // _file, _block_name, _frame_name
    std::vector<std::unique_ptr<TextColumn>> columns;  // the tags, in order of first appearance
    TextMap<TextColumn*> by_name;
    std::size_t rows = 0;
    std::size_t bytes = 0;
    std::uint64_t unflushed_rows = 0;  // counted in the summary once written

    TableBuffer() {
        ids[0].name = kFileColumn;
        ids[1].name = kBlockColumn;
        ids[2].name = kFrameColumn;
    }
    TextColumn& column(std::string_view name) {
        auto it = by_name.find(name);
        if (it != by_name.end()) return *it->second;
        auto& c = columns.emplace_back(std::make_unique<TextColumn>());
        c->name = name;
        by_name.emplace(c->name, c.get());
        return *c;
    }
    void reset() {
        for (auto& id : ids) id.reset();
        for (auto& c : columns) c->reset();
        rows = 0;
        bytes = 0;
    }
};

// Table-wide fixed columns of _files and _errors.
struct FileRecord {
    std::string path, status, reason, compression;
    std::int64_t size = 0, text_bytes = 0, problems = 0, lexical = 0, syntactic = 0, semantic = 0,
                 rows = 0;
    double seconds = 0;
};

std::shared_ptr<arrow::Schema> files_schema() {
    using namespace arrow;
    static const auto schema =
        arrow::schema({field("_file", utf8(), false), field("status", utf8(), false),
                       field("reason", utf8()), field("compression", utf8()),
                       field("size", int64(), false), field("text_bytes", int64(), false),
                       field("seconds", float64(), false), field("problems", int64(), false),
                       field("lexical", int64(), false), field("syntactic", int64(), false),
                       field("semantic", int64(), false), field("rows", int64(), false)});
    return schema;
}

std::shared_ptr<arrow::Schema> errors_schema() {
    using namespace arrow;
    static const auto schema =
        arrow::schema({field("_file", utf8(), false), field("error_type", utf8(), false),
                       field("message", utf8(), false), field("line", int64(), false),
                       field("column", int64(), false), field("context", utf8(), false),
                       field("recovery_action", utf8(), false)});
    return schema;
}

// Dictionary encoding costs as much as the rest of the writing: the tag
// columns go without it, the identity columns (one value per file or block)
// with it. Snappy: zstd writes files half the size but costs more than all
// the rest of the writing on the short pages of small files.
std::shared_ptr<parquet::WriterProperties> writer_properties() {
    static const auto props = [] {
        parquet::WriterProperties::Builder b;
        if (arrow::util::Codec::IsAvailable(arrow::Compression::SNAPPY))
            b.compression(arrow::Compression::SNAPPY);
        // Statistics (a min and max per page and row group) cost a third
        // of the writing; the identity columns keep them, for filters by file.
        b.disable_dictionary();
        b.disable_statistics();
        for (std::string_view id : {kFileColumn, kBlockColumn, kFrameColumn}) {
            b.enable_dictionary(std::string(id));
            b.enable_statistics(std::string(id));
        }
        b.max_row_group_length(std::int64_t{1} << 22);
        return b.build();
    }();
    return props;
}

// One open part of one table: written under a hidden name, renamed when the
// worker commits.
struct Part {
    std::string table;
    std::shared_ptr<arrow::Schema> schema;
    std::shared_ptr<arrow::io::FileOutputStream> stream;
    std::unique_ptr<parquet::arrow::FileWriter> writer;
    std::string temp_path, final_path;
    std::uint64_t last_use = 0;
};

struct Pending {
    std::string temp_path, final_path;
    bool own_table;  // _files and _errors, renamed after the categories
};

struct Stats {
    std::int64_t lexical = 0, syntactic = 0, semantic = 0;
};

class Worker {
public:
    explicit Worker(Shared& shared) : shared_(shared), options_(shared.options) {}

    void run() {
        try {
            loop();
            if (!shared_.failed) {
                check(flush_all());
                check(commit());
            }
        } catch (const std::bad_alloc&) {
            shared_.fail("out of memory");
        } catch (const std::exception& e) {
            shared_.fail(e.what());
        }
        if (shared_.failed) abandon();
    }

    std::map<std::string, std::uint64_t> rows;
    std::uint64_t files = 0, read = 0, failed = 0, with_problems = 0, problems = 0, bytes = 0,
                  text_bytes = 0;

private:
    void check(const arrow::Status& st) {
        if (!st.ok()) throw std::runtime_error(st.ToString());
    }

    void loop() {
        const auto& inputs = options_.inputs;
        while (!shared_.stop()) {
            const std::size_t i = shared_.next_input.fetch_add(1);
            if (i >= inputs.size()) break;
            convert_file(inputs[i]);
            if (buffered_ >= options_.row_group_bytes) check(flush_all());
            if (since_commit_ >= options_.part_bytes) check(commit());
        }
    }

    // ---- one input ----------------------------------------------------

    void convert_file(const std::string& path) {
        const auto start = Clock::now();
        FileRecord rec;
        rec.path = path;
        std::string reason;
        const bool ok = read_input(path, input_, reason);
        rec.size = static_cast<std::int64_t>(input_.file_size);
        rec.compression = compression_name(input_.compression);
        if (!ok) {
            rec.status = "failed";
            rec.reason = std::move(reason);
        } else {
            std::string_view text = input_.text.view();
            rec.text_bytes = static_cast<std::int64_t>(text.size());
            std::optional<NativeParseError> latin1;
            if (const std::size_t bad = first_invalid_utf8(text); bad != std::string_view::npos) {
                latin1 = latin1_record(text, bad);
                latin1_to_utf8(text, decoded_);
                text = decoded_.view();
            }
            ParseResult parsed = parse_document(text, false);
            ParsedCif& doc = parsed.document;
            if (latin1) doc.errors.insert(doc.errors.begin(), std::move(*latin1));
            rec.rows = static_cast<std::int64_t>(append_document(path, doc));
            Stats stats;
            for (const NativeParseError& e : doc.errors) {
                switch (e.error_type) {
                    case ErrorType::Lexical:
                        ++stats.lexical;
                        break;
                    case ErrorType::Syntactic:
                        ++stats.syntactic;
                        break;
                    case ErrorType::Semantic:
                        ++stats.semantic;
                        break;
                }
                append_error(path, e);
            }
            rec.problems = static_cast<std::int64_t>(doc.errors.size());
            rec.lexical = stats.lexical;
            rec.syntactic = stats.syntactic;
            rec.semantic = stats.semantic;
            rec.status = doc.errors.empty() ? "ok" : "problems";
            since_commit_ += text.size();
        }
        rec.seconds = seconds_since(start);
        // The input's buffers are kept for the next file, unless large.
        if (input_.text.capacity() > (std::size_t{64} << 20)) input_.text.release();
        if (input_.raw.capacity() > (std::size_t{64} << 20)) input_.raw.release();
        if (decoded_.capacity() > (std::size_t{64} << 20)) decoded_.release();

        ++files;
        bytes += static_cast<std::uint64_t>(rec.size);
        text_bytes += static_cast<std::uint64_t>(rec.text_bytes);
        Progress& p = shared_.progress;
        if (!ok) {
            ++failed;
            p.failed.fetch_add(1, std::memory_order_relaxed);
        } else {
            ++read;
            if (rec.problems) {
                ++with_problems;
                problems += static_cast<std::uint64_t>(rec.problems);
                p.problem_files.fetch_add(1, std::memory_order_relaxed);
                p.problems.fetch_add(static_cast<std::uint64_t>(rec.problems),
                                     std::memory_order_relaxed);
            }
        }
        file_records_.push_back(std::move(rec));
        buffered_ += 256 + path.size();
        p.bytes.fetch_add(static_cast<std::uint64_t>(file_records_.back().size),
                          std::memory_order_relaxed);
        p.text_bytes.fetch_add(static_cast<std::uint64_t>(file_records_.back().text_bytes),
                               std::memory_order_relaxed);
        p.files.fetch_add(1, std::memory_order_relaxed);
    }

    void append_error(const std::string& path, const NativeParseError& e) {
        error_records_.push_back({path, e});
        buffered_ +=
            64 + path.size() + e.message.size() + e.context.size() + e.recovery_action.size();
    }

    // A group of a batch's tags that go to one table.
    struct Group {
        std::string_view category;  // views of table_names_'s texts
        std::string_view table;
        std::vector<std::pair<std::string_view, const ValueColumn*>> tags;
    };

    bool wanted(std::string_view category) const {
        return options_.categories.empty() || options_.categories.count(std::string(category)) != 0;
    }

    Group& group_for(std::vector<Group>& groups, std::string_view category) {
        for (Group& g : groups)
            if (g.category == category) return g;
        auto it = table_names_.find(category);
        if (it == table_names_.end())
            it = table_names_
                     .emplace(std::string(category),
                              category == kItems ? std::string(kItems) : folder_name(category))
                     .first;
        return groups.emplace_back(Group{it->first, it->second, {}});
    }

    static void add_tag(Group& g, std::string_view tag, const ValueColumn* values) {
        for (const auto& t : g.tags)
            if (t.first == tag) return;  // a tag named twice in a loop header: one column
        g.tags.emplace_back(tag, values);
    }

    std::uint64_t append_document(const std::string& path, ParsedCif& doc) {
        std::uint64_t total = 0;
        for (const ParsedBlock& block : doc.blocks) {
            total += append_frame(path, doc, block.name, nullptr, block.data);
            for (const ParsedSaveFrame& frame : block.save_frames)
                total += append_frame(path, doc, block.name, &frame.name, frame.data);
        }
        return total;
    }

    std::uint64_t append_frame(const std::string& path, ParsedCif& doc, std::string_view block,
                               const std::string* frame, const FrameData& data) {
        std::uint64_t total = 0;
        std::vector<Group> groups;
        looped_.clear();
        // A frame whose tags each go to one group hands over each column's
        // values as they are copied: a large file is not held twice.
        free_values_ = true;
        for (const auto& loop : data.loops)
            for (std::string_view tag : loop) free_values_ &= looped_.insert(tag).second;

        // The scalar tags: one batch, as many rows as the tag with most values.
        std::size_t scalar_rows = 0;
        for (std::size_t i = 0; i < data.tag_order.size(); ++i) {
            const std::string_view tag = data.tag_order[i];
            if (looped_.count(tag)) continue;
            const ValueColumn* values = i < data.columns.size() ? &data.columns[i] : nullptr;
            scalar_rows = std::max(scalar_rows, values ? values->size() : 0);
            std::string_view category = dotted_category(tag);
            if (category.empty()) category = kItems;
            if (!wanted(category)) continue;
            add_tag(group_for(groups, category), tag, values);
        }
        if (scalar_rows != 0)
            for (const Group& g : groups) total += append_rows(path, block, frame, g, scalar_rows);

        // Each loop: its own batch, as many rows as its first tag has values.
        for (const auto& loop : data.loops) {
            const ValueColumn* first = loop.empty() ? nullptr : data.find(loop.front());
            const std::size_t loop_rows = first ? first->size() : 0;
            if (loop_rows == 0) continue;
            groups.clear();
            std::vector<std::string_view> plain;
            for (std::string_view tag : loop)
                if (dotted_category(tag).empty() &&
                    !options_.tag_categories.count(std::string(tag)))
                    plain.push_back(tag);
            const std::string plain_category =
                plain.empty() ? std::string() : loop_prefix_category(plain);
            for (std::string_view tag : loop) {
                std::string category(dotted_category(tag));
                if (category.empty()) {
                    auto it = options_.tag_categories.find(std::string(tag));
                    category = it != options_.tag_categories.end() ? it->second : plain_category;
                }
                if (!wanted(category)) continue;
                add_tag(group_for(groups, category), tag, data.find(tag));
            }
            for (const Group& g : groups) {
                for (const auto& [tag, values] : g.tags) {
                    const std::size_t n = values ? values->size() : 0;
                    if (n != loop_rows) {
                        NativeParseError e;
                        e.error_type = ErrorType::Semantic;
                        e.message = "schema/array length mismatch: loop tag " + quoted(tag) +
                                    " has " + std::to_string(n) + " value(s) for " +
                                    std::to_string(loop_rows) + " row(s)";
                        e.context = std::string(tag);
                        e.recovery_action = n < loop_rows ? "missing cells left null"
                                                          : "values beyond the last row dropped";
                        doc.errors.push_back(std::move(e));
                    }
                }
                total += append_rows(path, block, frame, g, loop_rows);
            }
        }
        return total;
    }

    std::size_t append_rows(const std::string& path, std::string_view block,
                            const std::string* frame, const Group& g, std::size_t rows) {
        TableBuffer& t = table(g.table);
        const std::size_t base = t.rows;
        std::size_t added = 0;
        t.ids[0].push(path, rows);
        t.ids[1].push(block, rows);
        if (frame) {
            t.ids[2].pad_to(base);
            t.ids[2].push(*frame, rows);
        }
        added += rows * 8;
        for (const auto& [tag, values] : g.tags) {
            TextColumn& c = t.column(tag);
            c.pad_to(base);
            const std::size_t before = c.bytes.size();
            const std::size_t n = values ? std::min(values->size(), rows) : 0;
            if (values)
                c.reserve_more(rows, values->text_bytes() + 2 * values->side_values().text_bytes());
            const std::size_t first_end = c.ends.size();
            c.ends.resize(first_end + n);
            std::int32_t* end = c.ends.data() + first_end;
            for (std::size_t r = 0; r < n; ++r) {
                const ValueColumn::Ref ref = (*values)[r];
                if (ref.compound) {
                    StringWriter w{c.bytes};
                    put_cell(w, *ref.compound, ref.root);
                } else {
                    c.bytes.append(ref.text);
                }
                end[r] = static_cast<std::int32_t>(c.bytes.size());
            }
            c.valid_cells(n);
            if (n < rows) c.push_nulls(rows - n);
            added += c.bytes.size() - before + rows * 5;
            if (free_values_ && values) const_cast<ValueColumn*>(values)->clear();
        }
        t.rows += rows;
        t.bytes += added;
        buffered_ += added;
        t.unflushed_rows += rows;
        // Row groups may end inside a file: its rows stay in order, and
        // become visible with the rest at the commit.
        if (buffered_ >= options_.row_group_bytes) check(flush_all());
        return rows;
    }

    TableBuffer& table(std::string_view name) {
        auto it = tables_.find(name);
        if (it != tables_.end()) return *it->second;
        return *tables_.emplace(name, std::make_unique<TableBuffer>()).first->second;
    }

    // ---- writing --------------------------------------------------------

    arrow::Status flush_all() {
        for (auto& [name, t] : tables_) {
            if (t->rows) ARROW_RETURN_NOT_OK(flush_table(name, *t));
            if (t->unflushed_rows) rows[name] += std::exchange(t->unflushed_rows, 0);
        }
        ARROW_RETURN_NOT_OK(flush_files());
        ARROW_RETURN_NOT_OK(flush_errors());
        buffered_ = 0;
        return arrow::Status::OK();
    }

    arrow::Status flush_table(const std::string& name, TableBuffer& t) {
        for (auto& id : t.ids) id.pad_to(t.rows);
        for (auto& c : t.columns) c->pad_to(t.rows);
        Part* part = find_part(name);
        auto in_part = [&](const std::string& n) {
            return part && part->schema->GetFieldIndex(n) >= 0;
        };
        // The row group's identity columns: all but a _frame_name that is
        // all null and not yet in the part.
        const bool frames = t.ids[2].nulls != t.rows || in_part(t.ids[2].name);
        bool fits = part != nullptr && (!frames || in_part(t.ids[2].name));
        for (auto& c : t.columns) fits = fits && in_part(c->name);
        if (!fits) {
            // A new part, with the columns of the old one and the new ones;
            // the identity columns first.
            std::vector<std::shared_ptr<arrow::Field>> fields;
            std::unordered_set<std::string> seen;
            for (int i = 0; i < 3; ++i) {
                if (i == 2 && !frames) continue;
                seen.insert(t.ids[i].name);
                fields.push_back(arrow::field(t.ids[i].name, IdColumn::type(), i == 2));
            }
            auto add = [&](const std::string& n) {
                if (seen.insert(n).second) fields.push_back(arrow::field(n, arrow::utf8()));
            };
            if (part)
                for (const auto& f : part->schema->fields()) add(f->name());
            for (auto& c : t.columns) add(c->name);
            if (part) ARROW_RETURN_NOT_OK(close_part(name));
            ARROW_ASSIGN_OR_RAISE(part, open_part(name, arrow::schema(std::move(fields))));
        }
        std::vector<std::shared_ptr<arrow::Array>> arrays;
        arrays.reserve(part->schema->num_fields());
        for (const auto& f : part->schema->fields()) {
            if (f->type()->id() == arrow::Type::DICTIONARY) {
                for (auto& id : t.ids)
                    if (id.name == f->name()) arrays.push_back(id.array(pool_));
                continue;
            }
            auto it = t.by_name.find(f->name());
            if (it != t.by_name.end()) {
                arrays.push_back(it->second->array(pool_));
            } else {
                ARROW_ASSIGN_OR_RAISE(
                    auto nulls, arrow::MakeArrayOfNull(arrow::utf8(),
                                                       static_cast<std::int64_t>(t.rows), pool_));
                arrays.push_back(std::move(nulls));
            }
        }
        auto table =
            arrow::Table::Make(part->schema, std::move(arrays), static_cast<std::int64_t>(t.rows));
        ARROW_RETURN_NOT_OK(part->writer->WriteTable(*table, static_cast<std::int64_t>(t.rows)));
        t.reset();
        return arrow::Status::OK();
    }

    arrow::Status flush_files() {
        if (file_records_.empty()) return arrow::Status::OK();
        arrow::StringBuilder path, status, reason, compression;
        arrow::Int64Builder size, text, problems, lexical, syntactic, semantic, nrows;
        arrow::DoubleBuilder secs;
        for (const FileRecord& r : file_records_) {
            ARROW_RETURN_NOT_OK(path.Append(r.path));
            ARROW_RETURN_NOT_OK(status.Append(r.status));
            ARROW_RETURN_NOT_OK(r.reason.empty() ? reason.AppendNull() : reason.Append(r.reason));
            ARROW_RETURN_NOT_OK(compression.Append(r.compression));
            ARROW_RETURN_NOT_OK(size.Append(r.size));
            ARROW_RETURN_NOT_OK(text.Append(r.text_bytes));
            ARROW_RETURN_NOT_OK(secs.Append(r.seconds));
            ARROW_RETURN_NOT_OK(problems.Append(r.problems));
            ARROW_RETURN_NOT_OK(lexical.Append(r.lexical));
            ARROW_RETURN_NOT_OK(syntactic.Append(r.syntactic));
            ARROW_RETURN_NOT_OK(semantic.Append(r.semantic));
            ARROW_RETURN_NOT_OK(nrows.Append(r.rows));
        }
        std::vector<std::shared_ptr<arrow::Array>> arrays(12);
        ARROW_RETURN_NOT_OK(path.Finish(&arrays[0]));
        ARROW_RETURN_NOT_OK(status.Finish(&arrays[1]));
        ARROW_RETURN_NOT_OK(reason.Finish(&arrays[2]));
        ARROW_RETURN_NOT_OK(compression.Finish(&arrays[3]));
        ARROW_RETURN_NOT_OK(size.Finish(&arrays[4]));
        ARROW_RETURN_NOT_OK(text.Finish(&arrays[5]));
        ARROW_RETURN_NOT_OK(secs.Finish(&arrays[6]));
        ARROW_RETURN_NOT_OK(problems.Finish(&arrays[7]));
        ARROW_RETURN_NOT_OK(lexical.Finish(&arrays[8]));
        ARROW_RETURN_NOT_OK(syntactic.Finish(&arrays[9]));
        ARROW_RETURN_NOT_OK(semantic.Finish(&arrays[10]));
        ARROW_RETURN_NOT_OK(nrows.Finish(&arrays[11]));
        const auto n = static_cast<std::int64_t>(file_records_.size());
        ARROW_RETURN_NOT_OK(write_own(std::string(kFiles), files_schema(), n, std::move(arrays)));
        file_records_.clear();
        return arrow::Status::OK();
    }

    arrow::Status flush_errors() {
        if (error_records_.empty()) return arrow::Status::OK();
        arrow::StringBuilder path, type, message, context, recovery;
        arrow::Int64Builder line, column;
        for (const auto& [p, e] : error_records_) {
            ARROW_RETURN_NOT_OK(path.Append(p));
            ARROW_RETURN_NOT_OK(type.Append(std::string(error_type_name(e.error_type))));
            ARROW_RETURN_NOT_OK(message.Append(e.message));
            ARROW_RETURN_NOT_OK(line.Append(e.line));
            ARROW_RETURN_NOT_OK(column.Append(e.column));
            ARROW_RETURN_NOT_OK(context.Append(e.context));
            ARROW_RETURN_NOT_OK(recovery.Append(e.recovery_action));
        }
        std::vector<std::shared_ptr<arrow::Array>> arrays(7);
        ARROW_RETURN_NOT_OK(path.Finish(&arrays[0]));
        ARROW_RETURN_NOT_OK(type.Finish(&arrays[1]));
        ARROW_RETURN_NOT_OK(message.Finish(&arrays[2]));
        ARROW_RETURN_NOT_OK(line.Finish(&arrays[3]));
        ARROW_RETURN_NOT_OK(column.Finish(&arrays[4]));
        ARROW_RETURN_NOT_OK(context.Finish(&arrays[5]));
        ARROW_RETURN_NOT_OK(recovery.Finish(&arrays[6]));
        const auto n = static_cast<std::int64_t>(error_records_.size());
        ARROW_RETURN_NOT_OK(write_own(std::string(kErrors), errors_schema(), n, std::move(arrays)));
        error_records_.clear();
        return arrow::Status::OK();
    }

    arrow::Status write_own(const std::string& name, const std::shared_ptr<arrow::Schema>& schema,
                            std::int64_t n, std::vector<std::shared_ptr<arrow::Array>> arrays) {
        Part* part = find_part(name);
        if (!part) {
            ARROW_ASSIGN_OR_RAISE(part, open_part(name, schema));
        }
        auto table = arrow::Table::Make(schema, std::move(arrays), n);
        return part->writer->WriteTable(*table, n);
    }

    Part* find_part(const std::string& name) {
        auto it = parts_.find(name);
        if (it == parts_.end()) return nullptr;
        it->second->last_use = ++clock_;
        return it->second.get();
    }

    arrow::Result<Part*> open_part(const std::string& name, std::shared_ptr<arrow::Schema> schema) {
        // Too many open parts: the least recently used one is closed (it
        // is renamed with the others at the next commit).
        while (parts_.size() >= options_.max_open_writers) {
            auto oldest =
                std::min_element(parts_.begin(), parts_.end(), [](const auto& a, const auto& b) {
                    return a.second->last_use < b.second->last_use;
                });
            ARROW_RETURN_NOT_OK(close_part(oldest->first));
        }
        std::string folder;
        ARROW_RETURN_NOT_OK(shared_.folder(name, folder));
        char number[32];
        std::snprintf(number, sizeof number, "%05llu",
                      static_cast<unsigned long long>(shared_.next_part.fetch_add(1)));
        auto part = std::make_unique<Part>();
        part->table = name;
        part->schema = std::move(schema);
        part->final_path = folder + "/part-" + number + ".parquet";
        part->temp_path = folder + "/.part-" + number + ".parquet.tmp";
        ARROW_ASSIGN_OR_RAISE(part->stream, arrow::io::FileOutputStream::Open(part->temp_path));
        ARROW_ASSIGN_OR_RAISE(part->writer,
                              parquet::arrow::FileWriter::Open(*part->schema, pool_, part->stream,
                                                               writer_properties()));
        part->last_use = ++clock_;
        Part* p = part.get();
        parts_[name] = std::move(part);
        return p;
    }

    arrow::Status close_part(std::string name) {  // by value: it may be the key erased here
        auto it = parts_.find(name);
        if (it == parts_.end()) return arrow::Status::OK();
        std::unique_ptr<Part> part = std::move(it->second);
        parts_.erase(it);
        ARROW_RETURN_NOT_OK(part->writer->Close());
        ARROW_RETURN_NOT_OK(part->stream->Close());
        const bool own = name == kFiles || name == kErrors;
        pending_.push_back({part->temp_path, part->final_path, own});
        return arrow::Status::OK();
    }

    // Closes every part and renames them: the categories first, then the
    // problems, then the list of files that are now complete.
    arrow::Status commit() {
        ARROW_RETURN_NOT_OK(flush_all());
        while (!parts_.empty()) ARROW_RETURN_NOT_OK(close_part(parts_.begin()->first));
        std::stable_partition(pending_.begin(), pending_.end(),
                              [](const Pending& p) { return !p.own_table; });
        std::stable_partition(pending_.begin(), pending_.end(), [](const Pending& p) {
            return p.final_path.find("/_files/") == std::string::npos;
        });
        for (const Pending& p : pending_) {
            if (std::rename(p.temp_path.c_str(), p.final_path.c_str()) != 0)
                return arrow::Status::IOError("cannot rename ", p.temp_path, ": ",
                                              std::strerror(errno));
        }
        pending_.clear();
        since_commit_ = 0;
        return arrow::Status::OK();
    }

    // After a failure: nothing of this worker's uncommitted work stays.
    void abandon() noexcept {
        for (auto& [name, part] : parts_) {
            if (part->stream) (void)part->stream->Close();
            std::remove(part->temp_path.c_str());
        }
        parts_.clear();
        for (const Pending& p : pending_) std::remove(p.temp_path.c_str());
        pending_.clear();
    }

    Shared& shared_;
    const Options& options_;
    arrow::MemoryPool* pool_ = arrow::default_memory_pool();
    InputFile input_;
    Bytes decoded_;
    std::unordered_set<std::string_view> looped_;
    bool free_values_ = false;
    TextMap<std::unique_ptr<TableBuffer>> tables_;
    TextMap<std::string> table_names_;  // category → table (folder) name
    std::vector<FileRecord> file_records_;
    std::vector<std::pair<std::string, NativeParseError>> error_records_;
    std::map<std::string, std::unique_ptr<Part>> parts_;
    std::vector<Pending> pending_;
    std::uint64_t clock_ = 0;
    std::size_t buffered_ = 0;
    std::size_t since_commit_ = 0;
};

// The first part number not used in the output folder yet; with
// `remove_stale`, temporary parts of an earlier run are deleted.
std::uint64_t first_free_part(const std::string& out_dir, bool remove_stale) {
    std::uint64_t next = 0;
    std::error_code ec;
    for (const auto& table : fs::directory_iterator(out_dir, ec)) {
        if (!table.is_directory(ec)) continue;
        for (const auto& entry : fs::directory_iterator(table.path(), ec)) {
            const std::string name = entry.path().filename().string();
            const bool temp = name.starts_with(".part-") && name.ends_with(".tmp");
            if (temp && remove_stale) fs::remove(entry.path(), ec);
            const std::size_t at = name.find("part-");
            if (at == std::string::npos) continue;
            const std::uint64_t n = std::strtoull(name.c_str() + at + 5, nullptr, 10);
            next = std::max(next, n + 1);
        }
    }
    return next;
}

}  // namespace

std::string_view dotted_category(std::string_view tag) noexcept {
    const std::size_t dot = tag.find('.');
    if (dot == std::string_view::npos || tag.empty()) return {};
    return tag.substr(1, dot - 1);
}

std::string loop_prefix_category(const std::vector<std::string_view>& tags) {
    std::string_view prefix = tags.front();
    for (std::string_view t : tags) {
        std::size_t n = 0;
        while (n < prefix.size() && n < t.size() && prefix[n] == t[n]) ++n;
        prefix = prefix.substr(0, n);
    }
    // Up to the last underscore after the leading one.
    const std::size_t cut = prefix.size() > 1 ? prefix.rfind('_') : std::string_view::npos;
    if (cut != std::string_view::npos && cut > 1) return std::string(prefix.substr(1, cut - 1));
    std::string_view first = tags.front();
    if (!first.empty() && first[0] == '_') first.remove_prefix(1);
    return std::string(first);
}

std::string folder_name(std::string_view category) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < category.size(); ++i) {
        const auto c = static_cast<unsigned char>(category[i]);
        const bool plain = c >= 0x80 || std::isalnum(c) || c == '-' || c == '.' || c == '+' ||
                           c == '=' || c == ',' || c == '@' || (c == '_' && i != 0);
        if (plain) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    if (out.empty() || out == "." || out == "..") out = "%2E" + out;
    if (out.size() > 200) {
        const std::size_t hash = std::hash<std::string_view>{}(category);
        char tail[24];
        std::snprintf(tail, sizeof tail, "~%016zx", hash);
        out = std::string(utf8_prefix(out, 180)) + tail;
    }
    return out;
}

Summary convert(const Options& options, Progress& progress, const std::atomic<bool>& cancel) {
    const auto start = Clock::now();
    Summary summary;
    Shared shared(options, progress, cancel);
    {
        std::error_code ec;
        fs::create_directories(options.out_dir, ec);
        if (ec || !fs::is_directory(options.out_dir)) {
            summary.fatal = "cannot create the output folder " + options.out_dir + ": " +
                            (ec ? ec.message() : "not a folder");
            return summary;
        }
    }
    shared.next_part = first_free_part(options.out_dir, options.remove_stale);
    const unsigned jobs = std::max(
        1u, std::min<unsigned>(options.jobs, std::max<std::size_t>(1, options.inputs.size())));
    std::vector<std::unique_ptr<Worker>> workers;
    for (unsigned i = 0; i < jobs; ++i) workers.push_back(std::make_unique<Worker>(shared));
    if (jobs == 1) {
        workers[0]->run();
    } else {
        std::vector<std::thread> threads;
        for (auto& w : workers) threads.emplace_back([&w] { w->run(); });
        for (auto& t : threads) t.join();
    }
    for (const auto& w : workers) {
        summary.files += w->files;
        summary.files_read += w->read;
        summary.files_failed += w->failed;
        summary.files_with_problems += w->with_problems;
        summary.problems += w->problems;
        summary.bytes += w->bytes;
        summary.text_bytes += w->text_bytes;
        for (const auto& [name, n] : w->rows) summary.rows[name] += n;
    }
    summary.fatal = shared.fatal;
    summary.cancelled = cancel.load() && summary.files < options.inputs.size();
    summary.seconds = seconds_since(start);
    return summary;
}

}  // namespace quarzel::dataset
