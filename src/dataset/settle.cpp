#include "dataset/settle.hpp"

#include <fcntl.h>
#include <parquet/column_reader.h>
#include <parquet/exception.h>
#include <parquet/file_reader.h>
#include <parquet/metadata.h>
#include <parquet/schema.h>
#include <parquet/statistics.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include "core/number.hpp"
#include "core/number_inline.hpp"
#include "core/number_text.hpp"
#include "dataset/number_column.hpp"
#include "dataset/parquet_file.hpp"
#include "dataset/settle_source.hpp"

namespace quarzel::dataset {

namespace {

using namespace settling;

// A value as parse_number reads it: ? . and words told at their first
// byte, plain decimals of at most eight bytes on the short route.
[[gnu::always_inline]] inline NumberResult read_number(const char* p, std::size_t n) {
    NumberResult r;
    if (n == 1 && (p[0] == '?' || p[0] == '.')) {
        r.status = p[0] == '?' ? NumberStatus::unknown : NumberStatus::inapplicable;
        return r;
    }
    const auto c = n != 0 ? static_cast<unsigned char>(p[0]) : 0;
    if (n == 0 || !(static_cast<unsigned char>(c - '0') < 10 || c == '-' || c == '+' || c == '.'))
        return r;  // text
    if (!parse_plain_decimal(p, n, r) && !parse_plain_with_su(p, n, r))
        r = parse_number(std::string_view(p, n));
    return r;
}

// 8 bytes of an int64 or a double, as a double.
double as_double(bool doubles, const void* bytes) {
    if (doubles) {
        double v;
        std::memcpy(&v, bytes, 8);
        return v;
    }
    std::int64_t v;
    std::memcpy(&v, bytes, 8);
    return static_cast<double>(v);
}

// The numbers of `c` in row group `group`, read from the part into
// `numbers`. False when the part holds something it cannot be made of.
bool gather_numbers(const Source& s, parquet::RowGroupReader& group, const SettleColumn& c,
                    std::int64_t rows, NumberColumn& numbers) {
    numbers.reset();
    const auto physical = s.column(c.index)->physical_type();
    const auto n = static_cast<std::size_t>(rows);
    if (physical == parquet::Type::BYTE_ARRAY) {  // text that becomes numbers
        // Read a batch at a time, each value taken while its page is there.
        constexpr std::int64_t kBatch = 4096;
        auto reader = std::static_pointer_cast<parquet::TypedColumnReader<parquet::ByteArrayType>>(
            group.Column(c.index));
        const bool optional = s.column(c.index)->max_definition_level() > 0;
        std::vector<std::int16_t> defs(kBatch);
        std::vector<parquet::ByteArray> values(kBatch);
        numbers.reserve(n);
        for (std::int64_t done = 0; done < rows;) {
            std::int64_t got = 0;
            const std::int64_t levels =
                reader->ReadBatch(std::min(kBatch, rows - done), optional ? defs.data() : nullptr,
                                  nullptr, values.data(), &got);
            if (levels == 0) throw parquet::ParquetException("a column ends before its row group");
            for (std::int64_t r = 0, k = 0; r < levels; ++r) {
                if (optional && defs[r] == 0) {
                    numbers.done();
                    numbers.push_nulls(1);
                    numbers.reserve(n - static_cast<std::size_t>(done + r));
                    continue;
                }
                const parquet::ByteArray& v = values[k++];
                numbers.add(read_number(reinterpret_cast<const char*>(v.ptr), v.len), false);
            }
            done += levels;
        }
        numbers.done();
        return true;
    }
    PartNumbers part;
    if (!part.read(s, group, c, rows)) return false;
    if (part.doubles) numbers.use_doubles();
    for (std::size_t r = 0; r < n; ++r) {
        PartNumbers::Row row;
        if (!part.next(r, row)) return false;
        numbers.add_row(row.code, row.value, row.su);
    }
    return true;
}

// Whether the numbers of `c` are read from the kept text: integers that
// become float64 (the int64 of `-0` is 0, its text -0.0).
bool from_text(const Source& s, const SettleColumn& c) {
    return c.doubles && c.text_index >= 0 &&
           s.column(c.index)->physical_type() == parquet::Type::INT64;
}

// A chunk's nulls as its footer counts them; -1 when it does not.
std::int64_t chunk_nulls(const Source& s, int group, int column) {
    const auto stats = s.meta->RowGroup(group)->ColumnChunk(column)->encoded_statistics();
    return stats && stats->has_null_count ? stats->null_count : -1;
}

// Whether the kept text of `c` in row group `group` is whole: null only
// in the rows the part has no value of the tag in (text kept before it
// held only what the numbers cannot give back).
bool whole_text(const Source& part, const Source& text, int group, const SettleColumn& c) {
    const std::int64_t kept = chunk_nulls(text, group, c.text_index);
    return kept >= 0 &&
           kept == chunk_nulls(part, group, c.status_index >= 0 ? c.status_index : c.index);
}

// The kept text of `c` in one row group, decoded (none when `c` has no
// kept text): a row's text, or null where its number gives it back.
struct KeptColumn {
    Decoded<parquet::ByteArrayType> column;
    bool any = false;
    std::size_t at = 0;

