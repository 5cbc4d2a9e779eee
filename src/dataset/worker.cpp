// A worker's reading side: takes inputs, parses them and appends their
// rows to the per-category buffers, flushing row groups as they fill.
#include "dataset/worker.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <type_traits>

#include "bcif/to_document.hpp"
#include "core/cell_text.hpp"
#include "dataset/append_values.hpp"
#include "validate/checker.hpp"
#include "validate/positions.hpp"

namespace quarzel::dataset {

void Worker::run() {
    // The document of each file is built in buffers that the last ones
    // freed, not in fresh pages: page faults were a fifth of the time.
    MappingCache mappings(kCachedMappingBytes);
    MappingCache::Use use(mappings);
    try {
        try {
            loop();
        } catch (...) {
            shared_.done_looping();
            throw;
        }
        shared_.done_looping();
        if (options_.typing == Typing::Values) shared_.wait_for_all();
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

void Worker::loop() {
    const auto& inputs = options_.inputs;
    while (!shared_.stop()) {
        const std::size_t i = shared_.next_input.fetch_add(1);
        if (i >= inputs.size()) break;
        if (!convert_file(i)) break;
        if (buffered_ >= options_.row_group_bytes) check(flush_all());
        if (since_commit_ >= options_.part_bytes) check(commit());
    }
}

namespace {

// The input buffers are kept for the next file, unless large.
void trim(Bytes& b, bool all = false) {
    if (all || b.capacity() > (std::size_t{64} << 20)) b.release();
}

}  // namespace

bool Worker::convert_file(std::size_t i) {
    const auto start = Clock::now();
    input_index_ = i;
    const std::string& path = options_.inputs[i];
    const std::string& name =
        i < options_.names.size() && !options_.names[i].empty() ? options_.names[i] : path;
    FileRecord rec;
    rec.path = name;
    std::string reason;
    Outcome outcome = Outcome::Failed;
    if (i < options_.failures.size() && !options_.failures[i].empty()) {
        reason = options_.failures[i];
        rec.compression = compression_name(Compression::None);
    } else if (auto streamed = convert_streamed(path, name, rec, reason)) {
        outcome = *streamed;
        if (outcome == Outcome::Cancelled) return false;
    } else {
        std::string_view text;
        std::optional<NativeParseError> latin1;
        bool ok = false;
        try {
            ok = read_input(path, input_, reason, &shared_.cancel);
            if (ok) {
                text = input_.text.view();
                // BinaryCIF is decoded as it is; text that is not UTF-8 is
                // read as Latin-1.
                const std::size_t bad =
                    input_.bcif ? std::string_view::npos : first_invalid_utf8(text);
                if (bad != std::string_view::npos) {
                    latin1 = latin1_record(text, bad);
                    latin1_to_utf8(text, decoded_);
                    text = decoded_.view();
                }
            }
        } catch (const std::bad_alloc&) {
            ok = false;
            reason = "out of memory while reading (" + std::to_string(input_.file_size) +
                     " bytes on disk)";
        }
        if (!ok && reason == kCancelled) return false;
        rec.size = static_cast<std::int64_t>(input_.file_size);
        rec.compression = compression_name(input_.compression);
        rec.mtime_ns = input_.mtime_ns;
        rec.stated = input_.mtime_ns != 0;
        rec.hashed = input_.hashed;
        rec.crc64 = input_.crc64;
        if (ok) outcome = convert_text(name, text, input_.bcif, std::move(latin1), rec, reason);
        if (outcome == Outcome::Cancelled) {
            trim(input_.text);
            trim(input_.raw);
            trim(decoded_);
            return false;
        }
    }
    if (outcome == Outcome::Failed) {
        rec.status = "failed";
        rec.reason = std::move(reason);
    }
    rec.seconds = seconds_since(start);
    const bool no_memory = rec.reason.starts_with("out of memory");
    trim(input_.text, no_memory);
    trim(input_.raw, no_memory);
    trim(decoded_, no_memory);
    count(rec);
    buffered_ += 256 + name.size();
    file_records_.push_back(std::move(rec));
    return true;
}

Worker::Outcome Worker::convert_text(const std::string& name, std::string_view text, bool bcif,
                                     std::optional<NativeParseError> latin1, FileRecord& rec,
                                     std::string& reason) {
    rec.text_bytes = static_cast<std::int64_t>(text.size());
    // A large file is committed on its own: should it not fit in memory,
    // what came before it is safe and nothing of it stays.
    const bool own = text.size() > options_.own_commit_bytes;
    if (own && since_commit_ + buffered_ != 0) check(commit());
    // Validation needs the whole document: the selective reading only
    // without rules.
    if (!bcif && !options_.categories.empty() && !options_.rules) {
        const Outcome out = convert_selected(name, text, std::move(latin1), rec);
        if (out == Outcome::Kept) since_commit_ += text.size();
        return out;
    }
    std::optional<ParseResult> parsed;
    try {
        if (bcif) {
            // Decoded natively into the document CIF text gives; its values
            // live in the document, not in the file's bytes.
            text_ = {};
            parsed.emplace();
            parsed->document = bcif::read_document(text);
        } else {
            text_ = text;
            parsed.emplace(parse_document(text, false));
        }
    } catch (const std::bad_alloc&) {
        parsed.reset();
        reason = "out of memory while " + std::string(bcif ? "decoding (" : "parsing (") +
                 std::to_string(text.size()) + (bcif ? " bytes of BinaryCIF)" : " bytes of text)");
        return Outcome::Failed;
    }
    if (shared_.cancel.load(std::memory_order_relaxed)) return Outcome::Cancelled;
    ParsedCif& doc = parsed->document;
    if (latin1) doc.errors.insert(doc.errors.begin(), std::move(*latin1));
    if (options_.rules) validate_document(name, *parsed);
    try {
        rec.rows = static_cast<std::int64_t>(append_document(name, doc));
    } catch (const std::bad_alloc&) {
        if (!own) throw;  // rows of other files are in the same parts
        parsed.reset();
        abandon();
        forget_uncommitted();
        rec.rows = 0;
        reason = "out of memory while writing its rows (" + std::to_string(text.size()) +
                 " bytes of text)";
        return Outcome::Failed;
    }
    keep_errors(name, doc.errors, rec);
    since_commit_ += text.size();
    return Outcome::Kept;
}

void Worker::keep_errors(const std::string& name, const std::vector<NativeParseError>& errors,
                         FileRecord& rec) {
    Stats stats;
    for (const NativeParseError& e : errors) {
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
        append_error(name, e);
    }
    rec.problems = static_cast<std::int64_t>(errors.size());
    rec.lexical = stats.lexical;
    rec.syntactic = stats.syntactic;
    rec.semantic = stats.semantic;
    rec.status = errors.empty() ? "ok" : "problems";
}

void Worker::count(const FileRecord& rec) {
    const bool ok = rec.status != "failed";
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
    p.bytes.fetch_add(static_cast<std::uint64_t>(rec.size), std::memory_order_relaxed);
    p.text_bytes.fetch_add(static_cast<std::uint64_t>(rec.text_bytes), std::memory_order_relaxed);
    p.files.fetch_add(1, std::memory_order_relaxed);
}

void Worker::validate_document(const std::string& path, const ParseResult& parsed) {
    const ParsedCif& doc = parsed.document;
    std::vector<validate::Finding> found =
        validate::check_document(doc, *options_.rules, *options_.validation);
    if (found.empty()) return;
    validate::resolve_positions(found, doc, parsed.detected);
    validate::sort_findings(found);
    bool error = false;
    for (validate::Finding& f : found) {
        const auto severity = static_cast<std::size_t>(f.severity);
        ++findings[severity];
        error = error || f.severity == validate::Severity::Error;
        ValidationRecord r{path, std::move(f), {}, {}, false};
        if (r.finding.block < doc.blocks.size()) {
            const ParsedBlock& b = doc.blocks[r.finding.block];
            r.block = b.name;
            if (r.finding.frame < b.save_frames.size()) {
                r.frame = b.save_frames[r.finding.frame].name;
                r.has_frame = true;
            }
        }
        buffered_ += 128 + path.size() + r.finding.message.size() +
                     (r.finding.value ? r.finding.value->size() : 0);
        validation_records_.push_back(std::move(r));
    }
    invalid += error;
    shared_.progress.findings.fetch_add(found.size(), std::memory_order_relaxed);
}

void Worker::append_error(const std::string& path, const NativeParseError& e) {
    error_records_.push_back({path, e});
    buffered_ += 64 + path.size() + e.message.size() + e.context.size() + e.recovery_action.size();
}

Worker::Group& Worker::group_for(std::vector<Group>& groups, std::string_view category) {
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

void Worker::add_tag(Group& g, std::string_view tag, const ValueColumn* values) {
    for (const auto& t : g.tags)
        if (t.first == tag) return;  // a tag named twice in a loop header: one column
    g.tags.emplace_back(tag, values);
}

std::uint64_t Worker::append_document(const std::string& path, ParsedCif& doc) {
    std::uint64_t total = 0;
    for (const ParsedBlock& block : doc.blocks) {
        total += append_frame(path, doc, block.name, nullptr, block.data);
        for (const ParsedSaveFrame& frame : block.save_frames)
            total += append_frame(path, doc, block.name, &frame.name, frame.data);
    }
    return total;
}

std::uint64_t Worker::append_frame(const std::string& path, ParsedCif& doc, std::string_view block,
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
            if (dotted_category(tag).empty() && !options_.tag_categories.count(std::string(tag)))
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
                    e.message = "schema/array length mismatch: loop tag " + quoted(tag) + " has " +
                                std::to_string(n) + " value(s) for " + std::to_string(loop_rows) +
                                " row(s)";
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

std::size_t Worker::append_rows(const std::string& path, std::string_view block,
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
    added += 16;  // a run of each identity column
    for (const auto& [tag, values] : g.tags) {
        TagColumn& c = t.column(tag, input_index_);
        if (options_.typing != Typing::None && !c.typed) start_typed(c, g.table);
        c.pad_all(base);
        // A column only counted (a category not chosen) has no values to give.
        const std::size_t n = values && !values->counted() ? std::min(values->size(), rows) : 0;
        if (n != 0) added += c.typed ? append_typed(c, *values, n) : append_values(c, *values, n);
        if (n < rows) c.pad_all(base + rows);
        added += rows;
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

// ---- hot path: the values of one column into its pages -------------------
// (the loop itself is in append_values.hpp, shared with typed runs)
std::size_t Worker::append_values(TextColumn& c, const ValueColumn& values, std::size_t n) {
    if (const RefColumn* refs = values.refs_column())
        return append_values(c, *refs, n, NoNumbers{});
    return append_values(c, *values.packed_column(), n, NoNumbers{});
}

TableBuffer& Worker::table(std::string_view name) {
    auto it = tables_.find(name);
    if (it != tables_.end()) return *it->second;
    return *tables_.emplace(name, std::make_unique<TableBuffer>()).first->second;
}

arrow::Status Worker::flush_all() {
    // Twice as many bytes of large buffers as a row group holds of text
    // stay for the next one (its numbers take room beside the text).
    const std::size_t group = options_.row_group_bytes;
    kept_ = KeptBytes(group > SIZE_MAX / 2 ? SIZE_MAX : 2 * group);
    for (auto& [name, t] : tables_) {
        if (t->rows) ARROW_RETURN_NOT_OK(flush_table(name, *t));
        if (t->unflushed_rows) rows[name] += std::exchange(t->unflushed_rows, 0);
    }
    ARROW_RETURN_NOT_OK(flush_files());
    ARROW_RETURN_NOT_OK(flush_errors());
    ARROW_RETURN_NOT_OK(flush_validation());
    buffered_ = 0;
    return arrow::Status::OK();
}

}  // namespace quarzel::dataset
