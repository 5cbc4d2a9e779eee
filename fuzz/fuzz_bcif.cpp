// The BinaryCIF decoder on any bytes: the container, every column decoded
// into the document (both layouts) and into typed Arrow batches. Nothing
// may crash or allocate beyond the budget; every problem record must be
// valid UTF-8, and every Arrow batch must validate.
#include <cstdint>
#include <string_view>

#include <arrow/api.h>
#include <arrow/c/bridge.h>

#include "bcif/to_arrow.hpp"
#include "bcif/to_document.hpp"
#include "fuzz_common.hpp"

using namespace quarzel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (ColumnLayout layout : {ColumnLayout::Refs, ColumnLayout::Packed}) {
        const ParsedCif doc = bcif::read_document(input, layout);
        for (const NativeParseError& e : doc.errors)
            fuzz::check(fuzz::valid_utf8(e.message), "record not UTF-8", e.message);
        std::uint64_t bytes = 0;
        for (const ParsedBlock& b : doc.blocks) {
            fuzz::check(fuzz::valid_utf8(b.name), "block name not UTF-8", b.name);
            for (std::string_view tag : b.data.tag_order) {
                const ValueColumn* col = b.data.find(tag);
                fuzz::check(col != nullptr, "a tag without values", tag);
                for (std::size_t i = 0; i < col->size(); ++i) bytes += (*col)[i].text.size();
            }
        }
        (void)bytes;
    }
    arrow::Result<bcif::Tables> tables = bcif::read_tables(input);
    fuzz::check(tables.ok(), "tables failed", tables.ok() ? "" : tables.status().ToString());
    for (bcif::BlockBatches& b : tables->blocks)
        for (bcif::CategoryBatch& c : b.categories) {
            const arrow::Status st = c.table->ValidateFull();
            fuzz::check(st.ok(), "table invalid", st.ToString());
        }
    return 0;
}
