"""Whole archives on a Dask cluster.

``convert`` runs the native engine of :mod:`quarzel.dataset` per partition of
files on the cluster's workers and writes the same dataset layout as
``quarzel.dataset.convert``; ``read_category`` builds one category's table
lazily as a ``dask.dataframe.DataFrame``, one partition per group of files.

On an existing cluster::

    from distributed import Client
    import quarzel.dask
    client = Client("tcp://scheduler:8786")
    quarzel.dask.convert(["/data/pdb/"], "/shared/pdb-dataset/", client=client)

Every worker must see the inputs and the output folder under the same paths
(a shared file system). A partition writes into a hidden staging folder of
the output; its parts are moved into place in one commit when it has
finished (see ``quarzel._commits``), so the dataset holds only whole
partitions at any time. ``_file`` holds each input's real path, as the
single-machine engine writes it.
"""

from __future__ import annotations

import os
import shutil
import tempfile
import uuid
import warnings
from typing import Any, Iterable, Sequence

from . import _commits, _inputs
from . import dataset as _dataset

FILES_PER_TASK = 256

# Dask's DataFrame without dask-expr (as Debian ships it) warns at every
# import, in every worker process too; the legacy implementation is the one
# read_category uses.
for _message in ("Dask dataframe query planning is disabled", "The legacy Dask DataFrame implementation"):
    warnings.filterwarnings("ignore", message=_message, category=FutureWarning)


def _groups(paths: list[str], size: int) -> list[list[str]]:
    size = max(1, int(size))
    return [paths[i:i + size] for i in range(0, len(paths), size)]


def _convert_partition(files: list[str | bytes], names: list[str], failures: list[str] | None,
                       staging: str, categories: list[str] | None,
                       tag_categories: dict[str, str] | None, jobs: int) -> dict[str, Any]:
    """Runs on a worker: the native engine over one group of files."""
    from . import _native

    result = _native.dataset_convert(files, staging, categories, tag_categories, jobs, names=names,
                                     failures=failures)
    result["staging"] = staging
    return result


def _publish(staging: str, out_dir: str, next_part: int) -> int:
    """Moves a finished partition's parts into the dataset in one commit,
    the list of files last; returns the next free part number."""
    renames = []
    tables = _commits.table_folders(staging)
    tables.sort(key=lambda t: (t == "_files", t in ("_errors", "_validation")))
    for table in tables:
        for path in _commits.part_files(os.path.join(staging, table)):
            renames.append((os.path.relpath(path, out_dir), _commits.final_name(table, next_part)))
            next_part += 1
    _commits.commit(out_dir, renames, number=next_part)
    shutil.rmtree(staging, ignore_errors=True)
    return next_part + 1


def _partition_args(entries: list[_inputs.Input], names: list[str]) -> tuple[Any, ...]:
    return _inputs.engine_inputs(entries, names)


def _default_client(client: Any) -> Any:
    if client is not None:
        return client
    try:
        from distributed import get_client

        return get_client()
    except (ImportError, ValueError):
        return None


