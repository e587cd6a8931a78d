"""The reader loop: each input file through DuckDB into the builder, as
Arrow batches; bad rows fail or are skipped, and are reported by file line
and text."""

from __future__ import annotations

import contextlib
import glob
import os
import tempfile
from collections.abc import Iterator
from typing import NamedTuple

from ..building.records import ArrowReport, RecordBuilder
from ..errors import ArrowStreamError
from .columns import choose_columns, read_columns
from .connection import connect, duckdb_problem, memory_message, unreadable
from .dialect import sniff
from .inputs import spooled
from .options import FORMATS, ReadOptions, ReadProgress, RecordError
from .report import REASONS, ReadReport, Tally
from .source import Source
from .sql import identifier, literal
from .text import Place, head, locate
from .times import micros_sql, time_column

__all__ = ["Query", "Reader", "opened", "read_records"]

#: DuckDB's longest CSV line by default.
_DUCKDB_LINE = 2_000_000


def _shown(text: str) -> str:
    """A line's text as a report quotes it, cut to 80 characters."""
    return repr(text if len(text) <= 80 else text[:77] + "...")


class Query(NamedTuple):
    """A file's rows as SQL, whether they have a count, a problem column
    (JSON lines), and the time column's name (the rows' `micros`)."""

    sql: str
    counted: bool
    checked: bool
    time: str | None


