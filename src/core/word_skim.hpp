// The plain words of a run that a reading skips, counted with the byte
// classes of 64 bytes at a time (AVX2, chosen when the processor has it):
// a word starts wherever a byte that is not blank follows a blank, so the
// words of a window are a count of bits. Most of a huge file is such a run
// (the rows of `atom_site`), and the other categories asked for are found
// only after it.
//
// The count is conservative rather than clever: it stops at the first
// token whose first byte could begin anything but a plain word (a quote,
// comment, semicolon, tag, bracket, colon or `$`) and at the first word
// with a '_' as its fifth or seventh byte (every keyword has one: `data_`,
// `loop_`, `save_`, `stop_`, `global_`); under CIF 2.0 it stops at a
// bracket anywhere. The lexer reads what it stopped at token by token and
// the run goes on after it, so what the count passes over is exactly what
// the lexer would have counted, line for line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarzel {

struct SkimResult {
    static constexpr std::size_t kNone = ~std::size_t{0};

    std::uint64_t words = 0;  // plain words counted
    // Where the run stops: the first byte of a token left to the lexer,
    // under CIF 2.0 a bracket, or the end of the text.
    std::size_t stop = 0;
    std::uint32_t lines = 0;              // line ends in [from, stop)
    std::size_t stop_line = kNone;        // start of the line of `stop`; kNone: the entry's line
    std::size_t last = kNone;             // first byte of the last word counted, if any
    std::uint32_t last_lines = 0;         // line ends in [from, last)
    std::size_t last_line_start = kNone;  // start of the line of `last`; kNone: the entry's line
};

// Whether the count can run here: the processor has AVX2 (and it has not
// been switched off).
bool word_skim_available() noexcept;
// Switches the count on or off for the whole process (off: the lexer
// counts every run, as it did before it); returns what it was.
bool set_word_skim(bool on) noexcept;

// Counts the plain words of `text[from, n)`, `from` being just after a
// token (its byte a blank, or the end). Needs word_skim_available().
SkimResult skim_plain_words(const char* text, std::size_t from, std::size_t n, bool cif2) noexcept;
// The same count with byte classes built one byte at a time (for tests,
// and for processors without AVX2).
SkimResult skim_plain_words_portable(const char* text, std::size_t from, std::size_t n,
                                     bool cif2) noexcept;

}  // namespace quarzel