def convert(
    inputs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    *,
    client: Any = None,
    files_per_task: int = FILES_PER_TASK,
    categories: Sequence[str] | None = None,
    dictionary: str | os.PathLike[str] | None = None,
    jobs_per_task: int = 1,
    resume: bool = False,
) -> _dataset.Summary:
    """Converts CIF files to the dataset layout of ``quarzel.dataset.convert``
    on a Dask cluster: one task per ``files_per_task`` inputs, each running
    the native engine with ``jobs_per_task`` threads. ``client`` defaults to
    the current ``distributed`` client, else Dask's local scheduler."""
    import time

    from . import _common_schema, _resume

    start = time.monotonic()
    out = os.path.abspath(os.fspath(out_dir))
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    entries = _inputs.collect(inputs)
    names = [_inputs.file_name(e.real) for e in entries]
    summary = _dataset.Summary()
    tag_categories = _dataset.dictionary_categories(os.fspath(dictionary)) if dictionary else None
    cats = None if categories is None else [c.lower() for c in categories]
    with _commits.Lock(out):
        if _commits.holds_dataset(out) and not resume:
            raise FileExistsError(f"{out} already holds a dataset (resume it, or choose a new folder)")
        _commits.recover(out)  # partitions of an interrupted run that never finished included
        if resume:
            done = _resume.done(out)
            todo = [k for k, n in enumerate(names) if n not in done]
            summary.skipped = len(entries) - len(todo)
            entries = [entries[k] for k in todo]
            names = [names[k] for k in todo]
            _resume.forget_failed(out, set(names))
        run = os.path.join(out, f"{_commits.STAGING}{uuid.uuid4().hex}")
        size = max(1, int(files_per_task))
        args = [(*_partition_args(entries[i:i + size], names[i:i + size]), os.path.join(run, f"{i // size:06}"),
                 cats, tag_categories, jobs_per_task) for i in range(0, len(entries), size)]
        next_part = _commits.first_free_number(out)
        offsets = {a[3]: i for a, i in zip(args, range(0, len(entries), size))}
        first: dict[str, Any] = {}  # where each table's tags first came from, over all partitions
        results = []
        client = _default_client(client)
        try:
            if client is not None:
                from distributed import as_completed

                futures = [client.submit(_convert_partition, *a, pure=False) for a in args]
                for future in as_completed(futures):
                    result = future.result()
                    next_part = _publish(result["staging"], out, next_part)
                    _common_schema.first_inputs(result["columns"], offsets[result["staging"]], first)
                    results.append(result)
            else:
                import dask

                tasks = [dask.delayed(_convert_partition, pure=False)(*a) for a in args]
                for result in dask.compute(*tasks):
                    next_part = _publish(result["staging"], out, next_part)
                    _common_schema.first_inputs(result["columns"], offsets[result["staging"]], first)
                    results.append(result)
        finally:
            shutil.rmtree(run, ignore_errors=True)
        _common_schema.write_all(out, first=first)  # each table's one schema
    for r in results:
        for key in ("files", "files_read", "files_failed", "files_with_problems", "problems", "bytes", "text_bytes"):
            setattr(summary, key, getattr(summary, key) + r[key])
        for table, n in r["rows"].items():
            summary.rows[table] = summary.rows.get(table, 0) + n
    summary.seconds = time.monotonic() - start
    return summary


def _import_dataframe() -> Any:
    import dask

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        dask.config.set({"dataframe.query-planning": False})
        import dask.dataframe as dd
    return dd


def _category_table(files: list[tuple[str | bytes, str]], category: str,
                    tag_categories: dict[str, str] | None) -> Any:
    from . import _native

    with tempfile.TemporaryDirectory(prefix="quarzel-") as tmp:
        _native.dataset_convert([p for p, _ in files], tmp, [category], tag_categories, 1,
                                names=[n for _, n in files])
        folder = os.path.join(tmp, category)
        if not os.path.isdir(folder):
            return None
        return _dataset.read_table(tmp, category)


def _category_columns(files: list[tuple[str | bytes, str]], category: str, tag_categories: dict[str, str] | None) -> list[str]:
    table = _category_table(files, category, tag_categories)
    return [] if table is None else table.column_names


def _category_partition(files: list[tuple[str | bytes, str]], category: str, tag_categories: dict[str, str] | None,
                        columns: list[str]) -> Any:
    import pandas as pd

    table = _category_table(files, category, tag_categories)
    frame = table.to_pandas() if table is not None else pd.DataFrame()
    return pd.DataFrame({c: (frame[c] if c in frame else pd.Series([None] * len(frame), dtype=object)).astype(object)
                         for c in columns})


def read_category(
    inputs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    category: str,
    *,
    files_per_partition: int = FILES_PER_TASK,
    columns: Sequence[str] | None = None,
    dictionary: str | os.PathLike[str] | None = None,
) -> Any:
    """One category's table over all inputs as a lazy ``dask.dataframe.DataFrame``,
    one partition per ``files_per_partition`` inputs, with the columns of the
    dataset table (``_file``, ``_block_name``, ``_frame_name`` when any row
    comes from a save frame, then the tags in order of first appearance).
    Without ``columns``, one pass over the files (run on the cluster) finds
    them first. Cells are ``str`` or ``None``."""
    import dask
    import pandas as pd

    dd = _import_dataframe()
    category = category.lower()
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    paths = [(_inputs.os_path(e.real), _inputs.file_name(e.real)) for e in _inputs.collect(inputs)
             if e.failure is None]
    tag_categories = _dataset.dictionary_categories(os.fspath(dictionary)) if dictionary else None
    groups = _groups(paths, files_per_partition) or [[]]
    if columns is None:
        found = dask.compute(*[dask.delayed(_category_columns, pure=True)(g, category, tag_categories) for g in groups])
        names: list[str] = []
        for cols in found:
            names.extend(c for c in cols if c not in names)
        identity = [c for c in ("_file", "_block_name", "_frame_name") if c in names]
        columns = identity + [c for c in names if c not in identity]
    columns = list(columns)
    meta = pd.DataFrame({c: pd.Series(dtype=object) for c in columns})
    return dd.from_map(_category_partition, groups, category=category, tag_categories=tag_categories,
                       columns=columns, meta=meta, enforce_metadata=False)
