#include "bcif/to_document.hpp"

#include <string>
#include <unordered_map>

#include "bcif/cif_layout.hpp"
#include "bcif/text.hpp"

namespace quarzel::bcif {

namespace {

class DocumentBuilder {
public:
    DocumentBuilder(ParsedCif& doc, ColumnLayout layout) : doc_(doc), layout_(layout) {}

    void block(std::string_view name) {
        if (frame_) frame_->settle();
        ParsedBlock& b = doc_.blocks.emplace_back();
        b.name = std::string(name);
        frame_ = &b.data;
    }
    void column(std::string_view tag, const DecodedColumn& values) {
        frame_->add(kept(tag), column_of(values));
    }
    void loop(const std::vector<std::string_view>& tags) {
        std::vector<std::string_view>& loop = frame_->loops.emplace_back();
        loop.reserve(tags.size());
        for (std::string_view t : tags) loop.push_back(kept(t));
    }
    void finish() {
        if (frame_) frame_->settle();
    }

private:
    // The document's one copy of a tag name.
    std::string_view kept(std::string_view tag) {
        auto it = names_.find(tag);
        if (it != names_.end()) return it->second;
        const std::string& k = doc_.arena.emplace_back(tag);
        names_.emplace(k, k);
        return k;
    }

    ValueColumn column_of(const DecodedColumn& c) {
        if (layout_ == ColumnLayout::Packed) {
            ValueColumn out(nullptr, 0, ColumnLayout::Packed);
            for_each_text(c, [&](std::string_view t) { out.push_text(t); });
            return out;
        }
        // The texts back to back in the arena, each a slice of it.
        std::string& text = doc_.arena.emplace_back();
        std::vector<std::size_t> ends;
        ends.reserve(c.size());
        for_each_text(c, [&](std::string_view t) {
            text += t;
            ends.push_back(text.size());
        });
        ValueColumn out(text.data(), text.size(), ColumnLayout::Refs);
        std::size_t start = 0;
        for (std::size_t end : ends) {
            const std::string_view v(text.data() + start, end - start);
            if (!out.push_slice(v)) out.push_text(v);
            start = end;
        }
        return out;
    }

    ParsedCif& doc_;
    ColumnLayout layout_;
    FrameData* frame_ = nullptr;
    std::unordered_map<std::string_view, std::string_view> names_;
};

}  // namespace

ParsedCif read_document(std::string_view input, ColumnLayout layout) {
    ParsedCif doc;
    Budget budget(input.size());
    DecodedFile file = decode_file(input, budget);
    doc.errors = std::move(file.errors);
    DocumentBuilder builder(doc, layout);
    walk_cif(file, budget, doc.errors, builder);
    builder.finish();
    return doc;
}

}  // namespace quarzel::bcif
