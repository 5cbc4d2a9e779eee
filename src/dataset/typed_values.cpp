// A typed run's reading side: each value of a column that may hold numbers
// is read as a number as it goes into the row group (kinds.hpp).
#include <algorithm>
#include <type_traits>

#include "core/cell_text.hpp"
#include "core/number_inline.hpp"
#include "dataset/append_values.hpp"

namespace quarzel::dataset {

namespace {

// Whether a value's first byte may begin a number (a digit, a sign or a
// point): words such as CA or ALA go by without a parse.
inline bool may_be_number(std::string_view text) noexcept {
    if (text.empty()) return false;
    const auto c = static_cast<unsigned char>(text[0]);
    return static_cast<unsigned char>(c - '0') < 10 || c == '-' || c == '+' || c == '.';
}

// Takes each value of a column as a number. Most values are plain decimals
// of at most eight bytes, read eight bytes at a time where the file's text
// goes on that far; ? . and words are told at their first byte; the others
// go through parse_number.
struct NumberSink {
    NumberColumn& numbers;
    TextColumn* cells;  // typed by a dictionary: the text of the cells that are text
    PageWriter& pages;
    bool integers_only;
    NumberResult r{};            // reused: each path sets what add() reads of it
    std::size_t nulls = 0;       // cells not yet pushed as null
    std::size_t cell_bytes = 0;  // text of cells written

    [[gnu::always_inline]] void operator()(std::string_view text, bool compound, bool padded) {
        if (compound) [[unlikely]] {
            r.status = NumberStatus::text;
        } else if (text.size() == 1 && (text[0] == '?' || text[0] == '.')) {
            r.status = text[0] == '?' ? NumberStatus::unknown : NumberStatus::inapplicable;
        } else if (!may_be_number(text)) {
            r.status = NumberStatus::text;
        } else {
            const bool plain = padded ? parse_plain_decimal_padded(text.data(), text.size(), r)
                                      : parse_plain_decimal(text.data(), text.size(), r);
            if (!plain && !parse_plain_with_su(text.data(), text.size(), r)) r = parse_number(text);
        }
        const std::uint8_t code = numbers.add(r, integers_only);
        if (!cells) return;
        if (code != static_cast<std::uint8_t>(NumberStatus::text)) {
            ++nulls;
            return;
        }
        cells->push_nulls(std::exchange(nulls, 0));
        ByteBuffer& page = cells->values();
        page.reserve_more(4 + text.size());
        const auto len = static_cast<std::uint32_t>(text.size());
        std::memcpy(page.end(), &len, 4);
        if (!text.empty()) std::memcpy(page.end() + 4, text.data(), text.size());
        page.advance(4 + text.size());
        cells->added_values(1);
        cells->maybe_cut(pages);
        cell_bytes += 4 + text.size();
    }
    void finish() {
        if (cells) cells->push_nulls(std::exchange(nulls, 0));
        numbers.done();
    }
};

// The text of a typed column's values that their numbers do not give
// back, into the tag's text column, the others' rows null. The page is not
// cut as it fills: fill_text may read it back (its bytes are few, most
// numbers giving their text back). Values kept one after another (a column
// of ? or .) are written in a run, as append_values writes them.
struct KeptText {
    TagColumn& column;
    unsigned char* out = nullptr;    // the page's end while a run is written
    unsigned char* limit = nullptr;  // how far the run may write
    std::size_t rows = 0;            // rows of the call written or left out
    std::size_t run = 0;             // values of the run not yet added
    std::size_t written = 0;

