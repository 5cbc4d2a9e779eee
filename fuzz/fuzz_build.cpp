// The whole native pipeline into a document, whose invariants are checked:
// the tag index matches the tag order, every looped tag is indexed, every
// value can be read back.
#include <string>
#include <unordered_set>
#include <vector>

#include "document.hpp"
#include "fuzz_common.hpp"
#include "pipeline.hpp"

using namespace quarzel;

namespace {

void check_value(const RawValue& root) {
    std::vector<const RawValue*> work{&root};
    while (!work.empty()) {
        const RawValue* v = work.back();
        work.pop_back();
        if (v->kind() == RawValue::Kind::List) {
            for (const auto& item : v->items()) work.push_back(&item);
        } else if (v->kind() == RawValue::Kind::Table) {
            for (const auto& e : v->entries()) work.push_back(&e.value);
        }
    }
}

void check_frame(const FrameData& data) {
    fuzz::check(data.tags.size() == data.tag_order.size(),
                "tag index and tag order differ in size");
    std::unordered_set<std::string> seen;
    for (const auto& tag : data.tag_order) {
        fuzz::check(seen.insert(tag).second, "tag listed twice in the tag order", tag);
        const ValueColumn* col = data.find(tag);
        fuzz::check(col != nullptr, "ordered tag missing from the index", tag);
        for (std::size_t i = 0; i < col->size(); ++i) {
            auto ref = (*col)[i];
            if (ref.compound) check_value(*ref.compound);
        }
    }
    for (const auto& loop : data.loops) {
        fuzz::check(!loop.empty(), "loop without tags");
        for (const auto& tag : loop)
            fuzz::check(seen.count(tag) == 1, "looped tag not indexed", tag);
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
    return 0;
}
