// The Parquet parts of a worker: opened under hidden temporary names,
// renamed when the worker commits; and the part numbers of a resumed run.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dataset/manifest.hpp"
#include "dataset/worker.hpp"

namespace quarzel::dataset {

namespace {

// What every table a worker writes with Arrow's writer has: compressed as
// the category tables are, a row group as large as it gets.
void own_table_settings(parquet::WriterProperties::Builder& b) {
    if (arrow::util::Codec::IsAvailable(arrow::Compression::SNAPPY))
        b.compression(arrow::Compression::SNAPPY);
    b.max_row_group_length(std::int64_t{1} << 22);
}

}  // namespace

// Arrow's writer, for _files and _errors: one row per file or problem, so
// its cost does not matter.
std::shared_ptr<parquet::WriterProperties> writer_properties() {
    static const auto props = [] {
        parquet::WriterProperties::Builder b;
        own_table_settings(b);
        return b.build();
    }();
    return props;
}

// Arrow's writer for _validation, whose rows a convert of small files
// writes in one short part: as writer_properties(), with statistics and a
// dictionary only for the columns a reader selects rows by (_file, as the
// identity columns of the category tables have them) or that repeat a few
// values (code, severity, rule, dictionary). Read back, the part is the same.
std::shared_ptr<parquet::WriterProperties> validation_writer_properties() {
    static const auto props = [] {
        parquet::WriterProperties::Builder b;
        own_table_settings(b);
        b.disable_statistics();
        b.enable_statistics("_file");
        b.disable_dictionary();
        for (const char* column : {"_file", "code", "severity", "rule", "dictionary"})
            b.enable_dictionary(column);
        return b.build();
    }();
    return props;
}

arrow::Status Worker::flush_table(const std::string& name, TableBuffer& t) {
    if (options_.typing != Typing::None) return flush_typed_table(name, t);
    for (auto& id : t.ids) id.pad_to(t.rows);
    for (auto& c : t.columns) c->pad_to(t.rows);
    Part* part = find_part(name);
    auto in_part = [&](const std::string& n) { return part && part->file->has(n); };
    // The row group's identity columns: all but a _frame_name that is
    // all null and not yet in the part.
    const bool frames = t.ids[2].nulls != t.rows || in_part(t.ids[2].name);
    bool fits = part != nullptr && (!frames || in_part(t.ids[2].name));
    for (auto& c : t.columns) fits = fits && in_part(c->name);
    if (!fits) {
        // A new part, with the columns of the old one and the new ones;
        // the identity columns first.
        std::vector<FileColumn> columns;
        std::unordered_set<std::string> seen;
        for (int i = 0; i < 3; ++i) {
            if (i == 2 && !frames) continue;
            seen.insert(t.ids[i].name);
            columns.push_back({t.ids[i].name, true, i == 2});
        }
        auto add = [&](const std::string& n) {
            if (seen.insert(n).second) columns.push_back({n, false, true});
        };
        if (part)
            for (const FileColumn& c : part->file->columns()) add(c.name);
        for (auto& c : t.columns) add(c->name);
        if (part) ARROW_RETURN_NOT_OK(close_part(name));
        ARROW_ASSIGN_OR_RAISE(part, open_table_part(name, std::move(columns)));
    }
    // The chunks in the part's order; a column the row group lacks is all null.
    bool lacks = false;
    std::vector<const ColumnChunk*> chunks;
    chunks.reserve(part->file->columns().size());
    for (const FileColumn& f : part->file->columns()) {
        if (f.dictionary) {
            for (auto& id : t.ids) {
                if (id.name != f.name) continue;
                id.encode(pages_, f.optional);
                chunks.push_back(&id.chunk);
            }
            continue;
        }
        auto it = t.by_name.find(f.name);
        if (it != t.by_name.end()) {
            it->second->finish(pages_);
            chunks.push_back(&it->second->chunk);
        } else {
            if (!lacks) {
                null_column_.reset();
                null_column_.push_nulls(t.rows);
                null_column_.finish(pages_);
                lacks = true;
            }
            chunks.push_back(&null_column_.chunk);
        }
    }
    ARROW_RETURN_NOT_OK(part->file->write_row_group(static_cast<std::int64_t>(t.rows), chunks));
    t.reset(kept_);
    return arrow::Status::OK();
}

arrow::Status Worker::write_own(const std::string& name,
                                const std::shared_ptr<arrow::Schema>& schema, std::int64_t n,
                                std::vector<std::shared_ptr<arrow::Array>> arrays,
                                std::shared_ptr<parquet::WriterProperties> properties) {
    Part* part = find_part(name);
    if (!part) {
        ARROW_ASSIGN_OR_RAISE(part, open_part(name, schema, std::move(properties)));
    }
    auto table = arrow::Table::Make(schema, std::move(arrays), n);
    return part->writer->WriteTable(*table, n);
}

Part* Worker::find_part(const std::string& name) {
    auto it = parts_.find(name);
    if (it == parts_.end()) return nullptr;
    it->second->last_use = ++clock_;
    return it->second.get();
}

arrow::Result<std::unique_ptr<Part>> Worker::new_part(const std::string& name) {
    // Too many open parts: the least recently used one is closed (it
    // is renamed with the others at the next commit).
    while (!parts_.empty() && parts_.size() >= shared_.open_writers) {
        auto oldest = std::min_element(
            parts_.begin(), parts_.end(),
            [](const auto& a, const auto& b) { return a.second->last_use < b.second->last_use; });
        ARROW_RETURN_NOT_OK(close_part(oldest->first));
    }
    std::string folder;
    ARROW_RETURN_NOT_OK(shared_.folder(name, folder));
    char number[32];
    std::snprintf(number, sizeof number, "%05llu",
                  static_cast<unsigned long long>(shared_.next_part.fetch_add(1)));
    auto part = std::make_unique<Part>();
    part->table = name;
    part->final_name = name + "/part-" + number + ".parquet";
    part->temp_name = name + "/.part-" + number + ".parquet.tmp";
    part->final_path = options_.out_dir + "/" + part->final_name;
    part->temp_path = options_.out_dir + "/" + part->temp_name;
    part->last_use = ++clock_;
    return part;
}

arrow::Result<Part*> Worker::open_part(const std::string& name,
                                       std::shared_ptr<arrow::Schema> schema,
                                       std::shared_ptr<parquet::WriterProperties> properties) {
    ARROW_ASSIGN_OR_RAISE(auto part, new_part(name));
    part->schema = std::move(schema);
    ARROW_ASSIGN_OR_RAISE(part->stream, arrow::io::FileOutputStream::Open(part->temp_path));
    ARROW_ASSIGN_OR_RAISE(part->writer,
                          parquet::arrow::FileWriter::Open(*part->schema, pool_, part->stream,
                                                           std::move(properties)));
    Part* p = part.get();
    parts_[name] = std::move(part);
    return p;
}

arrow::Result<Part*> Worker::open_table_part(const std::string& name,
                                             std::vector<FileColumn> columns) {
    ARROW_ASSIGN_OR_RAISE(auto part, new_part(name));
    part->file = std::make_unique<ParquetFile>();
    ARROW_RETURN_NOT_OK(part->file->open(part->temp_path, std::move(columns), pages_.codec_id()));
    Part* p = part.get();
    parts_[name] = std::move(part);
    return p;
}

arrow::Status Worker::close_part(std::string name) {  // by value: it may be the key erased here
    auto it = parts_.find(name);
    if (it == parts_.end()) return arrow::Status::OK();
    std::unique_ptr<Part> part = std::move(it->second);
    parts_.erase(it);
    if (part->file) {
        if (options_.typing != Typing::None)
            part->file->set_metadata("quarzel.typing", typing_metadata(*part));
        ARROW_RETURN_NOT_OK(part->file->close());
        if (part->shadow) {
            ARROW_RETURN_NOT_OK(part->shadow->close());
            pending_.push_back(
                {part->shadow_temp_path, part->shadow_temp_name, part->shadow_final_name, 0});
        }
    } else {
        ARROW_RETURN_NOT_OK(part->writer->Close());
        ARROW_RETURN_NOT_OK(part->stream->Close());
    }
    const int order = name == kFiles ? 2 : (name == kErrors || name == kValidation) ? 1 : 0;
    pending_.push_back({part->temp_path, part->temp_name, part->final_name, order});
    return arrow::Status::OK();
}

arrow::Status Worker::commit() {
    ARROW_RETURN_NOT_OK(flush_all());
    while (!parts_.empty()) ARROW_RETURN_NOT_OK(close_part(parts_.begin()->first));
    since_commit_ = 0;
    if (pending_.empty()) return arrow::Status::OK();
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Pending& a, const Pending& b) { return a.order < b.order; });
    std::vector<Rename> renames;
    renames.reserve(pending_.size());
    for (const Pending& p : pending_) renames.push_back({p.temp_name, p.final_name});
    std::string folder;
    ARROW_RETURN_NOT_OK(shared_.folder(std::string(kCommits), folder));
    ARROW_ASSIGN_OR_RAISE(
        const std::string manifest,
        write_manifest(options_.out_dir, shared_.next_part.fetch_add(1), renames));
    // Committed: the parts are the dataset's now, whatever happens next.
    pending_.clear();
    committed_rows_ = rows;
    return apply_manifest(options_.out_dir, manifest, renames);
}

