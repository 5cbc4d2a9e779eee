// A sink that writes each event as one line of text, so that parser tests
// read as tables of source text and expected events:
//
//   data_block "x"            save_start "f"        save_end
//   loop_start ["_a", "_b"]   loop_end              tag "_a"
//   value "1" 5               list_start            list_end
//   table_start               key "k" 4             table_end
//   error syntactic 3:1 <message> ctx="<context>" rec="<recovery>"
//
// Texts of events and the context and recovery of errors are in quoted form;
// the message is written as it stands.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/token.hpp"

namespace quarzel::testing {

class RecordingSink {
public:
    void on_data_block(std::string_view name) { line("data_block", name); }
    void on_save_frame_start(std::string_view name) { line("save_start", name); }
    void on_save_frame_end() { line("save_end"); }
    void on_loop_start(std::span<const std::string_view> tags) {
        out_ += "loop_start " + quoted_list(tags) + "\n";
    }
    void on_loop_end() { line("loop_end"); }
    void add_tag(std::string_view tag) { line("tag", tag); }
    void add_value(std::string_view value, ValueType kind) { line("value", value, kind); }
    void on_list_start() { line("list_start"); }
    void on_list_end() { line("list_end"); }
    void on_table_start() { line("table_start"); }
    void on_table_key(std::string_view key, ValueType kind) { line("key", key, kind); }
    void on_table_end() { line("table_end"); }
    void on_parse_error(NativeParseError e) {
        out_ += "error ";
        out_ += error_type_name(e.error_type);
        out_ += ' ' + std::to_string(e.line) + ':' + std::to_string(e.column) + ' ';
        out_ += e.message;
        out_ += " ctx=";
        append_quoted(out_, e.context);
        out_ += " rec=";
        append_quoted(out_, e.recovery_action);
        out_ += '\n';
    }

    const std::string& text() const noexcept { return out_; }

private:
    void line(std::string_view event) {
        out_ += event;
        out_ += '\n';
    }
    void line(std::string_view event, std::string_view text) {
        out_ += event;
        out_ += ' ';
        append_quoted(out_, text);
        out_ += '\n';
    }
    void line(std::string_view event, std::string_view text, ValueType kind) {
        out_ += event;
        out_ += ' ';
        append_quoted(out_, text);
        out_ += ' ';
        out_ += std::to_string(static_cast<int>(kind));
        out_ += '\n';
    }

    std::string out_;
};

// Forwards every event to two sinks, first `a`, then `b`.
template <class A, class B>
struct TeeSink {
    A& a;
    B& b;
    void on_data_block(std::string_view t) { a.on_data_block(t), b.on_data_block(t); }
    void on_save_frame_start(std::string_view t) {
        a.on_save_frame_start(t), b.on_save_frame_start(t);
    }
    void on_save_frame_end() { a.on_save_frame_end(), b.on_save_frame_end(); }
    void on_loop_start(std::span<const std::string_view> t) {
        a.on_loop_start(t), b.on_loop_start(t);
    }
    void on_loop_end() { a.on_loop_end(), b.on_loop_end(); }
    void add_tag(std::string_view t) { a.add_tag(t), b.add_tag(t); }
    void add_value(std::string_view t, ValueType k) { a.add_value(t, k), b.add_value(t, k); }
    void on_list_start() { a.on_list_start(), b.on_list_start(); }
    void on_list_end() { a.on_list_end(), b.on_list_end(); }
    void on_table_start() { a.on_table_start(), b.on_table_start(); }
    void on_table_key(std::string_view t, ValueType k) {
        a.on_table_key(t, k), b.on_table_key(t, k);
    }
    void on_table_end() { a.on_table_end(), b.on_table_end(); }
    void on_parse_error(NativeParseError e) {
        a.on_parse_error(e);
        b.on_parse_error(std::move(e));
    }
};

}  // namespace quarzel::testing