class Reader(Tally):
    """Reads files one by one, into a builder (`read`; other readers,
    such as the aggregator's, read them otherwise), counting and placing
    the rows it skips."""

    def __init__(
        self,
        builder: RecordBuilder | None,
        options: ReadOptions,
        progress: ReadProgress | None,
        links: str,
    ) -> None:
        super().__init__()
        self.builder = builder
        self.options = options
        self.progress = progress
        self.links = links  # a folder for the links to files whose names look like globs
        self.con = connect(options)
        self.files = 0

    def prepare(self, source: Source) -> int | None:
        """Finds the file's dialect (text) and how many rows it holds about
        (for the progress; None when unknown)."""
        if glob.has_magic(source.path):  # DuckDB would take the name for a glob
            self.files += 1
            link = os.path.join(self.links, str(self.files))
            os.symlink(os.path.abspath(source.path), link)
            source.duckdb_path = link
        if source.format == "parquet":
            try:
                found = self.con.sql(
                    "SELECT sum(num_rows) FROM "
                    f"parquet_file_metadata({literal(source.duckdb_path)})"
                ).fetchall()
                return int(found[0][0] or 0) or None
            except Exception:  # noqa: BLE001 - the read that follows says what is wrong
                return None
        start = head(source)
        lines = start.lines if start is not None else self.duckdb_head(source)
        named = any(
            o is not None and not o.isdigit() for o in (self.options.term, self.options.video)
        ) or (self.options.count is not None and not self.options.count.isdigit())
        source.dialect = sniff(lines, source.format, named)
        source.long_lines = any(len(line) >= _DUCKDB_LINE for line in lines)
        return None if start is None else start.estimated_lines

    def duckdb_head(self, source: Source) -> list[bytes]:
        """The first lines, read by DuckDB (a file this module cannot
        decompress); its unreadable lines and blank lines left out."""
        relation = (
            f"read_csv({literal(source.duckdb_path)}, auto_detect=false, delim='\\x1e', "
            "quote='', escape='', header=false, columns={'line': 'VARCHAR'}, "
            f"compression={literal(source.compression or 'auto')}, ignore_errors=true)"
        )
        rows = self.con.sql(f"SELECT line FROM {relation} LIMIT 20480").fetchall()
        return [(line or "").encode() for (line,) in rows]

    def query(
        self, source: Source, rejects: str | None, timed: bool = False, lenient: bool = False
    ) -> Query:
        """The query of the file's (term, video[, count][, problem][,
        micros]) rows: `timed` adds the time in microseconds (NULL for a
        value that is no time); `lenient` skips unreadable lines silently."""
        try:
            names = read_columns(self.con, source)
            term, video, count = choose_columns(names, source, self.options)
            time = time_column(names, self.options.time) if timed else None
        except RecordError as error:  # about the columns, which name no file
            raise RecordError(f"{source.name}: {error}") from None
        relation = source.relation(rejects, lenient)
        if source.format != "json":
            selected = f"{identifier(term)} AS term, {identifier(video)} AS video"
            if count is not None:
                selected += f", {identifier(count)} AS count"
            if time is not None:
                kind = "VARCHAR"
                if source.format == "parquet":
                    kind = str(self.con.sql(f"SELECT {identifier(time)} FROM {relation}").types[0])
                try:
                    micros = micros_sql(identifier(time), kind, time)
                except RecordError as error:
                    raise RecordError(f"{source.name}: {error}") from None
                selected += f", {micros} AS micros"
            return Query(f"SELECT {selected} FROM {relation}", count is not None, False, time)

        def field(key: str) -> str:
            pointer = "/" + key.replace("~", "~0").replace("/", "~1")
            return (
                f"CASE WHEN kind = 'OBJECT' THEN json_extract_string(line, {literal(pointer)}) END"
            )

        selected = f"{field(term)} AS term, {field(video)} AS video"
        if count is not None:
            selected += f", {field(count)} AS count"
        if time is not None:
            selected += f", {micros_sql(field(time), 'VARCHAR', time)} AS micros"
        kind = "CASE WHEN json_valid(line) THEN json_type(line) END AS kind"
        parsed = f"SELECT line, {kind} FROM {relation}"
        problem = "CASE WHEN kind IS DISTINCT FROM 'OBJECT' THEN 'not a JSON object' END AS problem"
        return Query(f"SELECT {selected}, {problem} FROM ({parsed})", count is not None, True, time)

    def latest(self, source: Source) -> int | None:
        """The latest time in the file's readable rows (microseconds), if any."""
        if source.size == 0:
            return None
        try:
            self.prepare(source)
            found = self.con.sql(
                f"SELECT max(micros) FROM ({self.query(source, None, True, True).sql})"
            ).fetchall()
        except RecordError:
            raise
        except Exception as error:  # noqa: BLE001 - DuckDB raises several kinds
            raise self.duckdb_error(error, source) from None
        return None if found[0][0] is None else int(found[0][0])

    def read(self, source: Source, done_bytes: int, total_bytes: int) -> None:
        if source.size == 0:
            return  # an empty file holds no records
        try:
            expected = self.prepare(source)
        except Exception as error:  # noqa: BLE001 - DuckDB raises several kinds
            raise self.duckdb_error(error, source) from None
        text = source.dialect is not None
        skip = self.options.skip_bad
        rejects = f"tessarin_rejects_{self.files}_{id(source)}" if skip and text else None
        builder = self.builder
        assert builder is not None
        recency = builder.recency
        query = self.query(source, rejects, timed=recency is not None)
        sql = query.sql
        if recency is not None:
            assert query.time is not None
            builder.note_time_column(query.time)
            sql = f"SELECT *, {recency.units_sql('micros')} AS weight FROM ({sql})"
        before = self.rows

        def on_batch(rows: int) -> None:
            if self.progress is None:
                return
            fraction: float | None = None
            if total_bytes > 0 and expected:
                part = min(1.0, rows / expected)
                fraction = min(1.0, (done_bytes + part * source.size) / total_bytes)
            self.progress(fraction, before + rows)

        try:
            report = builder.add_arrow(
                self.con.sql(sql),
                count="count" if query.counted else None,
                skip_bad=skip,
                null_count_is_one=False,
                on_batch=on_batch,
                problem="problem" if query.checked else None,
                weight="weight" if recency is not None else None,
            )
        except RecordError as error:  # the first refused row, as the builder typed it
            assert error.row is not None
            raise RecordError(
                self.refused(source, error.row - 1, error.problem or str(error)),
                fault=error.fault,
                row=error.row,
                value=error.value,
                problem=error.problem,
            ) from None
        except ArrowStreamError as error:  # DuckDB failed while it streamed
            raise self.duckdb_error(error.reason, source) from None
        except ValueError as error:  # columns of a type the builder cannot read
            raise RecordError(f"{source.name}: {error}") from None
        except Exception as error:
            if type(error).__module__.startswith(("duckdb", "_duckdb")) or isinstance(
                error, (OSError, RuntimeError)
            ):
                raise self.duckdb_error(error, source) from None
            raise
        self.rows += report.rows
        self.added += report.added
        self.excluded += report.excluded
        self.tally(source, report, rejects)

    def refused(self, source: Source, row: int, problem: str) -> str:
        """The streamed row `row` (from 0) and its problem, by file line
        (Parquet: by row)."""
        if source.dialect is None:
            return f"{source.name}, row {row + 1}: {problem}"
        found = self.locate(source, rows=[row])[1].get(row)
        return self.says(source, found, f"row {row + 1}", problem)

    def locate(
        self,
        source: Source,
        records: list[int] | tuple[int, ...] = (),
        rows: list[int] | tuple[int, ...] = (),
        rejected: list[int] | tuple[int, ...] = (),
    ) -> tuple[dict[int, Place], dict[int, Place]]:
        assert source.dialect is not None
        return locate(source, source.dialect.quote, source.dialect.header, records, rows, rejected)

    @staticmethod
    def says(source: Source, place: Place | None, otherwise: str, problem: str) -> str:
        """ "file, line N: problem; the line: 'text'" ("file, record N: ..."
        for a file that cannot be read back here)."""
        if place is None:
            return f"{source.name}, {otherwise}: {problem}"
        return f"{source.name}, line {place.line}: {problem}; the line: {_shown(place.text)}"

    def duckdb_error(self, error: BaseException | str, source: Source) -> RecordError:
        """A DuckDB error as one line naming the file, and the line for a
        CSV line it could not read."""
        memory = memory_message(error, self.options)
        if memory is not None:
            return RecordError(f"{source.name}: {memory}", fault="memory")
        said = duckdb_problem(error)
        if said.record is None or source.dialect is None:
            return RecordError(f"{source.name}: {said.problem}")
        reason, problem = unreadable(None, said.problem)
        place = self.locate(source, records=[said.record])[0].get(said.record)
        return RecordError(self.says(source, place, f"record {said.record}", problem), fault=reason)

    def tally(self, source: Source, report: ArrowReport, rejects: str | None) -> None:
        """Counts the skipped rows of one file by reason, and keeps the
        first few, in the order of their lines."""
        lines: dict[int, tuple[str, str]] = {}  # DuckDB's record -> (reason, problem)
        if rejects is not None:
            found = self.con.sql(
                f"SELECT line, error_type, error_message FROM {rejects} ORDER BY line, column_idx"
            ).fetchall()
            for record, kind, message in found:
                if record not in lines:  # one line may fail for several columns
                    lines[int(record)] = unreadable(kind, message)
            for table in (rejects, f"{rejects}_scan"):
                self.con.execute(f"DROP TABLE IF EXISTS {table}")
        for reason, _ in lines.values():
            self.skip(reason)
        self.rows += len(lines)
        for fault, n in report.by_fault.items():
            self.skip(REASONS.get(fault, fault), n)
        if self.room <= 0 or not (lines or report.examples):
            return
        records = sorted(lines)[: self.room]
        rows = [e.row - 1 for e in report.examples]
        if source.dialect is None:
            places: dict[int, Place] = {}
            by_row: dict[int, Place] = {}
        else:
            places, by_row = self.locate(source, records, rows, sorted(lines))
        shown: list[tuple[int, str]] = []
        for record in records:
            place = places.get(record)
            said = self.says(source, place, f"record {record}", lines[record][1])
            shown.append((place.line if place else record, said))
        for example in report.examples:
            place = by_row.get(example.row - 1)
            if source.dialect is None:
                said = f"{source.name}, row {example.row}: {example.message}"
            else:
                said = self.says(source, place, f"row {example.row}", example.message)
            shown.append((place.line if place else example.row, said))
        for _, text in sorted(shown, key=lambda s: s[0]):
            self.example(text)


