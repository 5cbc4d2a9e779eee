// The container's structure read from the MessagePack tree, every field
// checked for its type before use.
#include "bcif/container.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>

#include "bcif/msgpack_tree.hpp"
#include "core/file_text.hpp"

namespace quarzel::bcif {

bool valid_dtype(std::int64_t code) noexcept {
    return (code >= 1 && code <= 6) || code == 32 || code == 33;
}

bool is_float(DType t) noexcept {
    return t == DType::Float32 || t == DType::Float64;
}

std::size_t dtype_size(DType t) noexcept {
    switch (t) {
        case DType::Int8:
        case DType::Uint8:
            return 1;
        case DType::Int16:
        case DType::Uint16:
            return 2;
        case DType::Int32:
        case DType::Uint32:
        case DType::Float32:
            return 4;
        case DType::Float64:
            return 8;
    }
    return 1;
}

std::string_view dtype_name(DType t) noexcept {
    switch (t) {
        case DType::Int8:
            return "Int8";
        case DType::Int16:
            return "Int16";
        case DType::Int32:
            return "Int32";
        case DType::Uint8:
            return "Uint8";
        case DType::Uint16:
            return "Uint16";
        case DType::Uint32:
            return "Uint32";
        case DType::Float32:
            return "Float32";
        case DType::Float64:
            return "Float64";
    }
    return "?";
}

std::string_view kind_name(Kind k) noexcept {
    switch (k) {
        case Kind::ByteArray:
            return "ByteArray";
        case Kind::FixedPoint:
            return "FixedPoint";
        case Kind::IntervalQuantization:
            return "IntervalQuantization";
        case Kind::RunLength:
            return "RunLength";
        case Kind::Delta:
            return "Delta";
        case Kind::IntegerPacking:
            return "IntegerPacking";
        case Kind::StringArray:
            return "StringArray";
    }
    return "?";
}

std::string Where::text() const {
    if (!block) return "BinaryCIF file";
    std::string out = "block " + quoted(*block);
    if (category) out += ", category " + quoted(*category);
    if (column) out += ", column " + quoted(*column);
    return out;
}

namespace {

// `text` with each byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string mend_utf8(std::string_view text) {
    std::string fixed;
    for (std::size_t bad = first_invalid_utf8(text); bad != std::string_view::npos;
         bad = first_invalid_utf8(text)) {
        fixed.append(text.substr(0, bad));
        fixed += "\xEF\xBF\xBD";
        text.remove_prefix(bad + 1);
    }
    fixed.append(text);
    return fixed;
}

}  // namespace

NativeParseError problem(ErrorType type, std::string message, std::string recovery) {
    NativeParseError e;
    e.error_type = type;
    // Messages quote names and parameters of the file, which may be any bytes.
    e.message = valid_utf8(message) ? std::move(message) : mend_utf8(message);
    e.context = "BinaryCIF";
    e.recovery_action = std::move(recovery);
    return e;
}

bool looks_like_bcif(std::string_view input) noexcept {
    if (input.size() < 2) return false;
    const auto b = static_cast<unsigned char>(input[0]);
    std::size_t at;
    if (b >= 0x81 && b <= 0x8f)
        at = 1;
    else if (b == 0xde)
        at = 3;
    else if (b == 0xdf)
        at = 5;
    else
        return false;
    if (at >= input.size()) return false;
    const auto s = static_cast<unsigned char>(input[at]);
    std::size_t len, start;
    if (s >= 0xa0 && s <= 0xbf) {
        len = s & 0x1f;
        start = at + 1;
    } else if (s == 0xd9 && at + 1 < input.size()) {
        len = static_cast<unsigned char>(input[at + 1]);
        start = at + 2;
    } else {
        return false;
    }
    if (start + len > input.size()) return false;
    const std::string_view key = input.substr(start, len);
    return key == "version" || key == "encoder" || key == "dataBlocks";
}

