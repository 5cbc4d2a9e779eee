// Many CIF files to one Parquet dataset per category, on worker threads.
//
//   inputs ─► shared index ─► N workers, each: read (plain, gzip, bzip2, xz)
//     → UTF-8 check (Latin-1 reading otherwise) → parse_document → per-category
//     column buffers (chosen categories only) → row groups → one Parquet
//     writer per category → OUT/<category>/part-NNNNN.parquet
//   and OUT/_files/ (one row per input), OUT/_errors/ (one row per problem),
//   and with a rule set OUT/_validation/ (one row per finding of the
//   validator, src/validate, run on each document as it is read).
//
// Parts are written under hidden temporary names and renamed at a commit:
// when a worker has written `part_bytes` of text since the last one, before
// a file of more than `own_commit_bytes` of text and at its end (also after
// a cancel). A commit first writes its manifest, OUT/.commits/commit-N.json,
// which lists the renames (temporary name → part name), then renames the
// parts, then deletes the manifest (manifest.hpp). The manifest's own rename
// is the moment of the commit: a killed run leaves temporary parts that no
// manifest names (dropped by recovery) or a manifest whose renames recovery
// completes, so a file's rows and its `_files` row become part of the
// dataset together or not at all.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/categories.hpp"
#include "dataset/kinds.hpp"

namespace quarzel::validate {
struct RuleSet;
struct Options;
}  // namespace quarzel::validate

namespace quarzel::dataset {

struct Options {
    std::vector<std::string> inputs;  // paths to open (any bytes)
    // What `_file` says of each input; empty: the paths as they are.
    std::vector<std::string> names;
    // Per input, empty or why it is recorded as failed without being read
    // (a folder that could not be listed); empty: none.
    std::vector<std::string> failures;
    std::string out_dir;
    std::unordered_set<std::string> categories;                   // empty: every category
    std::unordered_map<std::string, std::string> tag_categories;  // lower-case tag → category
    unsigned jobs = 1;
    std::size_t row_group_bytes = std::size_t{64} << 20;  // per worker, buffered before writing
    std::size_t part_bytes = std::size_t{1} << 30;        // per worker, text read before a commit
    std::size_t max_open_writers = 256;                   // per worker, at most
    // A file of more text than this is committed on its own (a commit
    // before it), so that running out of memory on it loses nothing else.
    std::size_t own_commit_bytes = std::size_t{64} << 20;
    // A file of more bytes on disk than this (an eighth of it compressed)
    // is read and converted a block at a time, committed on its own: what
    // is held of it is a window of text and one block.
    std::size_t stream_bytes = std::size_t{64} << 20;
    // Checks each document against these rules (null: none), its findings
    // going to _validation.
    std::shared_ptr<const validate::RuleSet> rules;
    std::shared_ptr<const validate::Options> validation;
    // Typed runs (kinds.hpp): how columns are typed; for Typing::Dictionary
    // the lower-case tags it types as numbers (the others stay text); for
    // Typing::Values the kinds of the parts the run adds to.
    Typing typing = Typing::None;
    std::unordered_map<std::string, Declared> declared;
    RunKinds::Seeds seeds;
};

// Counters that the workers raise as they go; read from any thread.
struct Progress {
    std::atomic<std::uint64_t> files{0};          // inputs finished (read or failed)
    std::atomic<std::uint64_t> bytes{0};          // bytes on disk of finished inputs
    std::atomic<std::uint64_t> text_bytes{0};     // their text, decompressed
    std::atomic<std::uint64_t> failed{0};         // inputs that could not be read
    std::atomic<std::uint64_t> problem_files{0};  // read, with problem records
    std::atomic<std::uint64_t> problems{0};       // problem records
    std::atomic<std::uint64_t> findings{0};       // validation findings
};

struct Summary {
    std::uint64_t files = 0;  // inputs finished
    std::uint64_t files_read = 0;
    std::uint64_t files_failed = 0;
    std::uint64_t files_with_problems = 0;  // read, with problem records
    std::uint64_t problems = 0;
    std::uint64_t bytes = 0;
    std::uint64_t text_bytes = 0;
    std::map<std::string, std::uint64_t> rows;  // per category
    // Per table folder, its tag columns ordered by the input that first
    // brought each, those of one input in the order its text gave them,
    // each with that input: an order no worker's timing changes.
    std::map<std::string, std::vector<std::pair<std::string, std::uint64_t>>> columns;
    // Validation: findings per severity (error, warning, info), and the
    // files with at least one error.
    std::uint64_t findings[3] = {0, 0, 0};
    std::uint64_t files_invalid = 0;
    double seconds = 0;
    bool cancelled = false;
    unsigned jobs = 0;             // workers that ran (fewer than asked when descriptors are few)
    std::size_t open_writers = 0;  // the bound on each worker's open parts
    std::string fatal;             // non-empty: the output could not be written; the run stopped
};

// Runs the conversion to its end, or until `cancel` becomes true (workers
// finish the file in hand and commit what they have).
Summary convert(const Options& options, Progress& progress, const std::atomic<bool>& cancel);

// How tags name their category: the same rules as the reader's.
using quarzel::dotted_category;
using quarzel::loop_prefix_category;

// The name of a category's folder: bytes that could not stand in a file
// name, `=` (which readers take for a hive partition), a leading
// underscore (kept for the dataset's own tables) and a leading dot (hidden
// folders, kept for the dataset's bookkeeping) as %XX; the empty name as
// `%`; over-long names cut and marked with a hash.
std::string folder_name(std::string_view category);

}  // namespace quarzel::dataset
