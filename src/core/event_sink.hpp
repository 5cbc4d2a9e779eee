// The operations through which the parser reports everything it finds, and
// what the parser promises every sink about their order.
//
// The contract. Whatever the input, the events a sink receives obey:
//   1. save frame start and end alternate, and every frame is ended;
//   2. loop start and end alternate, every loop is ended, and only values
//      and errors come between them;
//   3. each tag is followed by exactly one complete value before the next
//      structural event;
//   4. lists and tables nest properly and are all closed, and never span a
//      tag, a keyword or the end of a loop;
//   5. inside a table each entry is a key followed by exactly one value,
//      except a container met where a key was expected, which arrives as a
//      value without a key;
//   6. a data block may start while a frame is open only after the frame's
//      end event;
//   7. errors may come anywhere.
// Faults of the input are repaired (placeholders inserted, containers
// closed, ...) and reported as errors, so a sink never has to recover.
// tests/native/sink_guarantees.hpp checks these promises event by event
// over every test input and over generated inputs.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/error.hpp"
#include "core/token.hpp"

namespace quarzel {

// The tag that receives a value or container that has no tag of its own.
inline constexpr std::string_view kErrorValueTag = "_quarzel_error_value";

// Text arguments are borrowed for the duration of the call only. Value kinds
// are ValueType codes 0..6 (never None).
template <class S>
concept EventSink = requires(S& s, std::string_view text, ValueType kind,
                             std::span<const std::string_view> tags, NativeParseError error) {
    s.on_data_block(text);
    s.on_save_frame_start(text);
    s.on_save_frame_end();
    s.on_loop_start(tags);
    s.on_loop_end();
    s.add_tag(text);
    s.add_value(text, kind);
    s.on_list_start();
    s.on_list_end();
    s.on_table_start();
    s.on_table_key(text, kind);
    s.on_table_end();
    s.on_parse_error(std::move(error));
};

// The plain-word lane, an optional extension of a sink: most values of a
// large file are plain bare words in the rows of a loop. While
// takes_plain_words() is true (checked after each value the parser hands
// over inside a loop), the token source may read such words straight from
// the text and pass them, in order and in batches, to add_plain_words(words),
// each word standing for the add_value(text, kind) of a bare word (kind
// String, or Placeholder for `?` and `.`): a plain-word sink stores both
// kinds alike. The contract above holds unchanged: the lane runs only
// between values of an open loop and stops before anything that is not a
// plain word.
template <class S>
concept PlainWordSink =
    EventSink<S> && requires(S& s, const S& cs, std::span<const std::string_view> words) {
        { cs.takes_plain_words() } -> std::same_as<bool>;
        s.add_plain_words(words);
    };

// A token source that can feed the plain-word lane of `Sink`: it reads on
// from its last token for as long as plain words follow, and reports the
// position of the last one read.
template <class Source, class Sink>
concept PlainWordSource =
    PlainWordSink<Sink> && requires(Source& source, Sink& sink, std::uint32_t& at) {
        source.read_plain_words(sink, at, at);
    };

}  // namespace quarzel
