// The manifest of a commit: how a worker's finished parts become part of
// the dataset at one moment, whatever kills the process on the way.
//
// A commit writes OUT/.commits/commit-N.json (under a temporary name,
// renamed: that rename is the commit), then renames each part from its
// temporary name to its part name, then deletes the manifest. Recovery
// (quarzel/_commits.py) completes the renames and removals of every
// manifest it finds and deletes temporary parts that no manifest names, so
// a commit is either wholly in the dataset or not at all.
//
// Format, one JSON object (paths relative to the output folder, in the
// order they are applied):
//   {"quarzel_commit": 1,
//    "rename": [["atom_site/.part-00007.parquet.tmp", "atom_site/part-00007.parquet"], ...],
//    "remove": ["_files/part-00002.parquet", ...]}
// A rename whose source is gone has been done; a removal of a missing file
// has been done. Writers other than the engine (the typed pass, a resumed
// run's rewrite of _files, a Dask partition's publication) use "remove"
// for parts they replace.
#pragma once

#include <arrow/result.h>
#include <arrow/status.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarzel::dataset {

// The folder of manifests in the output folder.
constexpr std::string_view kCommits = ".commits";
// The folder of the text of typed parts' numeric columns (kinds.hpp).
constexpr std::string_view kTextFolder = ".text";

// Appends `s` as a JSON string.
void put_json_string(std::string& out, std::string_view s);

struct Rename {
    std::string from, to;  // relative to the output folder
};

// The manifest's text.
std::string manifest_text(const std::vector<Rename>& renames);

// Writes the manifest of commit `number` and renames it into place: from
// here on the renames belong to the dataset. Returns its path. The folder
// OUT/.commits must exist.
arrow::Result<std::string> write_manifest(const std::string& out_dir, std::uint64_t number,
                                          const std::vector<Rename>& renames);

// Does the renames of a written manifest, then deletes it.
arrow::Status apply_manifest(const std::string& out_dir, const std::string& manifest,
                             const std::vector<Rename>& renames);

}  // namespace quarzel::dataset