namespace {

constexpr std::uint32_t npos = MsgTree::npos;

// Where in a column a field lies ("data.encoding[2].dataEncoding[0]"),
// spelled out only for a message.
struct Path {
    const Path* parent = nullptr;
    std::string_view name;  // a field, or empty for an array index
    std::size_t index = 0;

    std::string text() const {
        std::string out = parent ? parent->text() : std::string();
        if (name.empty()) {
            out += "[" + std::to_string(index) + "]";
        } else {
            if (!out.empty()) out += '.';
            out += name;
        }
        return out;
    }
};

// The keys of an encoding's map that decoding reads, each with a slot.
enum Slot : int {
    kKind,
    kType,
    kFactor,
    kSrcType,
    kMin,
    kMax,
    kNumSteps,
    kSrcSize,
    kOrigin,
    kByteCount,
    kIsUnsigned,
    kStringData,
    kOffsets,
    kDataEncoding,
    kOffsetEncoding,
    kFieldCount,
};
constexpr std::string_view kFieldNames[kFieldCount] = {
    "kind",       "type",       "factor",  "srcType",      "min",
    "max",        "numSteps",   "srcSize", "origin",       "byteCount",
    "isUnsigned", "stringData", "offsets", "dataEncoding", "offsetEncoding",
};

// Up to eight bytes of a name as one little-endian word, the rest zero.
constexpr std::uint64_t name_word(std::string_view s, std::size_t from, std::size_t n) {
    std::uint64_t w = 0;
    for (std::size_t i = 0; i < n; ++i)
        w |= std::uint64_t{static_cast<unsigned char>(s[from + i])} << (8 * i);
    return w;
}
// The same from the input: `N` bytes at `p` (a copy of constant size, one load).
template <std::size_t N>
[[gnu::always_inline]] inline std::uint64_t load_word(const char* p) noexcept {
    std::uint64_t w = 0;
    std::memcpy(&w, p, N);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w) >> (64 - 8 * N);
    return w;
}
// True when `k` (of the same size as `name`, known to the caller) holds
// `name`: one word compared for up to eight bytes, two (the first eight and
// the last eight, overlapping) for up to sixteen.
template <std::size_t N>
[[gnu::always_inline]] inline bool same_name(const char* k, std::string_view name) noexcept {
    static_assert(N >= 1 && N <= 16);
    if constexpr (N <= 8) {
        return load_word<N>(k) == name_word(name, 0, N);
    } else {
        return load_word<8>(k) == name_word(name, 0, 8) &&
               load_word<8>(k + N - 8) == name_word(name, N - 8, 8);
    }
}

// The slot of `key`, or -1 for a key decoding does not read: one length
// test and a word comparison or two.
[[gnu::always_inline]] inline int field_slot(std::string_view key) noexcept {
    const char* k = key.data();
    auto is = [k]<std::size_t N>(Slot slot) {
        return same_name<N>(k, kFieldNames[slot]) ? static_cast<int>(slot) : -1;
    };
    int slot = -1;
    switch (key.size()) {
        case 3:
            slot = is.template operator()<3>(kMin);
            return slot >= 0 ? slot : is.template operator()<3>(kMax);
        case 4:
            slot = is.template operator()<4>(kKind);
            return slot >= 0 ? slot : is.template operator()<4>(kType);
        case 6:
            slot = is.template operator()<6>(kFactor);
            return slot >= 0 ? slot : is.template operator()<6>(kOrigin);
        case 7:
            slot = is.template operator()<7>(kSrcType);
            if (slot < 0) slot = is.template operator()<7>(kSrcSize);
            return slot >= 0 ? slot : is.template operator()<7>(kOffsets);
        case 8:
            return is.template operator()<8>(kNumSteps);
        case 9:
            return is.template operator()<9>(kByteCount);
        case 10:
            slot = is.template operator()<10>(kIsUnsigned);
            return slot >= 0 ? slot : is.template operator()<10>(kStringData);
        case 12:
            return is.template operator()<12>(kDataEncoding);
        case 14:
            return is.template operator()<14>(kOffsetEncoding);
        default:
            return -1;
    }
}

