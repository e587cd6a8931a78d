"""The exceptions the package raises.

Every error that the package itself reports derives from `TessarinError`,
which derives from `Exception`, so an ordinary `except Exception` handler (a
web framework's, an asyncio server's) catches it. Errors about the caller's
arguments stay the built-in `TypeError` and `ValueError`.
"""

from __future__ import annotations

__all__ = [
    "ArrowStreamError",
    "CorruptIndexError",
    "IndexFormatError",
    "NotARegularFileError",
    "NotAnIndexError",
    "RecordError",
    "TessarinError",
]


class TessarinError(Exception):
    """Base class of the errors the tessarin package reports."""


class IndexFormatError(TessarinError):
    """An index file that this release cannot read: a format version from a
    later release, or a feature it does not know."""


class CorruptIndexError(TessarinError):
    """An index whose bytes are damaged: a checksum that does not match, a
    saved form that does not decode, or arrays that contradict each other
    (found when the index is loaded or, for an unchecked saved form, while
    it is queried)."""


class NotAnIndexError(CorruptIndexError):
    """Data that is not a tessarin index at all (no index file header, and
    not a saved form either)."""


class NotARegularFileError(TessarinError, OSError):
    """A path that names a FIFO, a device or a socket where an index file is
    read or written: refused at once, never read from nor replaced. An
    OSError too, as for any file that cannot be read or written, with the
    path in `filename`."""

    def __str__(self) -> str:
        return f"{self.filename}: {self.strerror}"


class RecordError(TessarinError, ValueError):
    """Records that cannot be read or built: a refused record or row, or
    input that holds no records. The message names where (the file, the
    row or line, the record's number) and the value.

    For a refused record or row, the native builder's typed refusal:
    `fault`, its kind ("count", "mixed kinds", ...: `tessarin._native.FAULTS`);
    `row`, the record's or row's number from 1; `value`, the value at fault
    as the message shows it; `problem`, what is wrong, without the where.
    All None for other errors."""

    def __init__(
        self,
        message: str,
        *,
        fault: str | None = None,
        row: int | None = None,
        value: str | None = None,
        problem: str | None = None,
    ) -> None:
        super().__init__(message)
        self.fault = fault
        self.row = row
        self.value = value
        self.problem = problem


class ArrowStreamError(TessarinError, OSError):
    """An Arrow stream whose producer (DuckDB, pyarrow, ...) failed while it
    was read; `reason` is the producer's own message."""

    def __init__(self, reason: str) -> None:
        super().__init__(f"reading the Arrow stream failed: {reason}")
        self.reason = reason
