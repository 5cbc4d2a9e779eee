// The dataset's own tables: _files (one row per input), _errors (one row
// per problem) and _validation (one row per finding of the validator).
#include "dataset/worker.hpp"

#include "validate/rules.hpp"

namespace quarzel::dataset {

std::string crc64_text(std::uint64_t crc) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i, crc >>= 4) out[static_cast<std::size_t>(i)] = kHex[crc & 15];
    return out;
}

std::shared_ptr<arrow::Schema> files_schema() {
    using namespace arrow;
    static const auto schema = arrow::schema(
        {field("_file", utf8(), false), field("status", utf8(), false), field("reason", utf8()),
         field("compression", utf8()), field("size", int64(), false),
         field("text_bytes", int64(), false), field("seconds", float64(), false),
         field("problems", int64(), false), field("lexical", int64(), false),
         field("syntactic", int64(), false), field("semantic", int64(), false),
         field("rows", int64(), false), field("mtime_ns", int64()), field("crc64", utf8())});
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

arrow::Status Worker::flush_files() {
    if (file_records_.empty()) return arrow::Status::OK();
    arrow::StringBuilder path, status, reason, compression;
    arrow::Int64Builder size, text, problems, lexical, syntactic, semantic, nrows, mtime;
    arrow::DoubleBuilder secs;
    arrow::StringBuilder crc;
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
        ARROW_RETURN_NOT_OK(r.stated ? mtime.Append(r.mtime_ns) : mtime.AppendNull());
        ARROW_RETURN_NOT_OK(r.hashed ? crc.Append(crc64_text(r.crc64)) : crc.AppendNull());
    }
    std::vector<std::shared_ptr<arrow::Array>> arrays(14);
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
    ARROW_RETURN_NOT_OK(mtime.Finish(&arrays[12]));
    ARROW_RETURN_NOT_OK(crc.Finish(&arrays[13]));
    const auto n = static_cast<std::int64_t>(file_records_.size());
    ARROW_RETURN_NOT_OK(
        write_own(std::string(kFiles), files_schema(), n, std::move(arrays), writer_properties()));
    file_records_.clear();
    return arrow::Status::OK();
}

arrow::Status Worker::flush_errors() {
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
    ARROW_RETURN_NOT_OK(write_own(std::string(kErrors), errors_schema(), n, std::move(arrays),
                                  writer_properties()));
    error_records_.clear();
    return arrow::Status::OK();
}

std::shared_ptr<arrow::Schema> validation_schema() {
    using namespace arrow;
    static const auto schema = arrow::schema(
        {field("_file", utf8(), false), field("code", utf8(), false),
         field("severity", utf8(), false), field("message", utf8(), false), field("block", utf8()),
         field("frame", utf8()), field("category", utf8()), field("tags", list(utf8()), false),
         field("value", utf8()), field("row", int64()), field("line", int64(), false),
         field("column", int64(), false), field("rule", utf8(), false),
         field("dictionary", utf8())});
    return schema;
}

arrow::Status Worker::flush_validation() {
    if (validation_records_.empty()) return arrow::Status::OK();
    const validate::RuleSet& rules = *options_.rules;
    arrow::StringBuilder path, code, severity, message, block, frame, category, value, rule,
        dictionary;
    auto tag_values = std::make_shared<arrow::StringBuilder>();
    arrow::ListBuilder tags(pool_, tag_values);
    arrow::Int64Builder row, line, column;
    const auto optional = [](arrow::StringBuilder& b, bool has, std::string_view v) {
        return has ? b.Append(v) : b.AppendNull();
    };
    // Each dictionary's label made once, not once per finding.
    std::vector<std::string> labels;
    labels.reserve(rules.dictionaries.size());
    for (const validate::DictionaryInfo& d : rules.dictionaries) labels.push_back(d.label());
    for (const ValidationRecord& r : validation_records_) {
        const validate::Finding& f = r.finding;
        ARROW_RETURN_NOT_OK(path.Append(r.path));
        ARROW_RETURN_NOT_OK(code.Append(validate::code_name(f.code)));
        ARROW_RETURN_NOT_OK(severity.Append(validate::severity_name(f.severity)));
        ARROW_RETURN_NOT_OK(message.Append(f.message));
        ARROW_RETURN_NOT_OK(optional(block, f.block != validate::kNoIndex, r.block));
        ARROW_RETURN_NOT_OK(optional(frame, r.has_frame, r.frame));
        ARROW_RETURN_NOT_OK(optional(category, !f.category.empty(), f.category));
        ARROW_RETURN_NOT_OK(tags.Append());
        for (const std::string& t : f.tags) ARROW_RETURN_NOT_OK(tag_values->Append(t));
        ARROW_RETURN_NOT_OK(
            optional(value, f.value.has_value(), f.value ? std::string_view(*f.value) : ""));
        ARROW_RETURN_NOT_OK(f.row >= 0 ? row.Append(f.row) : row.AppendNull());
        ARROW_RETURN_NOT_OK(line.Append(f.line));
        ARROW_RETURN_NOT_OK(column.Append(f.column));
        ARROW_RETURN_NOT_OK(rule.Append(f.rule));
        const bool has_dict = f.dict < labels.size();
        ARROW_RETURN_NOT_OK(
            optional(dictionary, has_dict, has_dict ? std::string_view(labels[f.dict]) : ""));
    }
    std::vector<std::shared_ptr<arrow::Array>> arrays(14);
    ARROW_RETURN_NOT_OK(path.Finish(&arrays[0]));
    ARROW_RETURN_NOT_OK(code.Finish(&arrays[1]));
    ARROW_RETURN_NOT_OK(severity.Finish(&arrays[2]));
    ARROW_RETURN_NOT_OK(message.Finish(&arrays[3]));
    ARROW_RETURN_NOT_OK(block.Finish(&arrays[4]));
    ARROW_RETURN_NOT_OK(frame.Finish(&arrays[5]));
    ARROW_RETURN_NOT_OK(category.Finish(&arrays[6]));
    ARROW_RETURN_NOT_OK(tags.Finish(&arrays[7]));
    ARROW_RETURN_NOT_OK(value.Finish(&arrays[8]));
    ARROW_RETURN_NOT_OK(row.Finish(&arrays[9]));
    ARROW_RETURN_NOT_OK(line.Finish(&arrays[10]));
    ARROW_RETURN_NOT_OK(column.Finish(&arrays[11]));
    ARROW_RETURN_NOT_OK(rule.Finish(&arrays[12]));
    ARROW_RETURN_NOT_OK(dictionary.Finish(&arrays[13]));
    const auto n = static_cast<std::int64_t>(validation_records_.size());
    ARROW_RETURN_NOT_OK(write_own(std::string(kValidation), validation_schema(), n,
                                  std::move(arrays), validation_writer_properties()));
    validation_records_.clear();
    return arrow::Status::OK();
}

}  // namespace quarzel::dataset