void Worker::abandon() noexcept {
    for (auto& [name, part] : parts_) {
        if (part->file) part->file->discard();
        if (part->stream) (void)part->stream->Close();
        std::remove(part->temp_path.c_str());
        if (part->shadow) {
            part->shadow->discard();
            std::remove(part->shadow_temp_path.c_str());
        }
    }
    parts_.clear();
    for (const Pending& p : pending_) std::remove(p.temp_path.c_str());
    pending_.clear();
}

void Worker::forget_uncommitted() noexcept {
    tables_.clear();
    file_records_.clear();
    error_records_.clear();
    validation_records_.clear();
    rows = committed_rows_;
    buffered_ = 0;
    since_commit_ = 0;
}

// The first number not used by a part or manifest in the output folder yet
// (temporary ones included).
std::uint64_t first_free_part(const std::string& out_dir) {
    std::uint64_t next = 0;
    std::error_code ec;
    for (const auto& table : fs::directory_iterator(out_dir, ec)) {
        if (!table.is_directory(ec)) continue;
        for (const auto& entry : fs::directory_iterator(table.path(), ec)) {
            const std::string name = entry.path().filename().string();
            for (const std::string_view prefix : {"part-", "commit-"}) {
                const std::size_t at = name.find(prefix);
                if (at == std::string::npos) continue;
                const std::uint64_t n =
                    std::strtoull(name.c_str() + at + prefix.size(), nullptr, 10);
                next = std::max(next, n + 1);
            }
        }
    }
    return next;
}

}  // namespace quarzel::dataset
