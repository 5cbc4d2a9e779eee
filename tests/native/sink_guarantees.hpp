// A sink that checks, event by event, the seven promises the parser makes
// to every sink, as src/core/event_sink.hpp states them (the numbers in the
// messages below are theirs). Call finish() after the parse; violations()
// is empty when all held.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/token.hpp"

namespace quarzel::testing {

class GuaranteeChecker {
public:
    void on_data_block(std::string_view) {
        event("data_block");
        require(!in_frame_, "data block while a save frame is open");
        outside_values("data block");
    }
    void on_save_frame_start(std::string_view name) {
        event("save_start");
        require(!name.empty(), "save frame with an empty name");
        require(!in_frame_, "save frame started twice");
        outside_values("save frame start");
        in_frame_ = true;
    }
    void on_save_frame_end() {
        event("save_end");
        require(in_frame_, "save frame end without start");
        outside_values("save frame end");
        in_frame_ = false;
    }
    void on_loop_start(std::span<const std::string_view> tags) {
        event("loop_start");
        require(!tags.empty(), "loop without tags");
        require(!in_loop_, "loop started twice");
        outside_values("loop start");
        in_loop_ = true;
    }
    void on_loop_end() {
        event("loop_end");
        require(in_loop_, "loop end without start");
        require(containers_.empty(), "loop ended inside a container");
        in_loop_ = false;
    }
    void add_tag(std::string_view) {
        event("tag");
        require(!in_loop_, "tag inside a loop");
        outside_values("tag");
        tag_pending_ = true;
    }
    void add_value(std::string_view, ValueType kind) {
        event("value");
        require(static_cast<int>(kind) <= 6, "value kind outside 0..6");
        value_begins(false);
    }
    void on_list_start() {
        event("list_start");
        value_begins(true);
        containers_.push_back(Open::List);
    }
    void on_list_end() {
        event("list_end");
        require(!containers_.empty() && containers_.back() == Open::List,
                "list end without open list");
        if (!containers_.empty()) containers_.pop_back();
    }
    void on_table_start() {
        event("table_start");
        value_begins(true);
        containers_.push_back(Open::TableKey);
    }
    void on_table_key(std::string_view, ValueType kind) {
        event("key");
        require(static_cast<int>(kind) <= 6, "key kind outside 0..6");
        require(!containers_.empty() && containers_.back() == Open::TableKey,
                "table key where no key is expected");
        if (!containers_.empty()) containers_.back() = Open::TableValue;
    }
    void on_table_end() {
        event("table_end");
        require(!containers_.empty() && containers_.back() != Open::List,
                "table end without open table");
        require(containers_.empty() || containers_.back() == Open::TableKey,
                "table ended between a key and its value");
        if (!containers_.empty()) containers_.pop_back();
    }
    void on_parse_error(const NativeParseError&) { event("error"); }

    // Checks that everything was closed; call once after the parse.
    void finish() {
        event("end");
        require(!in_frame_, "save frame left open");
        require(!in_loop_, "loop left open");
        require(containers_.empty(), "container left open");
        require(!tag_pending_, "tag left without a value");
    }

    const std::vector<std::string>& violations() const noexcept { return violations_; }

private:
    enum class Open : std::uint8_t { List, TableKey, TableValue };

    void event(std::string_view name) {
        ++count_;
        last_ = name;
    }
    void require(bool ok, std::string_view what) {
        if (!ok)
            violations_.push_back("event " + std::to_string(count_) + " (" + last_ +
                                  "): " + std::string(what));
    }
    // Structural events: no container open, no tag waiting, no loop open.
    void outside_values(std::string_view what) {
        require(containers_.empty(), std::string(what) + " inside a container");
        require(!tag_pending_, std::string(what) + " while a tag waits for its value");
        require(!in_loop_, std::string(what) + " inside a loop");
    }
    // A scalar (or the start of a container) arrives: it must belong to
    // something, and it completes that thing's value.
    void value_begins(bool container) {
        if (!containers_.empty()) {
            Open& top = containers_.back();
            if (top == Open::TableValue)
                top = Open::TableKey;
            else if (top == Open::TableKey)
                require(container, "scalar in table key position");
            return;
        }
        if (in_loop_) return;
        require(tag_pending_, "value without a tag");
        tag_pending_ = false;
    }

    std::vector<Open> containers_;
    std::vector<std::string> violations_;
    std::string last_;
    std::size_t count_ = 0;
    bool in_frame_ = false;
    bool in_loop_ = false;
    bool tag_pending_ = false;
};

}  // namespace quarzel::testing