    // `padded`: eight bytes can be read from the text's start.
    [[gnu::always_inline]] void keep(std::string_view text, std::size_t row, bool padded) {
        const std::size_t len = text.size();
        if (row != rows || static_cast<std::size_t>(limit - out) < 4 + len) [[unlikely]]
            start(row, 4 + len);
        const auto len32 = static_cast<std::uint32_t>(len);
        std::memcpy(out, &len32, 4);
        // A short text moves as one word: the page has spare bytes past its end.
        if (len <= 8 && padded)
            std::memcpy(out + 4, text.data(), 8);
        else if (len != 0)
            std::memcpy(out + 4, text.data(), len);
        out += 4 + len;
        written += 4 + len;
        ++run;
        rows = row + 1;
    }
    // Ends the run; rows before `row` not yet written are left out (their
    // numbers give their text back) and null.
    void left_out(std::size_t row) {
        if (run != 0) {
            column.values().advance(static_cast<std::size_t>(out - column.values().end()));
            column.added_values(run);
            run = 0;
        }
        if (row != rows) {
            column.push_nulls(row - rows);
            column.typed->left_out += row - rows;
            rows = row;
        }
    }

private:
    [[gnu::noinline]] void start(std::size_t row, std::size_t bytes) {
        left_out(row);
        ByteBuffer& page = column.values();
        page.reserve_more(std::max<std::size_t>(bytes, 4096));
        out = page.end();
        limit = page.data() + page.capacity() - ByteBuffer::kSpare;
    }
};

}  // namespace

void Worker::start_typed(TagColumn& c, std::string_view table) {
    auto ty = std::make_unique<TypedColumn>();
    if (options_.typing == Typing::Dictionary) {
        auto it = options_.declared.find(c.name);
        ty->declared = it != options_.declared.end() ? it->second : Declared::Text;
    } else {
        ty->run = shared_.kinds.column(table, c.name);
    }
    ty->reset();
    c.typed = std::move(ty);
}

std::size_t Worker::append_typed(TagColumn& c, const ValueColumn& values, std::size_t n) {
    TypedColumn& ty = *c.typed;
    if (ty.by_dictionary()) {
        if (ty.declared == Declared::Text) return append_values(c, values, n);
        // Numbers only: the text of the cells that are no numbers goes to
        // `<tag>_text`, the tag's own text column stays empty.
        c.push_nulls(n);
        if (const RefColumn* refs = values.refs_column()) return append_numbers(ty, *refs, n);
        return append_numbers(ty, *values.packed_column(), n);
    }
    // Text somewhere in the run: the column is text, its numbers void (the
    // rows so far get their whole text back first).
    if (!ty.unseen && (ty.run->get() & kinds::kText)) {
        fill_text(c);
        ty.unseen = true;
    }
    if (ty.unseen) return append_values(c, values, n);
    if ((ty.run->get() & kinds::kFraction) && !ty.numbers.doubles()) ty.numbers.use_doubles();
    // The numbers, in a loop of their own that keeps its output in
    // registers, and beside them the text of those that do not give it back.
    KeptText kept{c};
    const auto text_begin = reinterpret_cast<std::uintptr_t>(text_.data());
    // A value starting below this offset in the file's text has eight bytes
    // to read (none does in a text shorter than eight bytes).
    const std::size_t padded_below = text_.size() >= 8 ? text_.size() - 7 : 0;
    ty.numbers.add_texts(
        n,
        [&](auto&& f) __attribute__((always_inline)) {
            auto put = [&](const ValueRef& ref) __attribute__((always_inline)) {
                if (ref.compound) [[unlikely]] {
                    cell_.clear();  // a list or table: text, kept as its cell text
                    StringWriter w{cell_};
                    put_cell(w, *ref.compound, ref.root);
                    f(std::string_view(cell_), false);
                    return;
                }
                const std::uintptr_t at =
                    reinterpret_cast<std::uintptr_t>(ref.text.data()) - text_begin;
                f(ref.text, at < padded_below);
            };
            const RefColumn* refs = values.refs_column();
            if (refs && refs->all_slices()) {
                // Every value a slice of one text: where each starts told from
                // its offset alone, the bounds in registers.
                // A value is padded when its offset from the base is below
                // `below` (none is when the base starts past the padded bytes).
                const char* const base = refs->base().base;
                const std::uintptr_t base_at = reinterpret_cast<std::uintptr_t>(base) - text_begin;
                const std::size_t below = base_at < padded_below ? padded_below - base_at : 0;
                refs->for_each_slice_at(0, n,
                                        [&f, base, below](std::uint32_t off, std::size_t len)
                                            __attribute__((always_inline)) {
                                                f(std::string_view(base + off, len), off < below);
                                            });
            } else if (refs) {
                refs->for_each(0, n, put);
            } else {
                const PackedColumn& packed = *values.packed_column();
                for (std::size_t r = 0; r < n; ++r) put(packed[r]);
            }
        },
        kept);
    kept.left_out(n);
    ty.run->add(ty.numbers.kinds());
    return kept.written + 9 * n;
}

void Worker::fill_text(TagColumn& c) {
    TypedColumn& ty = *c.typed;
    if (ty.left_out == 0) return;
    const NumberColumn& numbers = ty.numbers;
    const unsigned char* status = numbers.status();
    const std::size_t rows = numbers.size();
    // Where the next row's value and su are, walking the rows in order.
    std::size_t next = 0, value = 0, su = 0;
    c.fill_nulls(pages_, [&](std::size_t row, std::string& out) {
        for (; next < row && next < rows; ++next) {
            if ((status[next] & 7) != 0) continue;
            ++value;
            if (status[next] & NumberColumn::kHasSu) ++su;
        }
        if (row >= rows || (status[row] & 7) != 0) return false;  // null: no value
        const bool has_su = status[row] & NumberColumn::kHasSu;
        put_number_text(out, numbers.doubles(), numbers.values() + 8 * value,
                        has_su ? numbers.sus() + 8 * su : nullptr);
        return true;
    });
    ty.left_out = 0;
}

// The values of a column a dictionary types as numbers: no text pages.
// Returns the bytes the row group grew by.
template <class Column>
std::size_t Worker::append_numbers(TypedColumn& ty, const Column& values, std::size_t n) {
    const auto text_begin = reinterpret_cast<std::uintptr_t>(text_.data());
    const std::size_t text_size = text_.size();
    ty.numbers.reserve(n);
    NumberSink sink{ty.numbers, &ty.text_cells, pages_, ty.declared == Declared::Integer};
    auto put = [&](const ValueRef& ref) {
        if (ref.compound) [[unlikely]] {
            cell_.clear();
            StringWriter w{cell_};
            put_cell(w, *ref.compound, ref.root);
            sink(cell_, true, false);
            return;
        }
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(ref.text.data()) - text_begin;
        sink(ref.text, false, at < text_size && text_size - at >= 8);
    };
    if constexpr (std::is_same_v<Column, RefColumn>) {
        values.for_each(0, n, put);
    } else {
        for (std::size_t r = 0; r < n; ++r) put(values[r]);
    }
    sink.finish();
    return sink.cell_bytes + 9 * n;
}

}  // namespace quarzel::dataset