@contextlib.contextmanager
def opened(source: str, options: ReadOptions) -> Iterator[tuple[list[Source], str]]:
    """The files of `source` (standard input spooled to one), and a
    temporary folder for the links to files whose names look like globs."""
    if options.format is not None and options.format not in FORMATS:
        raise ValueError(f"unknown format {options.format!r}: use one of {', '.join(FORMATS)}")
    with spooled(source) as paths, tempfile.TemporaryDirectory(prefix="tessarin-") as links:
        sources = [
            Source(path, "standard input" if source == "-" else path, options) for path in paths
        ]
        if any(s.format == "parquet" for s in sources) and source == "-":
            raise RecordError("Parquet cannot be read from standard input: give a file")
        yield sources, links


def read_records(
    builder: RecordBuilder,
    source: str,
    options: ReadOptions | None = None,
    progress: ReadProgress | None = None,
) -> ReadReport:
    """Reads the records (or search events) of `source` into `builder`; see
    the module's documentation. Raises RecordError for bad input (unless
    `options.skip_bad`) and OSError for a file that cannot be opened. A
    builder weighing records by their age (`half_life`) without `as_of`
    gets the latest time of the input (a first, quick pass over it)."""
    options = options or ReadOptions()
    with opened(source, options) as (sources, links):
        reader = Reader(builder, options, progress, links)
        total = sum(s.size for s in sources)
        done = 0
        try:
            recency = builder.recency
            if recency is not None and recency.as_of is None:
                times = [t for t in map(reader.latest, sources) if t is not None]
                builder.resolve_as_of(max(times, default=0))
            for one in sources:
                reader.read(one, done, total)
                done += one.size
        finally:
            reader.con.close()
        if progress is not None:
            progress(1.0, reader.rows)
    return reader.report(len(sources))