// The encoding a "kind" names, if any.
std::optional<Kind> kind_of(std::string_view kind) noexcept {
    const char* k = kind.data();
    switch (kind.size()) {
        case 5:
            if (same_name<5>(k, "Delta")) return Kind::Delta;
            return std::nullopt;
        case 9:
            if (same_name<9>(k, "ByteArray")) return Kind::ByteArray;
            if (same_name<9>(k, "RunLength")) return Kind::RunLength;
            return std::nullopt;
        case 10:
            if (same_name<10>(k, "FixedPoint")) return Kind::FixedPoint;
            return std::nullopt;
        case 11:
            if (same_name<11>(k, "StringArray")) return Kind::StringArray;
            return std::nullopt;
        case 14:
            if (same_name<14>(k, "IntegerPacking")) return Kind::IntegerPacking;
            return std::nullopt;
        case 20:
            if (kind == "IntervalQuantization") return Kind::IntervalQuantization;
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

// Reads the tree, one level at a time; each fault is recorded where it lies.
class Reader {
public:
    Reader(const MsgTree& tree, File& file) : t_(tree), file_(file) {}

    void file() {
        if (t_.empty()) return;
        if (t_[0].type != MsgType::Map) {
            fail(ErrorType::Syntactic, Where{},
                 "not BinaryCIF: the MessagePack value is " + article(t_[0].type) + ", not a map",
                 "nothing read");
            return;
        }
        const Where here{};
        // The version is kept but not checked: writers disagree on it (ihm
        // writes its own version), and decoding goes by each column's
        // encodings, whose faults are reported where they lie.
        if (std::uint32_t v = t_.find(0, "version"); v != npos && t_[v].type == MsgType::Str)
            file_.version = t_[v].bytes();
        if (std::uint32_t v = t_.find(0, "encoder"); v != npos && t_[v].type == MsgType::Str)
            file_.encoder = t_[v].bytes();
        const std::uint32_t blocks = t_.find(0, "dataBlocks");
        if (blocks == npos) {
            fail(ErrorType::Syntactic, here, "no \"dataBlocks\"", "nothing read");
            return;
        }
        if (t_[blocks].type != MsgType::Array) {
            wrong_type(here, "dataBlocks", blocks, "an array", "nothing read");
            return;
        }
        file_.blocks.reserve(t_[blocks].count);
        each(blocks, [&](std::uint32_t b, std::size_t index) { block(b, index); });
    }

private:
    template <class F>
    void each(std::uint32_t array, F&& f) {
        std::uint32_t c = MsgTree::first_child(array);
        for (std::uint32_t n = 0; n < t_[array].count; ++n) {
            f(c, n);
            c = t_.next_sibling(c);
        }
    }

    // The values of a map's keys in one pass, like MsgTree::find for each
    // (string keys only, the first occurrence wins): `slot_of` gives a key's
    // slot in `out`, or -1; slots of keys not found stay npos.
    template <std::size_t N, class SlotOf>
    void gather(std::uint32_t map, SlotOf slot_of, std::uint32_t (&out)[N]) const {
        std::fill(std::begin(out), std::end(out), npos);
        std::uint32_t k = MsgTree::first_child(map);
        for (std::uint32_t n = 0; n + 1 < t_[map].count; n += 2) {
            const std::uint32_t v = t_.next_sibling(k);
            if (t_[k].type == MsgType::Str) {
                const int slot = slot_of(t_[k].bytes());
                if (slot >= 0 && out[slot] == npos) out[slot] = v;
            }
            k = t_.next_sibling(v);
        }
    }

    static std::string article(MsgType type) {
        const std::string_view name = msg_type_name(type);
        const bool vowel = name[0] == 'a' || name[0] == 'e' || name[0] == 'i';
        return std::string(vowel ? "an " : "a ") + std::string(name);
    }

    void fail(ErrorType type, const Where& where, std::string what, std::string recovery) {
        file_.errors.push_back(problem(type, where.text() + ": " + what, std::move(recovery)));
    }
    void wrong_type(const Where& where, std::string_view key, std::uint32_t node,
                    std::string_view wanted, std::string recovery) {
        fail(ErrorType::Syntactic, where,
             "\"" + std::string(key) + "\" is " + article(t_[node].type) + ", not " +
                 std::string(wanted),
             std::move(recovery));
    }
    // A string field of a map; false (recorded) when missing or not a string.
    bool text(std::uint32_t map, std::string_view key, const Where& where, std::string_view& out,
              const char* recovery) {
        const std::uint32_t v = t_.find(map, key);
        if (v == npos) {
            fail(ErrorType::Syntactic, where, "no \"" + std::string(key) + "\"", recovery);
            return false;
        }
        if (t_[v].type != MsgType::Str) {
            wrong_type(where, key, v, "a string", recovery);
            return false;
        }
        out = t_[v].bytes();
        return true;
    }

    void block(std::uint32_t b, std::size_t index) {
        Where here{};
        const std::string position = "the " + ordinal(index + 1) + " data block";
        if (t_[b].type != MsgType::Map) {
            file_.errors.push_back(problem(
                ErrorType::Syntactic,
                "BinaryCIF file: " + position + " is " + article(t_[b].type) + ", not a map",
                "block skipped"));
            return;
        }
        std::string_view header;
        const std::uint32_t h = t_.find(b, "header");
        if (h == npos || t_[h].type != MsgType::Str) {
            file_.errors.push_back(problem(
                ErrorType::Syntactic,
                "BinaryCIF file: " + position +
                    (h == npos
                         ? std::string(" has no \"header\"")
                         : " has a \"header\" that is " + article(t_[h].type) + ", not a string"),
                "block skipped"));
            return;
        }
        header = utf8_name(t_[h].bytes(), here, "block header");
        here.block = header;
        Block& out = file_.blocks.emplace_back();
        out.header = header;
        const std::uint32_t cats = t_.find(b, "categories");
        if (cats == npos) {
            fail(ErrorType::Syntactic, here, "no \"categories\"", "block read without categories");
            return;
        }
        if (t_[cats].type != MsgType::Array) {
            wrong_type(here, "categories", cats, "an array", "block read without categories");
            return;
        }
        out.categories.reserve(t_[cats].count);
        each(cats, [&](std::uint32_t c, std::size_t i) { category(c, i, here, out); });
    }

    static std::string ordinal(std::size_t n) {
        const char* suffix = "th";
        if (n % 100 < 11 || n % 100 > 13) {
            if (n % 10 == 1) suffix = "st";
            if (n % 10 == 2) suffix = "nd";
            if (n % 10 == 3) suffix = "rd";
        }
        return std::to_string(n) + suffix;
    }

    void category(std::uint32_t c, std::size_t index, Where here, Block& block) {
        if (t_[c].type != MsgType::Map) {
            fail(
                ErrorType::Syntactic, here,
                "the " + ordinal(index + 1) + " category is " + article(t_[c].type) + ", not a map",
                "category skipped");
            return;
        }
        // "name", "rowCount", "columns".
        std::uint32_t fields[3];
        gather(
            c,
            [](std::string_view key) {
                if (key.size() == 4 && same_name<4>(key.data(), "name")) return 0;
                if (key.size() == 8 && same_name<8>(key.data(), "rowCount")) return 1;
                if (key.size() == 7 && same_name<7>(key.data(), "columns")) return 2;
                return -1;
            },
            fields);
        std::string_view name;
        {
            Where at = here;
            const std::uint32_t n = fields[0];
            if (n == npos || t_[n].type != MsgType::Str) {
                fail(ErrorType::Syntactic, at,
                     "the " + ordinal(index + 1) + " category has " +
                         (n == npos
                              ? std::string("no \"name\"")
                              : "a \"name\" that is " + article(t_[n].type) + ", not a string"),
                     "category skipped");
                return;
            }
            name = utf8_name(t_[n].bytes(), here, "category name");
        }
        here.category = name;
        std::int64_t rows = 0;
        const std::uint32_t r = fields[1];
        if (r == npos) {
            fail(ErrorType::Syntactic, here, "no \"rowCount\"", "category skipped");
            return;
        }
        if (!integer(r, rows) || rows < 0 || rows > std::numeric_limits<std::int32_t>::max()) {
            fail(ErrorType::Syntactic, here, "\"rowCount\" is " + describe(r) + ", not a row count",
                 "category skipped");
            return;
        }
        const std::uint32_t cols = fields[2];
        if (cols == npos) {
            fail(ErrorType::Syntactic, here, "no \"columns\"", "category skipped");
            return;
        }
        if (t_[cols].type != MsgType::Array) {
            wrong_type(here, "columns", cols, "an array", "category skipped");
            return;
        }
        Category& out = block.categories.emplace_back();
        out.name = name;
        out.row_count = rows;
        out.columns.reserve(t_[cols].count);
        each(cols, [&](std::uint32_t col, std::size_t i) { column(col, i, here, out); });
    }

    // An integer value (a float with an integral value counts).
    [[gnu::always_inline]] bool integer(std::uint32_t node, std::int64_t& out) const {
        const MsgNode& n = t_[node];
        if (n.type == MsgType::Int) {
            if (n.negative) {
                out = n.i;
                return true;
            }
            if (n.u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return false;
            out = static_cast<std::int64_t>(n.u);
            return true;
        }
        if (n.type == MsgType::Float && std::isfinite(n.f) && std::floor(n.f) == n.f &&
            std::fabs(n.f) < 9.2e18) {
            out = static_cast<std::int64_t>(n.f);
            return true;
        }
        return false;
    }
    bool number(std::uint32_t node, double& out) const {
        const MsgNode& n = t_[node];
        if (n.type == MsgType::Float) {
            out = n.f;
            return true;
        }
        if (n.type == MsgType::Int) {
            out = n.negative ? static_cast<double>(n.i) : static_cast<double>(n.u);
            return true;
        }
        return false;
    }
    std::string describe(std::uint32_t node) const {
        const MsgNode& n = t_[node];
        if (n.type == MsgType::Int) return n.negative ? std::to_string(n.i) : std::to_string(n.u);
        return article(n.type);
    }

    void column(std::uint32_t col, std::size_t index, Where here, Category& category) {
        if (t_[col].type != MsgType::Map) {
            fail(
                ErrorType::Syntactic, here,
                "the " + ordinal(index + 1) + " column is " + article(t_[col].type) + ", not a map",
                "column skipped");
            return;
        }
        // "name", "data", "mask".
        std::uint32_t fields[3];
        gather(
            col,
            [](std::string_view key) {
                if (key.size() != 4) return -1;
                if (same_name<4>(key.data(), "name")) return 0;
                if (same_name<4>(key.data(), "data")) return 1;
                return same_name<4>(key.data(), "mask") ? 2 : -1;
            },
            fields);
        const std::uint32_t n = fields[0];
        if (n == npos || t_[n].type != MsgType::Str) {
            fail(ErrorType::Syntactic, here,
                 "the " + ordinal(index + 1) + " column has " +
                     (n == npos ? std::string("no \"name\"")
                                : "a \"name\" that is " + article(t_[n].type) + ", not a string"),
                 "column skipped");
            return;
        }
        Column out;
        out.name = utf8_name(t_[n].bytes(), here, "column name");
        here.column = out.name;
        const std::uint32_t d = fields[1];
        if (d == npos) {
            fail(ErrorType::Syntactic, here, "no \"data\"", "column skipped");
            return;
        }
        if (!encoded(d, here, "data", out.data)) return;
        const std::uint32_t m = fields[2];
        if (m != npos && t_[m].type != MsgType::Nil) {
            Encoded mask;
            if (!encoded(m, here, "mask", mask)) return;
            out.mask = std::move(mask);
        }
        category.columns.push_back(std::move(out));
    }

    // An EncodedData map.
    bool encoded(std::uint32_t node, const Where& here, std::string_view what, Encoded& out) {
        const Path top{nullptr, what};
        if (t_[node].type != MsgType::Map) {
            wrong_type(here, what, node, "a map", "column skipped");
            return false;
        }
        // "data", "encoding".
        std::uint32_t fields[2];
        gather(
            node,
            [](std::string_view key) {
                if (key.size() == 4 && same_name<4>(key.data(), "data")) return 0;
                if (key.size() == 8 && same_name<8>(key.data(), "encoding")) return 1;
                return -1;
            },
            fields);
        const Path data_path{&top, "data"};
        const std::uint32_t d = fields[0];
        if (d == npos) {
            fail(ErrorType::Syntactic, here, "no \"" + data_path.text() + "\"", "column skipped");
            return false;
        }
        if (t_[d].type != MsgType::Bin && t_[d].type != MsgType::Str) {
            wrong_type(here, data_path.text(), d, "binary data", "column skipped");
            return false;
        }
        out.data = t_[d].bytes();
        const Path enc_path{&top, "encoding"};
        const std::uint32_t e = fields[1];
        if (e == npos) {
            fail(ErrorType::Syntactic, here, "no \"" + enc_path.text() + "\"", "column skipped");
            return false;
        }
        return encodings(e, here, enc_path, out.encoding, true);
    }

    bool encodings(std::uint32_t node, const Where& here, const Path& what,
                   std::span<const Encoding>& out, bool strings_allowed) {
        if (t_[node].type != MsgType::Array) {
            wrong_type(here, what.text(), node, "an array", "column skipped");
            return false;
        }
        // The list's run is taken before any nested list's (StringArray's).
        const std::span<Encoding> list = file_.encodings.take(t_[node].count);
        out = list;
        bool ok = true;
        each(node, [&](std::uint32_t e, std::size_t i) {
            if (!ok) return;
            ok = encoding(e, here, Path{&what, {}, i}, list[i], strings_allowed);
        });
        return ok;
    }

    bool encoding(std::uint32_t e, const Where& here, const Path& what, Encoding& out,
                  bool strings_allowed) {
        if (t_[e].type != MsgType::Map) {
            wrong_type(here, what.text(), e, "a map", "column skipped");
            return false;
        }
        // The map's fields, gathered in one pass: the value of each known
        // key (its first occurrence), looked up by the key's slot.
        std::uint32_t slots[kFieldCount];
        gather(e, field_slot, slots);
        std::string_view kind;
        if (const std::uint32_t k = slots[kKind]; k == npos) {
            fail(ErrorType::Syntactic, here, "no \"kind\" in " + what.text(), "column skipped");
            return false;
        } else if (t_[k].type != MsgType::Str) {
            wrong_type(here, what.text() + ".kind", k, "a string", "column skipped");
            return false;
        } else {
            kind = t_[k].bytes();
        }
        auto bad = [&](std::string message) {
            return bad_encoding(here, what, kind, std::move(message));
        };
        // A parameter: an integer within [lo, hi], or a number.
        auto int_param = [&](Slot slot, std::int64_t& v, std::int64_t lo, std::int64_t hi,
                             bool required = true) __attribute__((always_inline)) {
            const std::uint32_t p = slots[slot];
            if (p == npos) [[unlikely]]
                return required ? bad_int_param(here, what, kind, slot, p, lo, hi) : true;
            if (!integer(p, v) || v < lo || v > hi) [[unlikely]]
                return bad_int_param(here, what, kind, slot, p, lo, hi);
            return true;
        };
        auto num_param = [&](Slot slot, double& v) __attribute__((always_inline)) {
            const std::uint32_t p = slots[slot];
            if (p == npos || !number(p, v) || !std::isfinite(v)) [[unlikely]]
                return bad_num_param(here, what, kind, slot, p);
            return true;
        };
        auto type_param = [&](Slot slot, bool required) __attribute__((always_inline)) {
            std::int64_t code = static_cast<std::int64_t>(DType::Int32);
            const std::uint32_t p = slots[slot];
            if (p == npos) [[unlikely]]
                return required ? bad_type_param(here, what, kind, slot, p) : true;
            if (!integer(p, code) || !valid_dtype(code)) [[unlikely]]
                return bad_type_param(here, what, kind, slot, p);
            out.type = static_cast<DType>(code);
            return true;
        };
        const std::optional<Kind> named = kind_of(kind);
        if (!named) return bad("unknown encoding");
        out.kind = *named;
        constexpr std::int64_t kIntMin = std::numeric_limits<std::int64_t>::min();
        constexpr std::int64_t kIntMax = std::numeric_limits<std::int64_t>::max();
        constexpr std::int64_t kSizeMax = std::numeric_limits<std::int32_t>::max();
        if (*named == Kind::ByteArray) {
            return type_param(kType, true);
        }
        if (*named == Kind::FixedPoint) {
            out.type = DType::Float64;
            if (!num_param(kFactor, out.factor) || !type_param(kSrcType, false)) return false;
            if (out.factor == 0) return bad("\"factor\" is 0");
            return true;
        }
        if (*named == Kind::IntervalQuantization) {
            out.type = DType::Float64;
            return num_param(kMin, out.min) && num_param(kMax, out.max) &&
                   int_param(kNumSteps, out.num_steps, 2, kIntMax) && type_param(kSrcType, false);
        }
        if (*named == Kind::RunLength) {
            return type_param(kSrcType, false) && int_param(kSrcSize, out.src_size, 0, kSizeMax);
        }
        if (*named == Kind::Delta) {
            return type_param(kSrcType, false) &&
                   int_param(kOrigin, out.origin, kIntMin, kIntMax, false);
        }
        if (*named == Kind::IntegerPacking) {
            out.type = DType::Int32;
            std::int64_t bytes = 0;
            if (!int_param(kByteCount, bytes, 1, 4) ||
                !int_param(kSrcSize, out.src_size, 0, kSizeMax))
                return false;
            out.byte_count = static_cast<int>(bytes);
            const std::uint32_t u = slots[kIsUnsigned];
            if (u != npos) {
                if (t_[u].type != MsgType::Bool) {
                    std::int64_t flag = 0;
                    if (!integer(u, flag) || flag < 0 || flag > 1)
                        return bad("\"isUnsigned\" is " + describe(u) + ", not a bool");
                    out.is_unsigned = flag != 0;
                } else {
                    out.is_unsigned = t_[u].b;
                }
            }
            return true;
        }
        if (*named == Kind::StringArray) {
            if (!strings_allowed) return bad("a StringArray inside a StringArray");
            const std::uint32_t sd = slots[kStringData];
            if (sd == npos) return bad("no \"stringData\"");
            if (t_[sd].type != MsgType::Str && t_[sd].type != MsgType::Bin)
                return bad("\"stringData\" is " + article(t_[sd].type) + ", not a string");
            out.string_data = t_[sd].bytes();
            const std::uint32_t off = slots[kOffsets];
            if (off == npos) return bad("no \"offsets\"");
            if (t_[off].type != MsgType::Bin && t_[off].type != MsgType::Str)
                return bad("\"offsets\" is " + article(t_[off].type) + ", not binary data");
            out.offsets = t_[off].bytes();
            const std::uint32_t de = slots[kDataEncoding];
            const std::uint32_t oe = slots[kOffsetEncoding];
            if (de == npos) return bad("no \"dataEncoding\"");
            if (oe == npos) return bad("no \"offsetEncoding\"");
            return encodings(de, here, Path{&what, "dataEncoding"}, out.data_encoding, false) &&
                   encodings(oe, here, Path{&what, "offsetEncoding"}, out.offset_encoding, false);
        }
        return bad("unknown encoding");
    }

    // The faults of an encoding's parameters, recorded (false): made out of
    // the way of the parameters read without one.
    [[gnu::cold, gnu::noinline]] bool bad_encoding(const Where& here, const Path& what,
                                                   std::string_view kind, std::string message) {
        fail(ErrorType::Semantic, here, what.text() + " (" + std::string(kind) + "): " + message,
             "column skipped");
        return false;
    }
    [[gnu::cold, gnu::noinline]] bool bad_int_param(const Where& here, const Path& what,
                                                    std::string_view kind, Slot slot,
                                                    std::uint32_t p, std::int64_t lo,
                                                    std::int64_t hi) {
        const std::string_view key = kFieldNames[slot];
        if (p == npos) return bad_encoding(here, what, kind, "no \"" + std::string(key) + "\"");
        return bad_encoding(
            here, what, kind,
            "\"" + std::string(key) + "\" is " + describe(p) + ", not an integer" +
                (lo == std::numeric_limits<std::int64_t>::min()
                     ? std::string()
                     : " from " + std::to_string(lo) + " to " + std::to_string(hi)));
    }
    [[gnu::cold, gnu::noinline]] bool bad_num_param(const Where& here, const Path& what,
                                                    std::string_view kind, Slot slot,
                                                    std::uint32_t p) {
        const std::string_view key = kFieldNames[slot];
        if (p == npos) return bad_encoding(here, what, kind, "no \"" + std::string(key) + "\"");
        return bad_encoding(here, what, kind,
                            "\"" + std::string(key) + "\" is " + describe(p) + ", not a number");
    }
    [[gnu::cold, gnu::noinline]] bool bad_type_param(const Where& here, const Path& what,
                                                     std::string_view kind, Slot slot,
                                                     std::uint32_t p) {
        const std::string_view key = kFieldNames[slot];
        if (p == npos) return bad_encoding(here, what, kind, "no \"" + std::string(key) + "\"");
        return bad_encoding(
            here, what, kind,
            "\"" + std::string(key) + "\" is " + describe(p) + ", not a type code (1-6, 32 or 33)");
    }

    // A name as UTF-8: the input's bytes, or when they are not UTF-8 a
    // mended copy (each bad byte U+FFFD), reported.
    std::string_view utf8_name(std::string_view name, const Where& where, const char* what) {
        if (valid_utf8(name)) return name;
        const std::string_view kept = file_.mended.emplace_back(mend_utf8(name));
        fail(ErrorType::Syntactic, where,
             std::string("the ") + what + " " + quoted(kept) + " is not valid UTF-8",
             "read with U+FFFD for each bad byte");
        return kept;
    }

    const MsgTree& t_;
    File& file_;
};

}  // namespace

std::span<Encoding> EncodingArena::take_from_new_block(std::size_t n) {
    if (n == 0) return {};
    room_ = std::max(n, kBlock);
    blocks_.push_back(std::make_unique<Encoding[]>(room_));
    used_ = n;
    return {blocks_.back().get(), n};
}

File read_container(std::string_view input) {
    File file;
    const MsgTree tree = MsgTree::parse(input);
    Reader(tree, file).file();
    if (!tree.complete())
        file.errors.insert(file.errors.begin(),
                           problem(ErrorType::Syntactic, "BinaryCIF file: " + tree.error(),
                                   "read what came before it"));
    else if (tree.trailing() != 0)
        file.errors.push_back(problem(ErrorType::Syntactic,
                                      "BinaryCIF file: " + std::to_string(tree.trailing()) +
                                          " bytes after the end of the MessagePack value",
                                      "ignored"));
    return file;
}

}  // namespace quarzel::bcif
