// The sink that turns parser events into a native document.
#pragma once

#include <memory>
#include <span>
#include <string_view>

#include "document.hpp"
#include "error.hpp"
#include "token.hpp"
#include "version.hpp"

namespace quarzel {

class RawBuilder {
public:
    // `text` is the text being lexed: scalar values that are slices of it are
    // stored as views. `strict` stops at the first semantic problem.
    RawBuilder(CifVersion version, bool strict, std::string_view text);
    ~RawBuilder();
    RawBuilder(RawBuilder&&) noexcept;
    RawBuilder& operator=(RawBuilder&&) noexcept;

    void push_error(const NativeParseError& error);

    void on_data_block(std::string_view name);
    void on_save_frame_start(std::string_view name);
    void on_save_frame_end();
    void on_loop_start(std::span<const std::string_view> tags);
    void on_loop_end();
    void add_tag(std::string_view tag);
    void add_value(std::string_view text, ValueType kind);
    void on_list_start();
    void on_list_end();
    void on_table_start();
    void on_table_key(std::string_view key, ValueType kind);
    void on_table_end();
    void on_parse_error(NativeParseError error);

    ParsedCif finish() &&;

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace quarzel
