// The whole native pipeline into a document, whose invariants are checked:
// the tag index matches the tag order, every looped tag is indexed, a tag
// given again leaves one occurrence, every value can be read back. The same text built with packed
// columns, every value taking the parser's general path, must give the same errors and hold the
// same values, each as its cell text.
#include <string>
#include <unordered_set>
#include <vector>

#include "core/cell_text.hpp"
#include "core/document.hpp"
#include "core/event_sink.hpp"
#include "core/pipeline.hpp"
#include "fuzz_common.hpp"

using namespace quarzel;

namespace {

// Every stored list or table is whole: walking it stays inside its store,
// and the values kept aside follow one another to the store's end.
struct Walker {
    bool text(std::string_view) { return true; }
    bool open(NodeKind, std::uint64_t) { return true; }
    bool close(NodeKind) { return true; }
    bool element(bool, std::uint64_t, std::string_view) { return true; }
};

void check_side(const NodeStore& side, const std::string& tag) {
    Walker w;
    std::size_t i = 0;
    while (i < side.size()) {
        std::size_t end = i;
        fuzz::check(walk_value(side, i, w, &end) && end > i && end <= side.size(),
                    "a value kept aside is broken", tag);
        i = end;
    }
}

void check_frame(const FrameData& data) {
    fuzz::check(data.columns.size() == data.tag_order.size(),
                "columns and tag order differ in size");
    std::unordered_set<std::string_view> seen;
    for (std::size_t k = 0; k < data.tag_order.size(); ++k) {
        const std::string tag(data.tag_order[k]);
        fuzz::check(seen.insert(data.tag_order[k]).second, "tag listed twice in the tag order",
                    tag);
        const ValueColumn* col = data.find(tag);
        fuzz::check(col == &data.columns[k], "a tag finds another column", tag);
        check_side(col->side_values(), tag);
        for (std::size_t i = 0; i < col->size(); ++i) {
            auto ref = (*col)[i];
            if (ref.compound)
                fuzz::check(ref.compound == &col->side_values() && ref.root < ref.compound->size(),
                            "a list or table outside its column", tag);
        }
    }
    // Every tag stands in at most one loop, whose columns have one length;
    // any other tag has one value (the reserved tag gathers several).
    std::unordered_set<std::string_view> looped;
    for (const auto& loop : data.loops) {
        fuzz::check(!loop.empty(), "loop without tags");
        const std::size_t rows = data.find(loop.front())->size();
        for (std::string_view tag : loop) {
            fuzz::check(seen.count(tag) == 1, "looped tag not indexed", std::string(tag));
            fuzz::check(looped.insert(tag).second, "tag in two loops", std::string(tag));
            fuzz::check(data.find(tag)->size() == rows, "loop columns differ in length",
                        std::string(tag));
        }
    }
    for (std::size_t k = 0; k < data.tag_order.size(); ++k)
        if (!looped.count(data.tag_order[k]) && data.tag_order[k] != kErrorValueTag)
            fuzz::check(data.columns[k].size() == 1, "a tag holds several values",
                        std::string(data.tag_order[k]));
}

// `packed` holds the values of `refs`, each as its cell text.
void check_same(const FrameData& refs, const FrameData& packed) {
    fuzz::check(refs.tag_order == packed.tag_order, "layouts differ in their tags");
    fuzz::check(refs.loops == packed.loops, "layouts differ in their loops");
    for (std::string_view tag_view : refs.tag_order) {
        const std::string tag(tag_view);
        const ValueColumn& a = *refs.find(tag);
        const ValueColumn& b = *packed.find(tag);
        fuzz::check(a.size() == b.size(), "layouts differ in a value count", tag);
        fuzz::check(b.packed() && !a.packed(), "a column has the wrong layout", tag);
        for (std::size_t i = 0; i < a.size(); ++i) {
            auto ra = a[i];
            const std::string want =
                ra.compound ? cell_text(*ra.compound, ra.root) : std::string(ra.text);
            fuzz::check(b[i].text == want && !b[i].compound, "layouts differ in a value", tag);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto in = fuzz::split(data, size);
    ParseResult r = parse_document(in.text, (in.flags & 1) != 0);
    for (const auto& block : r.document.blocks) {
        check_frame(block.data);
        for (const auto& frame : block.save_frames) check_frame(frame.data);
    }
    for (const auto& e : r.document.errors)
        fuzz::check(!e.message.empty(), "error without a message");

    // Packed columns, and every value through the parser's general path:
    // the same document.
    ParseResult p =
        parse_document(in.text, (in.flags & 1) != 0, ColumnLayout::Packed, /*plain_words=*/false);
    fuzz::check(p.document.blocks.size() == r.document.blocks.size(), "layouts differ in blocks");
    fuzz::check(p.document.errors.size() == r.document.errors.size(), "layouts differ in errors");
    for (std::size_t i = 0; i < r.document.errors.size(); ++i) {
        const NativeParseError& x = r.document.errors[i];
        const NativeParseError& y = p.document.errors[i];
        fuzz::check(x.message == y.message && x.line == y.line && x.column == y.column &&
                        x.context == y.context && x.recovery_action == y.recovery_action &&
                        x.error_type == y.error_type,
                    "the two paths differ in an error", x.message);
    }
    for (std::size_t b = 0; b < r.document.blocks.size(); ++b) {
        const ParsedBlock& x = r.document.blocks[b];
        const ParsedBlock& y = p.document.blocks[b];
        check_same(x.data, y.data);
        fuzz::check(x.save_frames.size() == y.save_frames.size(), "layouts differ in frames");
        for (std::size_t f = 0; f < x.save_frames.size(); ++f)
            check_same(x.save_frames[f].data, y.save_frames[f].data);
    }
    return 0;
}
