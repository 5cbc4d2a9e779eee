// The operations through which the parser reports everything it finds.
#pragma once

#include <concepts>
#include <span>
#include <string_view>

#include "error.hpp"
#include "token.hpp"

namespace quarzel {

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

}  // namespace quarzel
