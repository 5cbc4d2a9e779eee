// A whole archive conversion from any bytes: up to four CIF files (the
// input split at 0xFF bytes) into a dataset with tiny row groups and parts,
// so that pages, row groups, nulls and parts of different columns all come
// up. Every part must open in Arrow's Parquet reader and validate, its rows
// must add up to what the summary counts per table, and _files must list
// every input.
#include <arrow/api.h>
#include <arrow/io/file.h>
#include <parquet/arrow/reader.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "dataset/engine.hpp"
#include "fuzz_common.hpp"

using namespace quarzel;
namespace fs = std::filesystem;

namespace {

const fs::path& scratch() {
    static const fs::path path =
        fs::temp_directory_path() / ("quarzel-fuzz-dataset-" + std::to_string(::getpid()));
    return path;
}

std::int64_t rows_of(const fs::path& part) {
    auto file = arrow::io::ReadableFile::Open(part.string());
    fuzz::check(file.ok(), "a part cannot be opened", part.string());
    auto reader = parquet::arrow::OpenFile(*file, arrow::default_memory_pool());
    fuzz::check(reader.ok(), "a part is not Parquet", reader.status().ToString());
    auto table = (*reader)->ReadTable();
    fuzz::check(table.ok(), "a part cannot be read", table.status().ToString());
    fuzz::check((*table)->ValidateFull().ok(), "a part does not validate", part.string());
    return (*table)->num_rows();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path in = scratch() / "in";
    const fs::path out = scratch() / "out";
    std::error_code ec;
    fs::remove_all(scratch(), ec);
    fs::create_directories(in);

    dataset::Options options;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    for (int i = 0; i < 4 && start <= bytes.size(); ++i) {
        std::size_t end = bytes.find('\xFF', start);
        if (end == std::string_view::npos || i == 3) end = bytes.size();
        const fs::path path = in / (std::to_string(i) + ".cif");
        std::ofstream(path, std::ios::binary)
            .write(bytes.data() + start, static_cast<std::streamsize>(end - start));
        options.inputs.push_back(path.string());
        start = end + 1;
    }
    options.out_dir = out.string();
    options.row_group_bytes = 64;
    options.part_bytes = 128;
    options.max_open_writers = 3;
    // Inputs of an odd length are typed by their values: numbers beside the
    // text their numbers do not give back, kept under .text/.
    if (size % 2 == 1) options.typing = dataset::Typing::Values;
    dataset::Progress progress;
    std::atomic<bool> cancel{false};
    const dataset::Summary summary = dataset::convert(options, progress, cancel);
    fuzz::check(summary.fatal.empty(), "the conversion failed", summary.fatal);
    fuzz::check(summary.files == options.inputs.size(), "an input was not counted");

    std::map<std::string, std::int64_t> rows;
    for (const auto& table : fs::directory_iterator(out)) {
        const std::string table_name = table.path().filename().string();
        if (table_name == ".text") continue;
        for (const auto& part : fs::directory_iterator(table.path())) {
            const std::string name = part.path().filename().string();
            fuzz::check(name.starts_with("part-"), "a temporary part was left", name);
            const std::int64_t n = rows_of(part.path());
            rows[table_name] += n;
            // The text kept beside a typed part has its rows.
            const fs::path kept = out / ".text" / table_name / name;
            if (fs::exists(kept))
                fuzz::check(rows_of(kept) == n, "kept text and part differ in rows", name);
        }
    }
    fuzz::check(rows["_files"] == static_cast<std::int64_t>(options.inputs.size()),
                "_files does not list every input");
    for (const auto& [table, n] : summary.rows)  // by folder name
        fuzz::check(rows[table] == static_cast<std::int64_t>(n), "rows lost or added", table);
    fs::remove_all(scratch(), ec);
    return 0;
}
