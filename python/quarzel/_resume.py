"""Resuming a dataset: which inputs it holds, and the rows of inputs that
could not be read, replaced when they are tried again."""

from __future__ import annotations

import os

from . import _commits
from ._inputs import file_name, input_path


def _files_parts(out: str) -> list[str]:
    return _commits.part_files(os.path.join(out, "_files"))


def done(out: str) -> set[str]:
    """``_file`` of every input that the dataset holds (status ok or
    problems). A name stored relative to an older run's working folder
    counts by its real path from here too."""
    parts = _files_parts(out)
    if not parts:
        return set()
    import pyarrow.compute as pc
    import pyarrow.dataset as ds

    table = ds.dataset(parts, format="parquet").to_table(columns=["_file", "status"])
    names = table.filter(pc.not_equal(table["status"], "failed"))["_file"].to_pylist()
    held = set(names)
    for name in names:
        if not name.startswith("/"):
            held.add(file_name(os.path.realpath(input_path(name))))
    return held


def forget_failed(out: str, retried: set[str]) -> None:
    """Removes the ``_files`` rows of failed inputs that this run tries
    again, and of folders that could not be listed and now hold inputs of
    this run (one commit): each input keeps one row however often it is
    resumed."""
    if not retried:
        return
    import bisect

    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    ordered = sorted(retried)

    def covered(name: str) -> bool:
        if name in retried:
            return True
        prefix = name.rstrip("/") + "/"
        k = bisect.bisect_left(ordered, prefix)
        return k < len(ordered) and ordered[k].startswith(prefix)

    renames: list[tuple[str, str]] = []
    removes: list[str] = []
    number = _commits.first_free_number(out)
    for path in _files_parts(out):
        status = pq.read_table(path, columns=["status"])["status"]
        if not pc.any(pc.equal(status, "failed")).as_py():
            continue
        table = pq.read_table(path)
        failed = pc.equal(table["status"], "failed").to_pylist()
        drop = [f and covered(name) for f, name in zip(failed, table["_file"].to_pylist())]
        if not any(drop):
            continue
        part = "_files/" + os.path.basename(path)
        keep = table.filter(pc.invert(pa.array(drop)))
        if keep.num_rows == 0:
            removes.append(part)
            continue
        temp = _commits.temp_name("_files", number)
        number += 1
        pq.write_table(keep, os.path.join(out, temp), compression="snappy")
        renames.append((temp, part))
    _commits.commit(out, renames, removes, number)
