// The forms a value may be required to take: DDLm `_type.contents` codes,
// DDL1 `numb`, and "anything" (DDL1 `char`, DDLm `Text`); checked one value
// (or one element of a list) at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/number.hpp"

namespace quarzel::validate {

enum class Contents : std::uint8_t {
    Any,     // Text, char: every value
    Number,  // DDL1 numb: any number
    Word,
    Code,
    Name,
    Tag,
    Filename,
    Uri,
    Date,
    DateTime,
    Version,
    Dimension,
    Range,
    Count,
    Index,
    Integer,
    Real,
    Imag,
    Complex,
    Binary,
    Hexadecimal,
    Octal,
    Symop,
    Implied,  // the form of the item a definition defines (its _type.contents)
};

// The DDLm code of a contents kind ("Real"), or "text"/"numb" for the two
// that are not DDLm's own.
std::string_view contents_name(Contents c) noexcept;
// The kind a DDLm code names (case ignored), or none.
std::optional<Contents> contents_from_name(std::string_view name) noexcept;

enum class Container : std::uint8_t { Single, Multiple, List, Array, Matrix, Table };
std::string_view container_name(Container c) noexcept;
std::optional<Container> container_from_name(std::string_view name) noexcept;

// The form of a value or of each element: any one of `alternatives`
// (`Text|Real`); a non-empty `sequence` gives the elements of a list their
// forms by position, cycling (`Real,Integer`).
struct TypeSpec {
    std::vector<Contents> alternatives;  // empty: anything
    std::vector<Contents> sequence;

    bool any() const noexcept { return alternatives.empty() && sequence.empty(); }
    // Of the value at `position` of a list (0 for a single value); `shape`,
    // when given, is the value's number_shape (worked out once by callers
    // that need it too).
    bool matches(std::string_view value, std::size_t position,
                 const struct NumberShape* shape = nullptr) const;
    bool numeric() const noexcept;
};

// Parses "Real", "Text|Real" or "Real,Integer" (DDLm `_type.contents`);
// none for a code it does not know.
std::optional<TypeSpec> parse_type_spec(std::string_view text);

// What the form checks need of a number: its grammar (the core's number
// scanner, su digits allowed: the su rule decides about them), without
// working out its value.
struct NumberShape {
    bool number = false;
    bool integer = false;  // no decimal point, no exponent
    bool zero = false;     // every mantissa digit a 0
    bool has_su = false;
};
NumberShape number_shape(std::string_view value) noexcept;

// The number grammar as a table of steps, a byte at a time: the state
// after each prefix of a value (Fail once no number can follow), for the
// checker's column loops, which test hundreds of numbers per file.
namespace number_steps {

enum State : std::uint8_t {
    Start,
    Sign,       // [+-]
    Whole,      // mantissa digits, no point yet
    Point,      // a point with no digit before it
    Fraction,   // the point after digits, or digits after the point
    Exponent,   // e or E
    ExpSign,    // its sign
    ExpDigits,  // its digits
    Open,       // "(" of the su
    SuDigits,   // its digits
    Close,      // ")": nothing may follow
    Fail,
    kStates,
};

// The states in which the value read so far is a whole number.
inline constexpr unsigned kComplete = 1u << Whole | 1u << Fraction | 1u << ExpDigits | 1u << Close;

// next[256 * state + byte] is 256 times the state that follows: a state
// kept as its row's start needs no multiplication between steps.
struct Table {
    std::uint16_t next[kStates * 256];
};

constexpr Table make_table() {
    Table t{};
    for (auto& to : t.next) to = Fail * 256;
    const auto on = [&](State from, char c, State to) {
        t.next[from * 256 + static_cast<unsigned char>(c)] = static_cast<std::uint16_t>(to * 256);
    };
    const auto on_digits = [&](State from, State to) {
        for (char c = '0'; c <= '9'; ++c) on(from, c, to);
    };
    on(Start, '+', Sign);
    on(Start, '-', Sign);
    for (State s : {Start, Sign}) {
        on_digits(s, Whole);
        on(s, '.', Point);
    }
    on_digits(Whole, Whole);
    on(Whole, '.', Fraction);
    on_digits(Point, Fraction);
    on_digits(Fraction, Fraction);
    for (State s : {Whole, Fraction}) {
        on(s, 'e', Exponent);
        on(s, 'E', Exponent);
    }
    on(Exponent, '+', ExpSign);
    on(Exponent, '-', ExpSign);
    on_digits(Exponent, ExpDigits);
    on_digits(ExpSign, ExpDigits);
    on_digits(ExpDigits, ExpDigits);
    for (State s : {Whole, Fraction, ExpDigits}) on(s, '(', Open);
    on_digits(Open, SuDigits);
    on_digits(SuDigits, SuDigits);
    on(SuDigits, ')', Close);
    return t;
}

inline constexpr Table kTable = make_table();

}  // namespace number_steps

// number_shape(value).number, inline for the checker's column loops.
inline bool is_number(std::string_view value) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(value.data());
    const auto* const end = p + value.size();
    const std::uint16_t* const next = number_steps::kTable.next;
    std::size_t s = number_steps::Start * 256;
    // Four bytes a turn: the loop's own steps are a fraction of the work.
    for (; end - p >= 4; p += 4) s = next[next[next[next[s + p[0]] + p[1]] + p[2]] + p[3]];
    if (end - p >= 2) {
        s = next[next[s + p[0]] + p[1]];
        p += 2;
    }
    if (p != end) s = next[s + *p];
    return number_steps::kComplete >> (s / 256) & 1u;
}

// Whether a mantissa digit of a number (is_number()) is not 0
// (!number_shape(value).zero).
inline bool mantissa_nonzero(std::string_view value) noexcept {
    for (const char c : value) {
        if (c >= '1' && c <= '9') return true;
        if (c != '0' && c != '.' && c != '+' && c != '-') return false;
    }
    return false;
}

// is_number(), and in `nonzero` mantissa_nonzero() of a number.
inline bool is_number(std::string_view value, bool& nonzero) noexcept {
    if (!is_number(value)) return false;
    nonzero = mantissa_nonzero(value);
    return true;
}

// One value of one kind.
bool matches_contents(Contents c, std::string_view value);
bool matches_contents(Contents c, std::string_view value, const NumberShape& number);
bool is_numeric(Contents c) noexcept;

}  // namespace quarzel::validate
