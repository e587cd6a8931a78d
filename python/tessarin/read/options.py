"""What `read_records` is asked: the formats, the options, the progress
callback, and the error it raises (`tessarin.errors.RecordError`)."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable

from ..errors import RecordError

__all__ = ["FORMATS", "ReadOptions", "ReadProgress", "RecordError"]


FORMATS = ("csv", "tsv", "parquet", "json")

#: progress(fraction of the input read, or None when unknown; rows read).
ReadProgress = Callable[[float | None, int], None]


@dataclasses.dataclass(frozen=True)
class ReadOptions:
    """How to read the input (see the module's documentation)."""

    #: "csv", "tsv", "parquet" or "json"; None: from each file's name or content.
    format: str | None = None
    #: The columns, by name or 1-based position; None: by name, else in order.
    term: str | None = None
    video: str | None = None
    count: str | None = None
    #: Rows are raw search events (term, video), aggregated by DuckDB.
    events: bool = False
    #: The time column (name or 1-based position) when records are weighed
    #: by their age; None: the first column named day, hour, time or
    #: timestamp (see `tessarin.read.times`).
    time: str | None = None
    #: Skip bad rows, count them and report them, instead of failing.
    skip_bad: bool = False
    #: DuckDB's memory limit ("4GB") and where it spills beyond it.
    memory_limit: str | None = None
    temp_directory: str | None = None
    #: DuckDB's threads (default: one per core).
    threads: int | None = None
