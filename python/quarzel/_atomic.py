"""Replacing a file safely: the new content goes into a temporary file beside
it, which takes the file's name only when it is complete.

A failure (or an interruption) leaves no partial file behind and an earlier
file as it was. A path that is a symbolic link is written through: the file
it points to gets the new content and the link stays. The temporary name is
short, so that a target whose name is as long as the file system allows can
still be written.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
from collections.abc import Iterator

__all__ = ["check_folder", "replacing"]

TEMP_PREFIX = ".quarzel-"
TEMP_SUFFIX = ".tmp"


def check_folder(path: str | os.PathLike[str]) -> str:
    """The file that writing ``path`` replaces (a symbolic link followed),
    after making sure its folder exists: ``FileNotFoundError`` ("no such
    folder") when it does not, ``NotADirectoryError`` ("not a directory")
    when a part of it is a file."""
    path = os.fspath(path)
    target = os.path.realpath(path)
    # Messages name the folder as given (a link's target's when the path is a link).
    folder = os.path.dirname(target if os.path.islink(path) else os.path.abspath(path))
    try:
        mode = os.stat(folder).st_mode
    except FileNotFoundError:
        raise FileNotFoundError(errno.ENOENT, f"no such folder {folder!r}", path) from None
    except NotADirectoryError:
        mode = None
    if mode is None or not stat.S_ISDIR(mode):
        # The last part of the folder's path that exists is a file.
        part = folder
        while not os.path.lexists(part) and os.path.dirname(part) != part:
            part = os.path.dirname(part)
        raise NotADirectoryError(errno.ENOTDIR, f"not a directory: {part!r}", path)
    return target


@contextlib.contextmanager
def replacing(path: str | os.PathLike[str]) -> Iterator[str]:
    """Yields the name of a new, empty file beside the file ``path`` names,
    created with the permissions of an ordinary new file; when the block
    completes it takes the place of that file (keeping an earlier file's
    permissions), when the block raises it is removed. (``check_folder``
    first gives friendlier errors for a folder that is not there.)"""
    target = os.path.realpath(path)
    folder = os.path.dirname(target)
    while True:
        temp = os.path.join(folder, f"{TEMP_PREFIX}{os.urandom(6).hex()}{TEMP_SUFFIX}")
        try:
            # Mode "x": created only if nothing has that name yet, with the
            # permissions of an ordinary new file. A missing folder raises
            # the system's own error.
            open(temp, "xb").close()
            break
        except FileExistsError:  # pragma: no cover (48 random bits)
            continue
    try:
        yield temp
        with contextlib.suppress(FileNotFoundError):
            os.chmod(temp, stat.S_IMODE(os.stat(target).st_mode))
        os.replace(temp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise
