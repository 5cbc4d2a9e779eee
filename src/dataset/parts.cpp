// The Parquet parts of a worker: opened under hidden temporary names,
// renamed when the worker commits; and the part numbers of a resumed run.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dataset/worker.hpp"

namespace quarzel::dataset {

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

arrow::Status Worker::flush_table(const std::string& name, TableBuffer& t) {
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
                auto nulls,
                arrow::MakeArrayOfNull(arrow::utf8(), static_cast<std::int64_t>(t.rows), pool_));
            arrays.push_back(std::move(nulls));
        }
    }
    auto table =
        arrow::Table::Make(part->schema, std::move(arrays), static_cast<std::int64_t>(t.rows));
    ARROW_RETURN_NOT_OK(part->writer->WriteTable(*table, static_cast<std::int64_t>(t.rows)));
    t.reset();
    return arrow::Status::OK();
}

arrow::Status Worker::write_own(const std::string& name,
                                const std::shared_ptr<arrow::Schema>& schema, std::int64_t n,
                                std::vector<std::shared_ptr<arrow::Array>> arrays) {
    Part* part = find_part(name);
    if (!part) {
        ARROW_ASSIGN_OR_RAISE(part, open_part(name, schema));
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

arrow::Result<Part*> Worker::open_part(const std::string& name,
                                       std::shared_ptr<arrow::Schema> schema) {
    // Too many open parts: the least recently used one is closed (it
    // is renamed with the others at the next commit).
    while (parts_.size() >= options_.max_open_writers) {
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
    part->schema = std::move(schema);
    part->final_path = folder + "/part-" + number + ".parquet";
    part->temp_path = folder + "/.part-" + number + ".parquet.tmp";
    ARROW_ASSIGN_OR_RAISE(part->stream, arrow::io::FileOutputStream::Open(part->temp_path));
    ARROW_ASSIGN_OR_RAISE(
        part->writer,
        parquet::arrow::FileWriter::Open(*part->schema, pool_, part->stream, writer_properties()));
    part->last_use = ++clock_;
    Part* p = part.get();
    parts_[name] = std::move(part);
    return p;
}

arrow::Status Worker::close_part(std::string name) {  // by value: it may be the key erased here
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

arrow::Status Worker::commit() {
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

void Worker::abandon() noexcept {
    for (auto& [name, part] : parts_) {
        if (part->stream) (void)part->stream->Close();
        std::remove(part->temp_path.c_str());
    }
    parts_.clear();
    for (const Pending& p : pending_) std::remove(p.temp_path.c_str());
    pending_.clear();
}

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

}  // namespace quarzel::dataset
