"""What every command of the ``quarzel`` command line shares: its exit
statuses and its progress bar. Kept apart from cli.py (and its argparse)
so that a command that needs no more, such as ``quarzel validate``, starts
without loading the rest."""

from __future__ import annotations

import os
import time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import TextIO

# Exit statuses, one meaning each (listed in --help).
EXIT_CLEAN = 0  # every file read without a problem
EXIT_ERRORS = 1  # some file has problems (each reported)
EXIT_UNREADABLE = 2  # a file could not be read or written (missing, damaged, no room)
EXIT_USAGE = 3  # the command line itself is wrong: bad arguments, unknown output format
EXIT_MISSING_DEPENDENCY = 4  # the command needs a package that is not installed (pyarrow)
EXIT_INTERRUPTED = 130

EXIT_STATUS_HELP = f"""\
exit status:
  {EXIT_CLEAN}    no problems found
  {EXIT_ERRORS}    problems found in some file (each reported)
  {EXIT_UNREADABLE}    a file could not be read or written (missing, unreadable or
       damaged input; an output that cannot be written; for a dataset:
       nothing could be read)
  {EXIT_USAGE}    the command line is wrong (bad arguments, unknown output format)
  {EXIT_MISSING_DEPENDENCY}    a package the command needs is missing (convert needs pyarrow)
  {EXIT_INTERRUPTED}  interrupted
"""

# Runs that touch more files or bytes than this show a progress bar (on a
# terminal only).
PROGRESS_MIN_FILES = 2
PROGRESS_MIN_BYTES = 20 * 1024 * 1024


class Progress:
    """A one-line progress bar on stderr, shown only on a terminal."""

    def __init__(self, total_bytes: int, total_files: int, enabled: bool, stream: TextIO) -> None:
        self.total_bytes = max(total_bytes, 1)
        self.total_files = total_files
        self.stream = stream
        self.enabled = enabled and stream.isatty()
        self.done_bytes = 0
        self.done_files = 0
        self.start = time.monotonic()

    def step(self, name: str, size: int) -> None:
        self.show(self.done_files + 1, self.done_bytes + size, name)

    def show(self, files: int, nbytes: int, name: str = "") -> None:
        """Redraws the bar at `files` files and `nbytes` bytes done."""
        self.done_bytes = nbytes
        self.done_files = files
        if not self.enabled:
            return
        width = 30
        filled = min(width, int(width * self.done_bytes / self.total_bytes))
        rate = self.done_bytes / max(time.monotonic() - self.start, 1e-9) / 1e6
        label = os.path.basename(name)[:30]
        self.stream.write(
            f"\r[{'#' * filled}{'.' * (width - filled)}] {self.done_files}/{self.total_files} "
            f"files {self.done_bytes / 1e6:.1f} MB {rate:.0f} MB/s {label:<30}"
        )
        self.stream.flush()

    def close(self) -> None:
        if self.enabled:
            self.stream.write("\r" + " " * 100 + "\r")
            self.stream.flush()
