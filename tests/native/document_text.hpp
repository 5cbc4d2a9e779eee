// A document written out as text, every name, value and problem record in
// order, for tests that compare two readings of one input.
#pragma once

#include <string>
#include <vector>

#include "core/cell_text.hpp"
#include "core/document.hpp"

namespace quarzel::testing {

inline void render_frame(std::string& out, const FrameData& data) {
    for (std::size_t i = 0; i < data.tag_order.size(); ++i) {
        out += "  " + std::string(data.tag_order[i]) + " =";
        if (i < data.columns.size()) {
            const ValueColumn& column = data.columns[i];
            if (column.counted()) {
                out += " <" + std::to_string(column.size()) + " counted>";
            } else {
                for (std::size_t k = 0; k < column.size(); ++k) {
                    const ValueColumn::Ref ref = column[k];
                    out += " [" +
                           (ref.compound ? cell_text(*ref.compound, ref.root)
                                         : std::string(ref.text)) +
                           "]";
                }
            }
        }
        out += "\n";
    }
    for (const auto& loop : data.loops) {
        out += "  loop";
        for (std::string_view tag : loop) out += " " + std::string(tag);
        out += "\n";
    }
}

inline std::string render_block(const ParsedBlock& block) {
    std::string out = "data_" + block.name + "\n";
    render_frame(out, block.data);
    for (const ParsedSaveFrame& frame : block.save_frames) {
        out += " save_" + frame.name + "\n";
        render_frame(out, frame.data);
    }
    return out;
}

inline std::string render_errors(const std::vector<NativeParseError>& errors) {
    std::string out;
    for (const NativeParseError& e : errors)
        out += std::string(error_type_name(e.error_type)) + " " + std::to_string(e.line) + ":" +
               std::to_string(e.column) + " " + e.message + " [" + e.context + "] (" +
               e.recovery_action + ")\n";
    return out;
}

}  // namespace quarzel::testing
