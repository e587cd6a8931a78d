"""Writing files whole or not at all."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterable

from ..errors import TessarinError

__all__ = ["same_file", "write_atomically"]


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def write_atomically(path: str, chunks: Iterable[bytes]) -> None:
    """Writes `chunks` to `path` through a temporary file in the same folder,
    renamed over the target once complete: a reader sees the old file or
    the new one, never a part. A symbolic link is followed (its target is
    replaced, the link stays); a new file gets the usual permissions.
    Raises OSError."""
    target = os.path.realpath(path)
    if os.path.isdir(target):
        raise IsADirectoryError(21, "Is a directory", path)
    fd, temporary = tempfile.mkstemp(prefix=".tessarin-", dir=os.path.dirname(target))
    try:
        with os.fdopen(fd, "wb") as out:
            for chunk in chunks:
                out.write(chunk)
            out.flush()
            os.fsync(out.fileno())
        try:
            mode = os.stat(target).st_mode & 0o7777
        except FileNotFoundError:
            mode = 0o666 & ~_umask()
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def same_file(a: str, b: str) -> bool:
    """Whether two paths name the same existing file."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def check_writable(path: str) -> None:
    """Raises TessarinError early when `path` cannot be written: its folder
    is missing or not writable, or it is a folder."""
    target = os.path.realpath(path)
    folder = os.path.dirname(target) or "."
    if os.path.isdir(target):
        raise TessarinError(f"{path}: is a directory")
    if not os.path.isdir(folder):
        raise TessarinError(f"{path}: no such directory: {folder}")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise TessarinError(f"{path}: cannot write in {folder}")
