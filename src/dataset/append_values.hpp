// The hot path of the archive engine: the values of one column into its
// pages, each as Parquet's plain encoding has it, a 4-byte length and the
// bytes, straight from the document; full pages are compressed as they
// fill. A typed run also hands each value to `on_value(text, compound,
// padded)` (padded: at least 16 bytes of the file's text follow its start).
#pragma once

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "core/cell_text.hpp"
#include "dataset/worker.hpp"

namespace quarzel::dataset {

// The hook of an untyped run: nothing.
struct NoNumbers {
    void operator()(std::string_view, bool, bool) const noexcept {}
};

// Returns the bytes written.
template <class Column, class OnValue>
std::size_t Worker::append_values(TextColumn& c, const Column& values, std::size_t n,
                                  OnValue&& on_value) {
    constexpr std::size_t kStep = 4096;  // values between checks for a full page
    const auto text_begin = reinterpret_cast<std::uintptr_t>(text_.data());
    const std::size_t text_size = text_.size();
    ByteBuffer& page = c.values();
    std::size_t written = 0;
    for (std::size_t r = 0; r < n;) {
        const std::size_t stop = std::min(n, r + kStep);
        const std::size_t first = r;
        // The page's end and how far it may be written, kept in registers;
        // the buffer learns of the bytes when the step ends or it must grow.
        unsigned char* out = page.end();
        unsigned char* limit = page.data() + page.capacity() - ByteBuffer::kSpare;
        std::size_t grown = 0;  // bytes handed to the buffer mid-step
        auto put = [&](const ValueRef& ref) {
            std::string_view text = ref.text;
            if (ref.compound) [[unlikely]] {
                cell_.clear();
                StringWriter w{cell_};
                put_cell(w, *ref.compound, ref.root);
                text = cell_;
            }
            const std::size_t len = text.size();
            if (static_cast<std::size_t>(limit - out) < 4 + len) [[unlikely]] {
                grown += static_cast<std::size_t>(out - page.end());
                page.advance(static_cast<std::size_t>(out - page.end()));
                page.reserve_more(4 + len);
                out = page.end();
                limit = page.data() + page.capacity() - ByteBuffer::kSpare;
            }
            const auto len32 = static_cast<std::uint32_t>(len);
            std::memcpy(out, &len32, 4);
            // Short slices of the file's text move as one 16-byte word: the
            // buffer has spare bytes past its end for the overshoot.
            const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(text.data()) - text_begin;
            const bool padded = at < text_size && text_size - at >= 16;
            if (len <= 16 && padded)
                std::memcpy(out + 4, text.data(), 16);
            else if (len != 0)
                std::memcpy(out + 4, text.data(), len);
            out += 4 + len;
            on_value(text, ref.compound != nullptr, padded);
        };
        if constexpr (std::is_same_v<Column, RefColumn>) {
            values.for_each(r, stop, put);
            r = stop;
        } else {
            for (; r < stop; ++r) put(values[r]);
        }
        const std::size_t tail = static_cast<std::size_t>(out - page.end());
        page.advance(tail);
        written += grown + tail;
        c.added_values(r - first);
        c.maybe_cut(pages_);
    }
    return written;
}

}  // namespace quarzel::dataset
