// Python objects from the native document: str for scalars, list for lists,
// dict for tables. Shared by parse_raw and the object model.
#pragma once

#include "binding/pyref.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/document.hpp"

namespace quarzel::py {

// Creates the Python objects of one document. Short texts that repeat (as
// the values of a column usually do) share one str object; conversions
// never recurse, so values of any depth convert.
class Converter {
public:
    Converter();
    ~Converter();
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // A str of UTF-8 the core produced. Null with the error set on failure.
    PyRef text(std::string_view text);
    // A tag name held by the document: one str object per name (names
    // repeat across frames, loops and tag orders). `name` must outlive the
    // converter.
    PyRef name(std::string_view name);
    // A list of names.
    PyRef name_list(std::span<const std::string_view> names);
    // The value at node `root` of `nodes`: a text becomes a str, a list a
    // list, a table a dict (a repeated key keeps its first position and
    // takes the value of its last entry).
    PyRef value(const NodeStore& nodes, std::size_t root);
    // One element per stored value, in order (in the Packed layout, lists
    // and tables read back from their cell text).
    PyRef column(const ValueColumn& column);
    // The list or dict a compound cell text (NUL, then JSON-like text, as
    // put_cell writes it) stands for.
    PyRef cell(std::string_view text);

private:
    static constexpr std::size_t kMaxCached = 16;
    static constexpr unsigned kSlotBits = 12;
    static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
    // A short text is identified by its size and two words that together
    // cover all its bytes.
    struct Slot {
        std::uint64_t a = 0, b = 0;
        std::size_t size = 0;
        PyRef str;
    };
    PyRef fresh(std::string_view text);
    std::unique_ptr<std::array<Slot, kSlots>> cache_;
    // Names are views of the document's one copy of each: the view itself
    // identifies the name (two views of equal text merely make two str).
    struct ViewHash {
        std::size_t operator()(std::string_view s) const noexcept {
            const auto p = reinterpret_cast<std::uintptr_t>(s.data());
            return static_cast<std::size_t>((p ^ s.size() << 48) * 0x9E3779B97F4A7C15ull >> 16);
        }
    };
    struct SameView {
        bool operator()(std::string_view a, std::string_view b) const noexcept {
            return a.data() == b.data() && a.size() == b.size();
        }
    };
    std::unordered_map<std::string_view, PyRef, ViewHash, SameView> names_;
};

PyRef column_to_list(const ValueColumn& column);

}  // namespace quarzel::py
