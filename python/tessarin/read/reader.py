"""The reader loop: each input file through DuckDB into the builder, as
Arrow batches; bad rows fail or are skipped and reported."""

from __future__ import annotations

from ..building.records import RecordBuilder
from ..errors import ArrowStreamError
from .columns import choose_columns, read_columns
from .connection import connect, duckdb_message, first_line
from .inputs import spooled
from .options import FORMATS, ReadOptions, ReadProgress, RecordError
from .report import ReadReport, Tally
from .source import Source
from .sql import identifier, literal

__all__ = ["read_records"]


class _Reader(Tally):
    def __init__(
        self, builder: RecordBuilder, options: ReadOptions, progress: ReadProgress | None
    ) -> None:
        super().__init__()
        self.builder = builder
        self.options = options
        self.progress = progress
        self.con = connect(options)

    def read(self, source: Source, done_bytes: int, total_bytes: int) -> None:
        if source.size == 0:
            return  # an empty file holds no records (DuckDB finds no columns)
        try:
            names, relation = read_columns(self.con, source, self.options)
            term, video, count = choose_columns(names, source, self.options)
        except RecordError as error:  # about the columns, which name no file
            raise RecordError(f"{source.name}: {error}") from None
        except Exception as error:  # noqa: BLE001 - DuckDB raises several kinds
            raise RecordError(duckdb_message(error, source)) from None
        rejects = None
        if self.options.skip_bad and source.format in ("csv", "tsv"):
            rejects = f"tessarin_rejects_{id(source)}"
            relation = relation[:-1] + (
                f", ignore_errors=true, store_rejects=true, rejects_table='{rejects}', "
                f"rejects_scan='{rejects}_scan')"
            )
        selected = f"{identifier(term)} AS term, {identifier(video)} AS video"
        if self.options.events:
            query = (
                f"SELECT {selected}, count(*) AS count FROM {relation} "
                f"GROUP BY {identifier(term)}, {identifier(video)}"
            )
        elif count is not None:
            query = f"SELECT {selected}, {identifier(count)} AS count FROM {relation}"
        else:
            query = f"SELECT {selected} FROM {relation}"
        before = self.rows

        expected = self.expected_rows(source) if self.progress is not None else None

        def on_batch(rows: int) -> None:
            if self.progress is None:
                return
            fraction: float | None = None
            if total_bytes > 0 and expected:
                part = min(1.0, rows / expected)
                fraction = min(1.0, (done_bytes + part * source.size) / total_bytes)
            self.progress(fraction, before + rows)

        try:
            report = self.builder.add_arrow(
                self.con.sql(query),
                count=None if count is None and not self.options.events else "count",
                skip_bad=self.options.skip_bad,
                null_count_is_one=source.format in ("csv", "tsv"),
                on_batch=on_batch,
            )
        except RecordError as error:  # a refused row, as the builder typed it
            raise RecordError(
                self.locate(source, error.row, error.problem or str(error)),
                fault=error.fault,
                row=error.row,
                value=error.value,
                problem=error.problem,
            ) from None
        except ArrowStreamError as error:  # DuckDB failed while it streamed
            raise RecordError(duckdb_message(error.reason, source)) from None
        except ValueError as error:  # columns of a type the builder cannot read
            raise RecordError(self.locate(source, None, str(error))) from None
        except (OSError, RuntimeError) as error:
            raise RecordError(duckdb_message(error, source)) from None
        except Exception as error:
            if type(error).__module__.startswith(("duckdb", "_duckdb")):
                raise RecordError(duckdb_message(error, source)) from None
            raise
        self.rows += report.rows
        self.added += report.added
        for example in report.examples:
            self.skip(example.fault, self.locate(source, example.row, example.message))
        for reason, n in report.by_fault.items():
            shown = sum(1 for e in report.examples if e.fault == reason)
            if n > shown:
                self.skip(reason, "", n - shown)
        self.examples = [e for e in self.examples if e]
        if rejects is not None:
            self.collect_rejects(source, rejects)

    def expected_rows(self, source: Source) -> int | None:
        """About how many rows a file holds, for the progress bar: Parquet
        says; an uncompressed text file is measured by its first megabyte.
        None when unknown (compressed text, or events, which DuckDB
        aggregates before the first row arrives)."""
        if self.options.events:
            return None
        try:
            if source.format == "parquet":
                found = self.con.sql(
                    f"SELECT sum(num_rows) FROM parquet_file_metadata({literal(source.path)})"
                ).fetchall()
                return int(found[0][0] or 0) or None
            if source.compression is None:
                with open(source.path, "rb") as file:
                    head = file.read(1 << 20)
                lines = head.count(b"\n")
                if lines:
                    return max(1, int(source.size * lines / len(head)))
        except Exception:  # noqa: BLE001 - progress is best effort
            return None
        return None

    def locate(self, source: Source, row: int | None, problem: str) -> str:
        """A problem of the file's row `row` (from 1; None: of the file),
        or, for events (aggregated, so rows are gone), of a search event."""
        if self.options.events:
            where = "" if row is None else "a search event: "
            return f"{source.name}: {where}{problem}"
        where = "" if row is None else f"row {row}: "
        return f"{source.name}, {where}{problem}"

    def collect_rejects(self, source: Source, table: str) -> None:
        try:
            found = self.con.sql(
                f"SELECT line, error_message FROM {table} ORDER BY line"
            ).fetchall()
        except Exception:  # noqa: BLE001 - no rejects table: nothing was rejected
            return
        for line, problem in found:
            self.rows += 1
            self.skip(
                "unreadable line", f"{source.name}, line {line}: {first_line(Exception(problem))}"
            )


def read_records(
    builder: RecordBuilder,
    source: str,
    options: ReadOptions | None = None,
    progress: ReadProgress | None = None,
) -> ReadReport:
    """Reads the records (or search events) of `source` into `builder`; see
    the module's documentation. Raises RecordError for bad input (unless
    `options.skip_bad`) and OSError for a file that cannot be opened."""
    options = options or ReadOptions()
    if options.format is not None and options.format not in FORMATS:
        raise ValueError(f"unknown format {options.format!r}: use one of {', '.join(FORMATS)}")
    with spooled(source) as paths:
        sources = [
            Source(path, "standard input" if source == "-" else path, options) for path in paths
        ]
        if any(s.format == "parquet" for s in sources) and source == "-":
            raise RecordError("Parquet cannot be read from standard input: give a file")
        reader = _Reader(builder, options, progress)
        total = sum(s.size for s in sources)
        done = 0
        try:
            for one in sources:
                reader.read(one, done, total)
                done += one.size
        finally:
            reader.con.close()
        if progress is not None:
            progress(1.0, reader.rows)
    return ReadReport(
        len(sources), reader.rows, reader.added, reader.skipped, reader.by_reason, reader.examples
    )
