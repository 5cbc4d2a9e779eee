#include "bcif/to_arrow.hpp"

#include <cstring>
#include <limits>
#include <string>
#include <unordered_set>

namespace quarzel::bcif {

namespace {

using arrow::Buffer;
using arrow::Result;

// The validity bitmap of the rows without a mask value, or null when none
// is masked.
Result<std::shared_ptr<Buffer>> validity(const DecodedColumn& c, std::int64_t rows,
                                         std::int64_t& nulls) {
    nulls = 0;
    if (c.mask.empty()) return std::shared_ptr<Buffer>();
    ARROW_ASSIGN_OR_RAISE(auto bits, arrow::AllocateBitmap(rows));
    std::uint8_t* p = bits->mutable_data();
    std::memset(p, 0, static_cast<std::size_t>(bits->size()));
    for (std::int64_t i = 0; i < rows; ++i) {
        if (c.mask[static_cast<std::size_t>(i)] == 0)
            p[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
        else
            ++nulls;
    }
    return std::shared_ptr<Buffer>(std::move(bits));
}

template <class T>
Result<std::shared_ptr<Buffer>> values_buffer(std::int64_t rows) {
    ARROW_ASSIGN_OR_RAISE(auto buf,
                          arrow::AllocateBuffer(rows * static_cast<std::int64_t>(sizeof(T))));
    return std::shared_ptr<Buffer>(std::move(buf));
}

Result<std::shared_ptr<arrow::Array>> number_array(const DecodedColumn& c, std::int64_t rows) {
    std::int64_t nulls = 0;
    ARROW_ASSIGN_OR_RAISE(auto valid, validity(c, rows, nulls));
    const Numbers& v = c.numbers;
    const auto n = static_cast<std::size_t>(rows);
    if (v.fixed() || v.floating()) {
        ARROW_ASSIGN_OR_RAISE(auto buf, values_buffer<double>(rows));
        auto* out = reinterpret_cast<double*>(buf->mutable_data());
        if (v.fixed()) {
            double scale = 1;
            for (int k = 0; k < v.decimals; ++k) scale *= 10;
            for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<double>(v.ints[i]) / scale;
        } else {
            std::memcpy(out, v.floats.data(), n * sizeof(double));
        }
        return arrow::MakeArray(
            arrow::ArrayData::Make(arrow::float64(), rows, {valid, buf}, nulls));
    }
    if (v.type == DType::Uint32) {
        ARROW_ASSIGN_OR_RAISE(auto buf, values_buffer<std::int64_t>(rows));
        std::memcpy(buf->mutable_data(), v.ints.data(), n * sizeof(std::int64_t));
        return arrow::MakeArray(arrow::ArrayData::Make(arrow::int64(), rows, {valid, buf}, nulls));
    }
    ARROW_ASSIGN_OR_RAISE(auto buf, values_buffer<std::int32_t>(rows));
    auto* out = reinterpret_cast<std::int32_t*>(buf->mutable_data());
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::int32_t>(v.ints[i]);
    return arrow::MakeArray(arrow::ArrayData::Make(arrow::int32(), rows, {valid, buf}, nulls));
}

Result<std::shared_ptr<arrow::Array>> string_array(const DecodedColumn& c, std::int64_t rows) {
    std::int64_t nulls = 0;
    ARROW_ASSIGN_OR_RAISE(auto valid, validity(c, rows, nulls));
    const Strings& s = c.strings;
    const auto n = static_cast<std::size_t>(rows);
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (!c.masked(i) && s.index[i] >= 0)
            total += s.items[static_cast<std::size_t>(s.index[i])].size();
    if (total > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
        return arrow::Status::CapacityError("more than 2 GiB of text in one column");
    ARROW_ASSIGN_OR_RAISE(auto offsets, values_buffer<std::int32_t>(rows + 1));
    ARROW_ASSIGN_OR_RAISE(auto data, arrow::AllocateBuffer(static_cast<std::int64_t>(total)));
    auto* off = reinterpret_cast<std::int32_t*>(offsets->mutable_data());
    char* out = reinterpret_cast<char*>(data->mutable_data());
    std::int32_t at = 0;
    off[0] = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!c.masked(i) && s.index[i] >= 0) {
            const std::string_view t = s.items[static_cast<std::size_t>(s.index[i])];
            std::memcpy(out + at, t.data(), t.size());
            at += static_cast<std::int32_t>(t.size());
        }
        off[i + 1] = at;
    }
    return arrow::MakeArray(arrow::ArrayData::Make(
        arrow::utf8(), rows, {valid, offsets, std::shared_ptr<Buffer>(std::move(data))}, nulls));
}

// The status names, indexed by mask value: "number" or "text" for a
// value, "inapplicable" for `.`, "unknown" for `?`; built once.
std::shared_ptr<arrow::Array> make_status_names(const char* value) {
    arrow::StringBuilder names;
    if (!names.Append(value).ok() || !names.Append("inapplicable").ok() ||
        !names.Append("unknown").ok())
        return nullptr;
    std::shared_ptr<arrow::Array> out;
    return names.Finish(&out).ok() ? out : nullptr;
}

Result<std::shared_ptr<arrow::Array>> status_array(const DecodedColumn& c, std::int64_t rows) {
    static const std::shared_ptr<arrow::Array> numbers = make_status_names("number");
    static const std::shared_ptr<arrow::Array> texts = make_status_names("text");
    const std::shared_ptr<arrow::Array>& dictionary = c.is_string ? texts : numbers;
    if (!dictionary) return arrow::Status::OutOfMemory("status names");
    ARROW_ASSIGN_OR_RAISE(auto buf, arrow::AllocateBuffer(rows));
    std::memcpy(buf->mutable_data(), c.mask.data(), static_cast<std::size_t>(rows));
    auto indices = arrow::MakeArray(arrow::ArrayData::Make(
        arrow::int8(), rows, {nullptr, std::shared_ptr<Buffer>(std::move(buf))}, 0));
    const auto type = arrow::dictionary(arrow::int8(), arrow::utf8());
    return std::static_pointer_cast<arrow::Array>(
        std::make_shared<arrow::DictionaryArray>(type, indices, dictionary));
}

}  // namespace

Result<std::shared_ptr<arrow::RecordBatch>> category_batch(
    std::int64_t rows, const std::vector<NamedColumn>& columns) {
    std::unordered_set<std::string> taken;
    for (const NamedColumn& c : columns) taken.emplace(c.name);
    arrow::FieldVector fields;
    arrow::ArrayVector arrays;
    std::unordered_set<std::string> used;
    for (const NamedColumn& c : columns) {
        std::string name(c.name);
        if (!used.insert(name).second) continue;  // a name given twice: the first counts
        ARROW_ASSIGN_OR_RAISE(auto array, c.values.is_string ? string_array(c.values, rows)
                                                             : number_array(c.values, rows));
        fields.push_back(arrow::field(name, array->type()));
        arrays.push_back(std::move(array));
        if (c.values.mask.empty()) continue;
        std::string status = name + "_status";
        while (taken.count(status) || used.count(status)) status += '_';
        used.insert(status);
        ARROW_ASSIGN_OR_RAISE(auto st, status_array(c.values, rows));
        fields.push_back(arrow::field(status, st->type()));
        arrays.push_back(std::move(st));
    }
    return arrow::RecordBatch::Make(arrow::schema(std::move(fields)), rows, std::move(arrays));
}

Result<Tables> read_tables(std::string_view input) {
    Tables out;
    Budget budget(input.size());
    DecodedFile file = decode_file(input, budget);
    out.errors = std::move(file.errors);
    for (DecodedBlock& b : file.blocks) {
        BlockBatches& block = out.blocks.emplace_back();
        block.header = b.header;
        for (DecodedCategory& c : b.categories) {
            // A column name given twice: the first counts.
            std::unordered_set<std::string_view> names;
            std::erase_if(c.columns, [&](const NamedColumn& col) {
                if (names.insert(col.name).second) return false;
                const Where where{b.header, c.name, col.name};
                out.errors.push_back(
                    problem(ErrorType::Semantic,
                            where.text() + ": duplicate tag " + quoted(tag_of(c.name, col.name)),
                            "column skipped"));
                return true;
            });
            std::uint64_t text = 0;
            for (const NamedColumn& col : c.columns) text += text_bound(col.values);
            if (!budget.take_text(text)) {
                const Where where{b.header, c.name, std::nullopt};
                out.errors.push_back(problem(
                    ErrorType::Semantic, where.text() + ": its text is more than the file may hold",
                    "category skipped"));
                continue;
            }
            ARROW_ASSIGN_OR_RAISE(auto batch, category_batch(c.rows, c.columns));
            block.categories.push_back({c.name, std::move(batch)});
            c.columns.clear();
            c.columns.shrink_to_fit();
        }
    }
    return out;
}

}  // namespace quarzel::bcif
