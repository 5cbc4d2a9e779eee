// BinaryCIF's round trip: a CIF text is parsed, each block written as
// BinaryCIF and read back; the result must have no problem records and the
// same blocks, tags and value texts (numbers stored as numbers only where
// they read back unchanged). Documents BinaryCIF cannot hold (save frames,
// lists and tables) and those the writer would not reproduce as read
// (ragged loops, a tag in two loops, repeated block names) are left out.
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "bcif/to_document.hpp"
#include "bcif/write.hpp"
#include "core/pipeline.hpp"
#include "fuzz_common.hpp"

using namespace quarzel;

namespace {

bool writable(const ParsedCif& doc) {
    std::unordered_set<std::string_view> blocks;
    for (const ParsedBlock& b : doc.blocks) {
        if (!blocks.insert(b.name).second || !b.save_frames.empty()) return false;
        std::unordered_set<std::string_view> looped;
        for (const auto& loop : b.data.loops) {
            if (loop.empty()) return false;
            const std::size_t rows = b.data.find(loop[0])->size();
            for (std::string_view t : loop)
                if (!looped.insert(t).second || b.data.find(t)->size() != rows) return false;
        }
        for (std::string_view t : b.data.tag_order) {
            const ValueColumn& col = *b.data.find(t);
            for (std::size_t i = 0; i < col.size(); ++i)
                if (col[i].compound) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!fuzz::valid_utf8(text)) return 0;
    const ParseResult parsed = parse_document(text, false);
    const ParsedCif& doc = parsed.document;
    if (!writable(doc)) return 0;

    std::vector<bcif::FrameIn> frames;
    for (const ParsedBlock& b : doc.blocks) {
        bcif::FrameIn& f = frames.emplace_back();
        f.name = b.name;
        f.tag_order = b.data.tag_order;
        f.loops = b.data.loops;
        for (std::string_view t : b.data.tag_order) {
            const ValueColumn& col = *b.data.find(t);
            std::vector<std::string_view>& v = f.values.emplace_back();
            for (std::size_t i = 0; i < col.size(); ++i) v.push_back(col[i].text);
        }
    }
    const std::string bytes = bcif::write_file(frames, {});
    const ParsedCif back = bcif::read_document(bytes);
    if (!back.errors.empty()) fuzz::fail("read back with problems", back.errors[0].message);
    fuzz::check(back.blocks.size() == doc.blocks.size(), "block count");
    for (std::size_t k = 0; k < doc.blocks.size(); ++k) {
        const FrameData& a = doc.blocks[k].data;
        const FrameData& b = back.blocks[k].data;
        fuzz::check(back.blocks[k].name == doc.blocks[k].name, "block name", back.blocks[k].name);
        fuzz::check(a.tag_order.size() == b.tag_order.size(), "tag count", doc.blocks[k].name);
        for (std::string_view t : a.tag_order) {
            const ValueColumn* x = a.find(t);
            const ValueColumn* y = b.find(t);
            fuzz::check(y != nullptr, "tag lost", t);
            fuzz::check(x->size() == y->size(), "value count", t);
            for (std::size_t i = 0; i < x->size(); ++i)
                fuzz::check((*x)[i].text == (*y)[i].text, "value changed",
                            std::string(t) + ": " + std::string((*x)[i].text) + " -> " +
                                std::string((*y)[i].text));
        }
    }
    return 0;
}
