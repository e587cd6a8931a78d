"""The files a source names (a file, a glob, a folder), and standard
input spooled to a temporary file."""

from __future__ import annotations

import glob
import os
import shutil
import sys
import tempfile

from .options import RecordError

__all__ = ["input_files", "spooled"]


def input_files(source: str) -> list[str]:
    """The files a source names: itself, a glob's matches, or a folder's
    files (recursively, leaving out names that start with "." or "_"). A
    name is a glob only when no file or folder has that very name: a file
    named "data?.csv" is that file."""
    if source == "-":
        return ["-"]
    if os.path.isfile(source):
        return [source]
    if os.path.isdir(source):
        found = []
        for folder, subfolders, names in os.walk(source):
            subfolders[:] = sorted(d for d in subfolders if not d.startswith((".", "_")))
            found += [os.path.join(folder, n) for n in names if not n.startswith((".", "_"))]
        if not found:
            raise RecordError(f"{source}: the folder holds no files")
        return sorted(found)
    if glob.has_magic(source):
        found = sorted(p for p in glob.glob(source, recursive=True) if os.path.isfile(p))
        if not found:
            raise RecordError(f"{source}: no file matches")
        return found
    if not os.path.exists(source):
        raise FileNotFoundError(2, "No such file or directory", source)
    return [source]


class spooled:
    """The files of a source; standard input is copied to a temporary file
    first, so that DuckDB can sniff it and read it like any file."""

    def __init__(self, source: str) -> None:
        self.source = source
        self.folder: str | None = None

    def __enter__(self) -> list[str]:
        if self.source != "-":
            return input_files(self.source)
        if sys.stdin is None:
            raise RecordError("there is no standard input to read")
        self.folder = tempfile.mkdtemp(prefix="tessarin-stdin-")
        path = os.path.join(self.folder, "stdin")
        with open(path, "wb") as out:
            shutil.copyfileobj(sys.stdin.buffer, out, 1 << 20)
        return [path]

    def __exit__(self, *exc: object) -> None:
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
