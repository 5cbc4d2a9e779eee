// A typed run's parts: each tag column laid out as its typing says
// (kinds.hpp), a new part when a column's layout changes, the text of the
// numeric columns that their numbers do not give back (number_text.hpp;
// the others' rows null) and of the text columns that may yet become
// numbers in a part of its own under OUT/.text/, and what the part holds
// recorded in its footer.
#include <algorithm>
#include <cstdio>

#include "dataset/manifest.hpp"
#include "dataset/worker.hpp"

namespace quarzel::dataset {

namespace {

std::string free_name(std::string name, std::unordered_set<std::string>& taken) {
    while (taken.count(name)) name.push_back('_');
    taken.insert(name);
    return name;
}

enum Role : std::uint8_t { kTagText, kValue, kSu, kStatus, kCells };

void add_columns(std::vector<FileColumn>& out, const std::string& tag, const Layout& l) {
    if (l.kind == Layout::Text) {
        out.push_back({tag, false, true, pq::kByteArray});
        return;
    }
    const pq::Physical physical = l.kind == Layout::Int64 ? pq::kInt64 : pq::kDouble;
    out.push_back({tag, false, true, physical});
    if (!l.su.empty()) out.push_back({l.su, false, true, physical});
    if (!l.status.empty()) out.push_back({l.status, true, true, pq::kByteArray});
    if (!l.text.empty()) out.push_back({l.text, false, true, pq::kByteArray});
}

// The kinds that decide the layout of a column typed by its values: the
// run's, and text where this row group's values went by unseen.
std::uint8_t layout_bits(const TypedColumn& ty) {
    return ty.run->get() | (ty.unseen ? kinds::kText : 0);
}

const char* kind_name(Layout::Kind k) {
    return k == Layout::Int64 ? "int64" : k == Layout::Double ? "float64" : "text";
}

}  // namespace

Layout Worker::wanted_layout(const std::string& tag, const TypedColumn* ty,
                             std::unordered_set<std::string>& taken) const {
    Layout l;
    if (!ty) return l;
    bool su, status, text;
    if (ty->by_dictionary()) {
        if (ty->declared == Declared::Text) return l;
        l.kind = ty->declared == Declared::Integer ? Layout::Int64 : Layout::Double;
        su = status = text = true;  // always: one schema whatever the values
    } else {
        const std::uint8_t bits = layout_bits(*ty);
        l.kind = value_kind(bits);
        if (l.kind == Layout::Text) return l;
        su = bits & kinds::kSu;
        status = bits & (kinds::kPlaceholder | kinds::kText);
        text = false;  // text in the run makes the column text
    }
    if (su) l.su = free_name(tag + "_su", taken);
    if (status) l.status = free_name(tag + "_status", taken);
    if (text) l.text = free_name(tag + "_text", taken);
    return l;
}

arrow::Status Worker::flush_typed_table(const std::string& name, TableBuffer& t) {
    for (auto& id : t.ids) id.pad_to(t.rows);
    for (auto& c : t.columns) c->pad_all(t.rows);
    Part* part = find_part(name);
    // Every column's layout now; the names beside numbers are chosen among
    // the table's tags in a fixed order, so they are the same every time.
    std::unordered_set<std::string> taken{std::string(kFileColumn), std::string(kBlockColumn),
                                          std::string(kFrameColumn)};
    for (auto& c : t.columns) taken.insert(c->name);
    TextMap<Layout> wanted;
    for (auto& c : t.columns)
        wanted.emplace(c->name, wanted_layout(c->name, c->typed.get(), taken));

    auto in_part = [&](const std::string& n) { return part && part->file->has(n); };
    const bool frames = t.ids[2].nulls != t.rows || in_part(t.ids[2].name);
    bool fits = part != nullptr && (!frames || in_part(t.ids[2].name));
    for (auto& c : t.columns) {
        if (!fits) break;
        auto it = part->layouts.find(c->name);
        fits = it != part->layouts.end() && it->second == wanted[c->name];
    }
    if (!fits) {
        std::vector<std::string> tags;
        std::unordered_set<std::string> seen;
        if (part)
            for (const std::string& tag : part->tags)
                if (seen.insert(tag).second) tags.push_back(tag);
        for (auto& c : t.columns)
            if (seen.insert(c->name).second) tags.push_back(c->name);
        std::vector<FileColumn> columns;
        for (int i = 0; i < 3; ++i) {
            if (i == 2 && !frames) continue;
            columns.push_back({t.ids[i].name, true, i == 2, pq::kByteArray});
        }
        // Text columns that hold only ? and . so far may yet become numbers:
        // their text is kept from the start, so that settling the part
        // need not write its kept text again to add it.
        std::unordered_set<std::string> placeholders;
        if (options_.typing == Typing::Values)
            for (auto& c : t.columns)
                if (c->typed && wanted[c->name].kind == Layout::Text &&
                    (layout_bits(*c->typed) & ~kinds::kPlaceholder) == 0)
                    placeholders.insert(c->name);
        TextMap<Layout> layouts;
        for (const std::string& tag : tags) {
            auto it = wanted.find(tag);
            Layout l = it != wanted.end() ? it->second : part->layouts[tag];
            add_columns(columns, tag, l);
            layouts.emplace(tag, std::move(l));
        }
        if (part) ARROW_RETURN_NOT_OK(close_part(name));
        ARROW_ASSIGN_OR_RAISE(part, open_typed_part(name, std::move(columns), std::move(layouts),
                                                    std::move(tags), placeholders));
    }

    // Which column of the part each file column comes from.
    TextMap<std::pair<TagColumn*, Role>> roles;
    for (const std::string& tag : part->tags) {
        auto c = t.by_name.find(tag);
        TagColumn* col = c != t.by_name.end() ? c->second : nullptr;
        const Layout& l = part->layouts[tag];
        if (l.kind == Layout::Text) {
            roles.emplace(tag, std::make_pair(col, kTagText));
            continue;
        }
        roles.emplace(tag, std::make_pair(col, kValue));
        if (!l.su.empty()) roles.emplace(l.su, std::make_pair(col, kSu));
        if (!l.status.empty()) roles.emplace(l.status, std::make_pair(col, kStatus));
        if (!l.text.empty()) roles.emplace(l.text, std::make_pair(col, kCells));
    }
    bool lacks = false;
    auto null_chunk = [&]() -> const ColumnChunk* {
        if (!lacks) {
            null_column_.reset();
            null_column_.push_nulls(t.rows);
            null_column_.finish(pages_);
            lacks = true;
        }
        return &null_column_.chunk;
    };
    std::vector<const ColumnChunk*> chunks;
    chunks.reserve(part->file->columns().size());
    for (const FileColumn& f : part->file->columns()) {
        if (!roles.count(f.name)) {  // an identity column
            for (auto& id : t.ids) {
                if (id.name != f.name) continue;
                id.encode(pages_, f.optional);
                chunks.push_back(&id.chunk);
            }
            continue;
        }
        const auto& [col, role] = roles.at(f.name);
        if (!col) {
            chunks.push_back(null_chunk());
            continue;
        }
        TypedColumn* ty = col->typed.get();
        const bool doubles = f.physical == pq::kDouble;
        switch (role) {
            case kTagText:
                if (col->typed) fill_text(*col);  // numbers that the run found text beside
                col->finish(pages_);
                chunks.push_back(&col->chunk);
                break;
            case kValue:
                ty->numbers.encode_values(pages_, ty->value_chunk, doubles);
                chunks.push_back(&ty->value_chunk);
                break;
            case kSu:
                ty->numbers.encode_su(pages_, ty->su_chunk, doubles);
                chunks.push_back(&ty->su_chunk);
                break;
            case kStatus:
                ty->numbers.encode_status(pages_, ty->status_chunk);
                chunks.push_back(&ty->status_chunk);
                break;
            case kCells:
                ty->text_cells.finish(pages_);
                chunks.push_back(&ty->text_cells.chunk);
                break;
        }
    }
    ARROW_RETURN_NOT_OK(part->file->write_row_group(static_cast<std::int64_t>(t.rows), chunks));

    if (part->shadow) {
        // The text of the numeric columns their numbers do not give back,
        // row for row.
        chunks.clear();
        for (const FileColumn& f : part->shadow->columns()) {
            auto c = t.by_name.find(f.name);
            if (c == t.by_name.end()) {
                chunks.push_back(null_chunk());
                continue;
            }
            c->second->finish(pages_);
            chunks.push_back(&c->second->chunk);
        }
        ARROW_RETURN_NOT_OK(
            part->shadow->write_row_group(static_cast<std::int64_t>(t.rows), chunks));
    }
    if (options_.typing == Typing::Values) {
        for (auto& c : t.columns) {
            const TypedColumn& ty = *c->typed;
            part->kinds[c->name] |=
                static_cast<std::uint8_t>(ty.numbers.kinds() | (ty.unseen ? kinds::kUnseen : 0));
        }
    }
    t.reset(kept_);
    return arrow::Status::OK();
}

arrow::Result<Part*> Worker::open_typed_part(const std::string& name,
                                             std::vector<FileColumn> columns,
                                             TextMap<Layout> layouts, std::vector<std::string> tags,
                                             const std::unordered_set<std::string>& placeholders) {
    ARROW_ASSIGN_OR_RAISE(Part * part, open_table_part(name, std::move(columns)));
    part->layouts = std::move(layouts);
    part->tags = std::move(tags);
    if (options_.typing != Typing::Values) return part;
    std::vector<FileColumn> texts;
    bool numbers = false;
    for (const std::string& tag : part->tags) {
        const bool number = part->layouts[tag].kind != Layout::Text;
        numbers = numbers || number;
        if (number || placeholders.count(tag)) texts.push_back({tag, false, true, pq::kByteArray});
    }
    if (!numbers) return part;  // a part of text alone keeps none
    const std::string folder_name = std::string(kTextFolder) + "/" + name;
    std::string folder;
    ARROW_RETURN_NOT_OK(shared_.folder(folder_name, folder));
    const std::string base = part->final_name.substr(part->final_name.rfind('/') + 1);
    part->shadow_final_name = folder_name + "/" + base;
    part->shadow_temp_name = folder_name + "/." + base + ".tmp";
    part->shadow_temp_path = options_.out_dir + "/" + part->shadow_temp_name;
    part->shadow = std::make_unique<ParquetFile>();
    ARROW_RETURN_NOT_OK(
        part->shadow->open(part->shadow_temp_path, std::move(texts), pages_.codec_id()));
    return part;
}

std::string Worker::typing_metadata(const Part& part) const {
    const bool values = options_.typing == Typing::Values;
    std::string out = "{\"quarzel_typing\": 1, \"typed_by\": ";
    out += values ? "\"values\"" : "\"dictionary\"";
    out += ", \"columns\": {";
    bool first = true;
    for (const std::string& tag : part.tags) {
        const Layout& l = part.layouts.at(tag);
        if (!values && l.kind == Layout::Text) continue;
        out += first ? "\n " : ",\n ";
        first = false;
        put_json_string(out, tag);
        out += ": {\"type\": \"";
        out += kind_name(l.kind);
        out += '"';
        if (values) {
            auto k = part.kinds.find(tag);
            out += ", \"kinds\": \"" + kinds::letters(k != part.kinds.end() ? k->second : 0) + '"';
        }
        for (const auto& [key, value] : {std::pair<const char*, const std::string*>{"su", &l.su},
                                         {"status", &l.status},
                                         {"text", &l.text}}) {
            if (value->empty()) continue;
            out += ", \"";
            out += key;
            out += "\": ";
            put_json_string(out, *value);
        }
        out += '}';
    }
    out += "}}";
    return out;
}

}  // namespace quarzel::dataset
