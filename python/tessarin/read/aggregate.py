"""Search events to an aggregate: one Parquet row per (term, video[, day]).

`aggregate_events(source, out, options, bucket="day")` reads raw search
events (one search a row) as `read_records` reads them (the same formats,
columns, bad rows and reports) and writes the searches of each (term,
video, day) once, as columns term, video, count and day (a DATE, UTC; or
hour, a TIMESTAMP; or no bucket at all). `tessarin build` reads such files
as records, the bucket as their time: an index of many days is rebuilt
from their aggregates without reading their events again.

Terms and videos are written as the events hold them: they are normalised,
checked and kept out when an index is built, so one aggregate serves any
build. Rows DuckDB cannot read, lines that are not JSON objects and rows
without a time are bad rows, skipped (with `skip_bad`) or fatal, named by
file line as the reader names them. The file is sorted by bucket, term and
video, so the same events give the same rows, and is written whole or not
at all (a temporary file put in place).
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
import tempfile
from typing import NamedTuple

from ..building.records import ArrowReport, RefusedRow
from ..errors import ArrowStreamError
from .options import ReadOptions, RecordError
from .reader import Reader, opened
from .report import ReadReport
from .source import Source
from .sql import literal

__all__ = ["BUCKETS", "AggregateReport", "aggregate_events"]

#: The buckets of an aggregate: its column and the SQL of a bucket from a
#: time in microseconds.
BUCKETS = {
    "day": "CAST(make_timestamp(micros) AS DATE)",
    "hour": "date_trunc('hour', make_timestamp(micros))",
}
_TIME = "no time, or one that is not a time"
#: The largest count a record holds: an aggregate's counts stop there.
_U32_MAX = 2**32 - 1


class AggregateReport(NamedTuple):
    """What was read (as `ReadReport`), and what was written: rows (one a
    (term, video, bucket)), distinct buckets, bytes."""

    read: ReadReport
    rows: int
    buckets: int
    size: int


class _Aggregator(Reader):
    """Each file's events grouped in DuckDB, into a table of its own."""

    def __init__(self, options: ReadOptions, links: str, bucket: str | None) -> None:
        super().__init__(None, options, None, links)
        self.bucket = bucket
        self.parts: list[str] = []
        self.time: str | None = None

    def read(self, source: Source, done_bytes: int, total_bytes: int) -> None:
        if source.size == 0:
            return
        try:
            self.prepare(source)
        except Exception as error:  # noqa: BLE001 - DuckDB raises several kinds
            raise self.duckdb_error(error, source) from None
        skip = self.options.skip_bad
        rejects = (
            f"tessarin_rejects_{len(self.parts)}" if skip and source.dialect is not None else None
        )
        query = self.query(source, rejects, timed=self.bucket is not None)
        self.time = self.time or query.time
        bad = ["CASE"]
        if query.checked:
            bad.append("WHEN problem IS NOT NULL THEN problem")
        if query.time is not None:
            bad.append(f"WHEN micros IS NULL THEN {literal(_TIME)}")
        why = " ".join(bad) + " END" if len(bad) > 1 else "NULL::VARCHAR"
        bucket = (
            "NULL"
            if self.bucket is None
            else f"CASE WHEN micros IS NOT NULL THEN {BUCKETS[self.bucket]} END"
        )
        # Each bad row stays a group of its own, with its row number; the
        # others are grouped by (term, video, bucket).
        rows = f"SELECT row_number() OVER () - 1 AS row, * FROM ({query.sql})"
        keyed = (
            f"SELECT term, video, {bucket} AS bucket, {why} AS bad, "
            f"CASE WHEN {why} IS NOT NULL THEN row END AS bad_row FROM ({rows})"
        )
        part = f"tessarin_part_{len(self.parts)}"
        try:
            self.con.execute(
                f"CREATE TEMP TABLE {part} AS SELECT term, video, bucket, bad, bad_row, "
                f"count(*) AS n FROM ({keyed}) GROUP BY ALL"
            )
        except ArrowStreamError as error:  # pragma: no cover - no Arrow stream here
            raise self.duckdb_error(error.reason, source) from None
        except Exception as error:  # noqa: BLE001 - DuckDB raises several kinds
            raise self.duckdb_error(error, source) from None
        self.parts.append(part)
        ((read, good),) = self.con.sql(
            f"SELECT coalesce(sum(n), 0), coalesce(sum(n) FILTER (WHERE bad IS NULL), 0) "
            f"FROM {part}"
        ).fetchall()
        refused = self.con.sql(
            f"SELECT bad, count(*) FROM {part} WHERE bad IS NOT NULL GROUP BY bad"
        ).fetchall()
        first = self.con.sql(
            f"SELECT bad_row, bad FROM {part} WHERE bad IS NOT NULL ORDER BY bad_row LIMIT 5"
        ).fetchall()
        if first and not skip:
            row, problem = first[0]
            raise RecordError(
                self.refused(source, int(row), problem),
                fault="time" if problem == _TIME else "unreadable",
                row=int(row) + 1,
                problem=problem,
            )
        by_fault: dict[str, int] = {}
        for problem, n in refused:
            fault = "time" if problem == _TIME else "unreadable"
            by_fault[fault] = by_fault.get(fault, 0) + int(n)
        examples = [
            RefusedRow(int(row) + 1, "time" if p == _TIME else "unreadable", p) for row, p in first
        ]
        self.rows += int(read)
        self.added += int(good)
        report = ArrowReport(int(read), int(good), sum(by_fault.values()), by_fault, examples)
        self.tally(source, report, rejects)

    def write(self, out: str) -> tuple[int, int, int]:
        """Writes the aggregate to `out`, whole or not at all: (rows,
        buckets, bytes)."""
        if not self.parts:
            raise RecordError("no events to aggregate")
        union = " UNION ALL BY NAME ".join(
            f"SELECT term, video, bucket, n FROM {part} WHERE bad IS NULL" for part in self.parts
        )
        column = self.bucket
        selected = "term, video, " + (f"CAST(least(sum(n), {_U32_MAX}) AS BIGINT) AS count")
        if column is not None:
            selected += f", bucket AS {column}"
        order = ("bucket, " if column is not None else "") + "term, video"
        query = f"SELECT {selected} FROM ({union}) GROUP BY term, video, bucket ORDER BY {order}"
        target = os.path.realpath(out)
        folder = os.path.dirname(target)
        handle, temporary = tempfile.mkstemp(prefix=".tessarin-", suffix=".parquet", dir=folder)
        os.close(handle)
        try:
            self.con.execute(
                f"COPY ({query}) TO {literal(temporary)} (FORMAT parquet, COMPRESSION zstd)"
            )
            ((rows, buckets),) = self.con.sql(
                f"SELECT count(*), count(DISTINCT {column or 'NULL'}) "
                f"FROM read_parquet({literal(temporary)})"
            ).fetchall()
            size = os.path.getsize(temporary)
            os.replace(temporary, target)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise
        return int(rows), int(buckets), size


def aggregate_events(
    source: str, out: str, options: ReadOptions | None = None, bucket: str | None = "day"
) -> AggregateReport:
    """Aggregates the search events of `source` into the Parquet file
    `out` (see the module); `bucket`: "day", "hour" or None. Raises
    RecordError for bad input (unless `options.skip_bad`), OSError for a
    file that cannot be read or written."""
    options = dataclasses.replace(options or ReadOptions(), events=True)
    if bucket is not None and bucket not in BUCKETS:
        raise ValueError(f"unknown bucket {bucket!r}: use one of {', '.join(BUCKETS)}")
    with opened(source, options) as (sources, links):
        aggregator = _Aggregator(options, links, bucket)
        try:
            for one in sources:
                aggregator.read(one, 0, 0)
            rows, buckets, size = aggregator.write(out)
        finally:
            aggregator.con.close()
    return AggregateReport(aggregator.report(len(sources)), rows, buckets, size)