    void read(Source* text, int group, const SettleColumn& c, std::int64_t rows) {
        // A chunk of nulls alone is not read.
        any = text && c.text_index >= 0 && chunk_nulls(*text, group, c.text_index) != rows;
        at = 0;
        if (any) column.read(*text->reader->RowGroup(group), c.text_index, rows);
    }
    // Row r's kept text, the rows taken in order; null when it has none.
    const parquet::ByteArray* next(std::size_t r) {
        return any && column.defined(r) ? &column.values[at++] : nullptr;
    }
};

// Rows of text appended to a text column being written, the column told
// of the rows with a value in runs.
class TextRows {
public:
    TextRows(TextColumn& column, PageWriter& pages) : column_(column), pages_(pages) {}

    // Room for a value of up to n bytes: write it at the place returned,
    // then end() it with its length.
    char* start(std::size_t n) {
        ByteBuffer& page = column_.values();
        page.reserve_more(4 + n);
        return reinterpret_cast<char*>(page.end()) + 4;
    }
    void end(std::size_t n) {
        ByteBuffer& page = column_.values();
        const auto len = static_cast<std::uint32_t>(n);
        std::memcpy(page.end(), &len, 4);
        page.advance(4 + n);
        if (++values_ == kStep) flush();
    }
    void put(const void* bytes, std::size_t n) {
        char* at = start(n);
        if (n != 0) std::memcpy(at, bytes, n);
        end(n);
    }
    void null() {
        flush();
        column_.push_nulls(1);
    }
    // Tells the column of the rows appended; ends its page when it is full.
    void flush() {
        column_.added_values(values_);
        values_ = 0;
        column_.maybe_cut(pages_);
    }

private:
    static constexpr std::size_t kStep = 4096;  // rows between checks for a full page
    TextColumn& column_;
    PageWriter& pages_;
    std::size_t values_ = 0;  // rows appended since the column was told
};

// The text of the numbers of `c` in one row group into `out`: the kept
// text where a row has it, else the text the row's number gives back (?
// and . for the rows of those; null rows stay null). False when a row of
// text has no kept text, or the part is not laid out as numbers.
bool merge_text(const Source& part, parquet::RowGroupReader& group, KeptColumn& kept,
                const SettleColumn& c, std::int64_t rows, PageWriter& pages, TextColumn& out) {
    PartNumbers numbers;
    if (!numbers.read(part, group, c, rows)) return false;
    TextRows text(out, pages);
    const auto n = static_cast<std::size_t>(rows);
    if (!numbers.doubles && numbers.su_column < 0 && numbers.status_column < 0) {
        // Integers alone (identifiers, counts): each row kept text, its
        // number's decimal digits (as put_number_text writes them) or null.
        const auto& ints = numbers.ints;
        for (std::size_t r = 0, at = 0; r < n; ++r) {
            const bool has_value = ints.defined(r);
            const parquet::ByteArray* own = kept.next(r);
            if (own) {
                text.put(own->ptr, own->len);
            } else if (has_value) {
                char* p = text.start(20);
                text.end(
                    static_cast<std::size_t>(std::to_chars(p, p + 20, ints.values[at]).ptr - p));
            } else {
                text.null();
            }
            at += has_value;
        }
        text.flush();
        out.finish(pages);
        return true;
    }
    std::string scratch;
    for (std::size_t r = 0; r < n; ++r) {
        PartNumbers::Row row;
        if (!numbers.next(r, row)) return false;
        if (const parquet::ByteArray* own = kept.next(r)) {
            text.put(own->ptr, own->len);
        } else if ((row.code & 7) == 0) {
            scratch.clear();
            put_number_text(scratch, numbers.doubles, row.value, row.su);
            text.put(scratch.data(), scratch.size());
        } else if (row.code == 1 || row.code == 2) {
            text.put(row.code == 1 ? "?" : ".", 1);
        } else if (row.code == NumberColumn::kNull) {
            text.null();
        } else {
            return false;  // text that was not kept
        }
    }
    text.flush();
    out.finish(pages);
    return true;
}

// The numbers of integers `c` that become float64, in one row group: the
// part's numbers as doubles, and the rows with kept text read from it
// (where `-0` is -0.0).
bool merge_numbers(const Source& part, parquet::RowGroupReader& group, KeptColumn& kept,
                   const SettleColumn& c, std::int64_t rows, NumberColumn& out) {
    PartNumbers numbers;
    if (!numbers.read(part, group, c, rows)) return false;
    out.reset();
    out.use_doubles();
    for (std::size_t r = 0; r < static_cast<std::size_t>(rows); ++r) {
        PartNumbers::Row row;
        if (!numbers.next(r, row)) return false;
        if (const parquet::ByteArray* own = kept.next(r)) {
            const NumberResult n = read_number(reinterpret_cast<const char*>(own->ptr), own->len);
            auto code = static_cast<std::uint8_t>(n.status);
            if (n.status == NumberStatus::number && n.has_su) code |= NumberColumn::kHasSu;
            out.add_row(code, &n.value, &n.su);
            continue;
        }
        double value = 0, su = 0;
        if (row.value) value = as_double(numbers.doubles, row.value);
        if (row.su) su = as_double(numbers.doubles, row.su);
        out.add_row(row.code, &value, &su);
    }
    return true;
}

// Whether the numbers of `c` keep their physical type: their value (and
// su) chunks can then move as they are, and only the columns added beside
// them are written (see moved_numbers).
bool keeps_type(const Source& s, const SettleColumn& c) {
    const auto* d = s.column(c.index);
    const auto want = c.doubles ? parquet::Type::DOUBLE : parquet::Type::INT64;
    if (d->physical_type() != want || d->max_definition_level() == 0) return false;
    return c.su_index < 0 || (s.column(c.su_index)->physical_type() == want &&
                              s.column(c.su_index)->max_definition_level() > 0);
}

// The value chunk of numbers that keep their type, moved as it is into
// `values`, and `numbers` filled with rows that have no su (the chunk of
// an su column added) and, when the part has no status column, each row's
// status: every row a number, or every row null (a status column added to
// a column of numbers alone). False when that status would need the rows
// decoded (numbers and nulls both).
arrow::Result<bool> moved_numbers(const Source& s, int group, const SettleColumn& c,
                                  std::int64_t rows, std::int32_t codec, ColumnChunk& values,
                                  NumberColumn& numbers) {
    ARROW_ASSIGN_OR_RAISE(const bool copied, copy_chunk(s, group, c.index, codec, values));
    if (!copied || (c.status_index < 0 && values.nulls != 0 && values.nulls != rows)) {
        values.reset();
        return false;
    }
    numbers.reset();
    numbers.push_status(static_cast<std::size_t>(rows),
                        values.nulls == rows ? NumberColumn::kNull : 0);
    return true;
}

// Whether the columns `c` names are in the part and its kept text.
bool numbers_of(const Source& part, const Source* text, const SettleColumn& c) {
    return c.index >= 0 && c.index < part.columns() && c.su_index < part.columns() &&
           c.status_index < part.columns() &&
           (c.text_index < 0 ||
            (text && c.text_index < text->columns() &&
             text->column(c.text_index)->physical_type() == parquet::Type::BYTE_ARRAY));
}

arrow::Result<bool> settle(const SettleJob& job) {
    Source part;
    ARROW_RETURN_NOT_OK(part.open(job.part));
    if (!part.by_engine()) return false;
    std::unique_ptr<Source> text;
    if (!job.text.empty() && ::access(job.text.c_str(), F_OK) == 0) {
        text = std::make_unique<Source>();
        ARROW_RETURN_NOT_OK(text->open(job.text));
        if (!text->by_engine()) return false;
        const int groups = part.meta->num_row_groups();
        if (text->meta->num_row_groups() != groups) return false;
        for (int g = 0; g < groups; ++g)
            if (text->meta->RowGroup(g)->num_rows() != part.meta->RowGroup(g)->num_rows())
                return false;
    }

    PageWriter pages;
    const std::int32_t codec = pages.codec_id();
    // The settled part's columns, and which chunk of which source each takes.
    std::vector<FileColumn> columns;
    struct Take {
        const SettleColumn* column;
        int role;  // 0: the values (or the copied chunk), 1: su, 2: status
    };
    std::vector<Take> takes;
    for (const SettleColumn& c : job.columns) {
        switch (c.source) {
            case SettleColumn::Part: {
                if (c.index < 0 || c.index >= part.columns()) return false;
                const auto* d = part.column(c.index);
                FileColumn f{d->name(), false, d->max_definition_level() > 0, pq::kByteArray};
                if (!physical_of(d->physical_type(), f.physical)) return false;
                columns.push_back(std::move(f));
                takes.push_back({&c, 0});
                break;
            }
            case SettleColumn::Text:
                if (!numbers_of(part, text.get(), c)) return false;
                columns.push_back({c.name, false, true, pq::kByteArray});
                takes.push_back({&c, 0});
                break;
            case SettleColumn::Numbers: {
                if (!numbers_of(part, text.get(), c)) return false;
                const pq::Physical p = c.doubles ? pq::kDouble : pq::kInt64;
                columns.push_back({c.name, false, true, p});
                takes.push_back({&c, 0});
                if (!c.su.empty()) {
                    columns.push_back({c.su, false, true, p});
                    takes.push_back({&c, 1});
                }
                if (!c.status.empty()) {
                    columns.push_back({c.status, true, true, pq::kByteArray});
                    takes.push_back({&c, 2});
                }
                break;
            }
        }
    }
    for (int k : job.text_add)
        if (k < 0 || k >= part.columns() ||
            part.column(k)->physical_type() != parquet::Type::BYTE_ARRAY)
            return false;

    ParquetFile out, text_out;
    ARROW_RETURN_NOT_OK(out.open(job.out, columns, codec));
    if (!job.text_out.empty()) {
        std::vector<FileColumn> kept;
        if (text)
            for (int k = 0; k < text->columns(); ++k)
                kept.push_back({text->column(k)->name(), false, true, pq::kByteArray});
        for (int k : job.text_add)
            kept.push_back({part.column(k)->name(), false, true, pq::kByteArray});
        ARROW_RETURN_NOT_OK(text_out.open(job.text_out, std::move(kept), codec));
    }

    std::vector<ColumnChunk> chunks(columns.size());
    std::vector<const ColumnChunk*> pointers(columns.size());
    NumberColumn numbers;
    KeptColumn kept_text;
    // The text columns written from kept text and numbers, by take.
    std::vector<std::unique_ptr<TextColumn>> merged(takes.size());
    for (int g = 0; g < part.meta->num_row_groups(); ++g) {
        const std::int64_t rows = part.meta->RowGroup(g)->num_rows();
        std::shared_ptr<parquet::RowGroupReader> group, text_group;
        const SettleColumn* gathered = nullptr;
        bool moved = false;  // the numbers of `gathered` keep their chunks
        for (std::size_t k = 0; k < takes.size(); ++k) {
            const auto [c, role] = takes[k];
            ColumnChunk& chunk = chunks[k];
            pointers[k] = &chunk;
            if (c->source == SettleColumn::Part) {
                ARROW_ASSIGN_OR_RAISE(const bool copied,
                                      copy_chunk(part, g, c->index, codec, chunk));
                if (!copied) return false;
                continue;
            }
            if (c->source == SettleColumn::Text) {
                if (text && c->text_index >= 0 && whole_text(part, *text, g, *c)) {
                    ARROW_ASSIGN_OR_RAISE(const bool copied,
                                          copy_chunk(*text, g, c->text_index, codec, chunk));
                    if (!copied) return false;
                    continue;
                }
                if (!merged[k]) merged[k] = std::make_unique<TextColumn>();
                TextColumn& column = *merged[k];
                column.reset();
                if (!group) group = part.reader->RowGroup(g);
                kept_text.read(text.get(), g, *c, rows);
                if (!merge_text(part, *group, kept_text, *c, rows, pages, column)) return false;
                pointers[k] = &column.chunk;
                continue;
            }
            if (gathered != c) {
                gathered = c;
                if (keeps_type(part, *c)) {
                    ARROW_ASSIGN_OR_RAISE(moved,
                                          moved_numbers(part, g, *c, rows, codec, chunk, numbers));
                    if (moved) continue;  // the values
                } else {
                    moved = false;
                }
                if (from_text(part, *c) && whole_text(part, *text, g, *c)) {
                    // Integers that become float64: their text, where -0 is -0.0.
                    SettleColumn whole;
                    whole.index = c->text_index;
                    if (!text_group) text_group = text->reader->RowGroup(g);
                    if (!gather_numbers(*text, *text_group, whole, rows, numbers)) return false;
                } else if (from_text(part, *c)) {
                    // The same, from the part's numbers and the text kept of the others.
                    if (!group) group = part.reader->RowGroup(g);
                    kept_text.read(text.get(), g, *c, rows);
                    if (!merge_numbers(part, *group, kept_text, *c, rows, numbers)) return false;
                } else {
                    if (!group) group = part.reader->RowGroup(g);
                    if (!gather_numbers(part, *group, *c, rows, numbers)) return false;
                }
                if (!c->doubles && numbers.doubles()) return false;  // fractions in an int64 column
            }
            const int own = role == 1 ? c->su_index : role == 2 ? c->status_index : -1;
            if (moved && own >= 0) {  // the part's su or status, as it is
                ARROW_ASSIGN_OR_RAISE(const bool copied, copy_chunk(part, g, own, codec, chunk));
                if (!copied) return false;
                continue;
            }
            chunk.reset();
            if (role == 0)
                numbers.encode_values(pages, chunk, c->doubles);
            else if (role == 1)
                numbers.encode_su(pages, chunk, c->doubles);
            else
                numbers.encode_status(pages, chunk);
        }
        ARROW_RETURN_NOT_OK(out.write_row_group(rows, pointers));
        if (!job.text_out.empty()) {
            std::vector<ColumnChunk> kept(static_cast<std::size_t>(text ? text->columns() : 0) +
                                          job.text_add.size());
            std::vector<const ColumnChunk*> kept_pointers;
            std::size_t k = 0;
            for (int c = 0; text && c < text->columns(); ++c, ++k) {
                ARROW_ASSIGN_OR_RAISE(const bool copied, copy_chunk(*text, g, c, codec, kept[k]));
                if (!copied) return false;
                kept_pointers.push_back(&kept[k]);
            }
            for (int c : job.text_add) {
                ARROW_ASSIGN_OR_RAISE(const bool copied, copy_chunk(part, g, c, codec, kept[k]));
                if (!copied) return false;
                kept_pointers.push_back(&kept[k++]);
            }
            ARROW_RETURN_NOT_OK(text_out.write_row_group(rows, kept_pointers));
        }
    }
    if (!job.key.empty()) out.set_metadata(job.key, job.value);
    ARROW_RETURN_NOT_OK(out.close());
    if (!job.text_out.empty()) ARROW_RETURN_NOT_OK(text_out.close());
    return true;
}

}  // namespace

arrow::Result<bool> settle_part(const SettleJob& job) {
    arrow::Result<bool> done;
    try {
        done = settle(job);
    } catch (const parquet::ParquetException& e) {
        done = arrow::Status::IOError(job.part, ": ", e.what());
    }
    if (!done.ok() || !*done) {
        ::unlink(job.out.c_str());
        if (!job.text_out.empty()) ::unlink(job.text_out.c_str());
    }
    return done;
}

}  // namespace quarzel::dataset
