// Character properties that must agree with Python's view of Unicode.
#pragma once

namespace quarzel::unicode {

// Assigned in utf8proc's Unicode database (17.0) but unassigned in the one
// the interpreter carries (16.0, Python 3.14): Python treats these as
// unassigned, and so must every property that users compare with Python's.
bool newer_than_interpreter(char32_t c) noexcept;

// What str.isprintable says of the one-character string `c`: false for the
// general categories Cc, Cf, Cs, Co, Cn, Zl, Zp and for Zs other than the
// space.
bool is_printable(char32_t c) noexcept;

}  // namespace quarzel::unicode
