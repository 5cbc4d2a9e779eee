"""Where the tests find the repository's real CIF files (tests/data).

Every test that reads a real file goes through this module, so that the
folder is named in one place. The files are part of the repository: a
missing folder is an error, not a reason to skip.
"""

import gzip
import pathlib

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
if not (DATA / "README.md").is_file():
    raise RuntimeError(f"test data missing: {DATA} (it is part of the repository)")

CIF_SUFFIXES = (".cif", ".dic")


def path(*parts):
    """A file of the test data, which must exist."""
    p = DATA.joinpath(*parts)
    if not p.exists():
        raise FileNotFoundError(p)
    return p


def files(suffixes=CIF_SUFFIXES, depth=None):
    """Every test-data file whose name ends in one of `suffixes`, sorted;
    with `depth`, only files exactly that many folders below tests/data."""
    found = (p for p in DATA.rglob("*") if p.is_file() and p.name.endswith(tuple(suffixes)))
    if depth is not None:
        found = (p for p in found if len(p.relative_to(DATA).parts) == depth + 1)
    return sorted(found)


def read_bytes(p):
    """The bytes of a test-data file, gzip-compressed ones decompressed."""
    data = pathlib.Path(p).read_bytes()
    return gzip.decompress(data) if p.name.endswith(".gz") else data


def file_id(p):
    """A short test id: the file's path below tests/data."""
    return p.relative_to(DATA).as_posix()
