// The quarzel._native module: definition and start-up. Private to the
// quarzel package, which presents its functions to users.
#include "ext/entry_points.hpp"
#include "ext/validate_methods.hpp"

namespace quarzel::ext {
namespace {

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

#define QUARZEL_EXT_METHOD(name, impl, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impl)), kFlags, doc}

PyMethodDef functions[] = {
    QUARZEL_EXT_METHOD("unicode_version", py_unicode_version,
                       "unicode_version()\n--\n\n"
                       "The Unicode version of the native character tables."),
    QUARZEL_EXT_METHOD("text_errors", py_text_errors,
                       "text_errors(source, mode=None)\n--\n\n"
                       "The error records of a whole read of a CIF text."),
    QUARZEL_EXT_METHOD("write_cif", py_write_cif,
                       "write_cif(obj, kind, version, pdbx, line_limit)\n--\n\n"
                       "CIF text of a CifFile, CifBlock, CifSaveFrame or parse_raw dict."),
    QUARZEL_EXT_METHOD("check_name", py_check_name,
                       "check_name(name, kind)\n--\n\n"
                       "Raise ValueError when a block, frame or tag name breaks CIF rules."),
    QUARZEL_EXT_METHOD("number", py_number,
                       "number(text)\n--\n\n"
                       "(value, su) of one CIF number; (None, None) for anything else."),
    QUARZEL_EXT_METHOD("numbers", py_numbers,
                       "numbers(chunks, integers=False)\n--\n\n"
                       "Numbers of pyarrow string arrays as one struct array."),
    QUARZEL_EXT_METHOD(
        "dataset_convert", py_dataset_convert,
        "dataset_convert(inputs, out_dir, categories=None, tag_categories=None, "
        "jobs=1, progress=None, interval=0.2, names=None, failures=None, "
        "row_group_bytes=None, part_bytes=None, stream_bytes=None, rules=None, links=0, "
        "su_multiplier=3.0, ignore_case=False, typing=None, declared=None, seeds=None)\n--\n\n"
        "Converts CIF files to one Parquet dataset per category (the GIL is released)."),
    QUARZEL_EXT_METHOD(
        "settle_part", py_settle_part,
        "settle_part(part, text, out, text_out, columns, text_add, key, value)\n--\n\n"
        "Writes a part typed by its values as its table lays it out (the GIL is "
        "released); False when it cannot."),
    QUARZEL_VALIDATE_METHODS,
    QUARZEL_EXT_METHOD("bcif_is", py_bcif_is,
                       "bcif_is(data)\n--\n\n"
                       "True when the bytes begin like a BinaryCIF file."),
    QUARZEL_EXT_METHOD(
        "bcif_read", py_bcif_read,
        "bcif_read(data)\n--\n\n"
        "([(name, tags, tag_order, loops), ...], errors, spellings) of BinaryCIF bytes."),
    QUARZEL_EXT_METHOD("bcif_tables", py_bcif_tables,
                       "bcif_tables(data)\n--\n\n"
                       "([(header, [(category, RecordBatch), ...]), ...], errors): typed columns."),
    QUARZEL_EXT_METHOD("bcif_batches", py_bcif_batches,
                       "bcif_batches(data)\n--\n\n"
                       "(batches, errors) as parse_arrow gives them for the same content."),
    QUARZEL_EXT_METHOD("write_bcif", py_write_bcif,
                       "write_bcif(obj, kind, types=None, names=None)\n--\n\n"
                       "BinaryCIF bytes of a CifFile, CifBlock, CifSaveFrame or parse_raw dict."),
    QUARZEL_EXT_METHOD("name_spellings", py_name_spellings,
                       "name_spellings(text)\n--\n\n"
                       "{lower-case tag or block name: its first spelling in the CIF text}."),
    QUARZEL_EXT_METHOD(
        "read_categories", py_read_categories,
        "read_categories(source, is_path, categories, blocks=None, window=None)\n--\n\n"
        "([(category, pyarrow.Table)], errors) of the chosen categories of one input."),
    QUARZEL_EXT_METHOD("open_blocks", py_open_blocks,
                       "open_blocks(source, is_path, categories=None, window=None)\n--\n\n"
                       "A reader of the blocks of one input, one at a time."),
    QUARZEL_EXT_METHOD("next_block", py_next_block,
                       "next_block(handle)\n--\n\n"
                       "(block parts, errors) of the next block, or None at the end."),
    QUARZEL_EXT_METHOD("rest_errors", py_rest_errors,
                       "rest_errors(handle)\n--\n\n"
                       "The problem records that no block took."),
    QUARZEL_EXT_METHOD("index_build", py_index_build,
                       "index_build(source, is_path, window=None)\n--\n\n"
                       "(handle, blocks, entries, errors, groups): the index of one input."),
    QUARZEL_EXT_METHOD("index_read", py_index_read,
                       "index_read(handle, category, block=None, window=None)\n--\n\n"
                       "(pyarrow.Table, errors) of one category, from its byte ranges."),
    QUARZEL_EXT_METHOD("word_skim", py_word_skim,
                       "word_skim(on=None)\n--\n\n"
                       "Whether skipped runs of plain words are counted 64 bytes at a time "
                       "(the processor allowing); `on` switches it, returning what it was."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quarzel._native",
    "quarzel's native helpers (private).",
    0,
    functions,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quarzel::ext

PyMODINIT_FUNC PyInit__native() {
    return PyModuleDef_Init(&quarzel::ext::module_def);
}
