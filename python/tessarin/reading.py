"""Reading records with DuckDB, embedded and in-process.

`read_records(builder, source)` reads (term, video, count) records, or raw
search events, from files into an `IndexBuilder`:

* sources: a file, a glob ("logs/2026-*.csv.gz"), a folder (every file in
  it and below, but hidden ones and names starting with "_" such as Spark's
  _SUCCESS), or "-" for standard input;
* formats: CSV and TSV (dialect, quoting and header sniffed by DuckDB;
  every field read as text and parsed natively, so values are never
  guessed), Parquet, JSON lines; compressed with gzip or zstd. The format
  comes from `ReadOptions.format`, else the file name, else the content;
* columns: named term, video and count (any case), else the first two or
  three in order (CSV, TSV, Parquet), or as `ReadOptions` maps them (a name
  or a 1-based position); a row without a count counts 1;
* raw search events (`events=True`): one search per row, the count column
  ignored; DuckDB aggregates each file into (term, video, searches) rows
  out of core, spilling to `temp_directory` beyond `memory_limit`, so a
  log larger than memory still builds.

DuckDB's rows stream into the native builder as Arrow batches, never as
Python objects. A bad row (a line that does not parse, an empty term, a
count out of range, an identifier of the wrong kind) raises `RecordError`
naming the file, the row or line, and the value; with `skip_bad=True` such
rows are skipped, counted, and reported in the `ReadReport`.
"""

from __future__ import annotations

import dataclasses
import glob
import os
import re
import shutil
import sys
import tempfile
import zlib
from collections.abc import Callable
from typing import Any, NamedTuple

from .builder import IndexBuilder

__all__ = [
    "FORMATS",
    "ReadOptions",
    "ReadReport",
    "RecordError",
    "input_files",
    "read_records",
]

FORMATS = ("csv", "tsv", "parquet", "json")
_SUFFIXES = {
    ".csv": "csv",
    ".tsv": "tsv",
    ".tab": "tsv",
    ".parquet": "parquet",
    ".pq": "parquet",
    ".json": "json",
    ".jsonl": "json",
    ".ndjson": "json",
}
_COMPRESSIONS = {".gz": "gzip", ".gzip": "gzip", ".zst": "zstd"}
_EXAMPLES = 5
#: The longest CSV line read when a file's first lines exceed DuckDB's
#: default (2 MB): 1 GiB, one term of a billion bytes.
_LONGEST_LINE = 1 << 30

#: progress(fraction of the input read, or None when unknown; rows read).
ReadProgress = Callable[[float | None, int], None]


class RecordError(ValueError):
    """Records that cannot be read; the message names the file, the row or
    line, and the value."""


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
    #: Skip bad rows, count them and report them, instead of failing.
    skip_bad: bool = False
    #: DuckDB's memory limit ("4GB") and where it spills beyond it.
    memory_limit: str | None = None
    temp_directory: str | None = None
    #: DuckDB's threads (default: one per core).
    threads: int | None = None


class ReadReport(NamedTuple):
    """What was read: files, rows (events or records), rows added, rows
    skipped (with `skip_bad`), skipped rows by reason and the first few."""

    files: int
    rows: int
    added: int
    skipped: int
    by_reason: dict[str, int]
    examples: list[str]


def _connect(options: ReadOptions) -> Any:
    try:
        import duckdb
    except ImportError:  # pragma: no cover - a dependency of the package
        raise RecordError("reading records needs DuckDB: pip install duckdb") from None
    config: dict[str, Any] = {"preserve_insertion_order": True}
    if options.memory_limit is not None:
        config["memory_limit"] = options.memory_limit
    if options.temp_directory is not None:
        config["temp_directory"] = options.temp_directory
    if options.threads is not None:
        config["threads"] = options.threads
    try:
        return duckdb.connect(config=config)
    except duckdb.Error as error:
        raise RecordError(f"DuckDB refused the options: {_first_line(error)}") from None


def _first_line(error: BaseException) -> str:
    return str(error).strip().split("\n", 1)[0]


def input_files(source: str) -> list[str]:
    """The files a source names: itself, a glob's matches, or a folder's
    files (recursively, leaving out names that start with "." or "_")."""
    if source == "-":
        return ["-"]
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


def _split_name(path: str) -> tuple[str | None, str | None]:
    """(format, compression) from a file name."""
    name = path.lower()
    compression = None
    for suffix, kind in _COMPRESSIONS.items():
        if name.endswith(suffix):
            compression, name = kind, name[: -len(suffix)]
    for suffix, fmt in _SUFFIXES.items():
        if name.endswith(suffix):
            return fmt, compression
    return None, compression


def _sniff(path: str) -> tuple[str, str | None]:
    """(format, compression) from a file's first bytes."""
    with open(path, "rb") as file:
        head = file.read(1 << 16)
    compression = None
    if head[:2] == b"\x1f\x8b":
        compression = "gzip"
        try:
            head = zlib.decompressobj(31).decompress(head, 1 << 16)
        except zlib.error:
            head = b""
    elif head[:4] == b"\x28\xb5\x2f\xfd":
        return "csv", "zstd"
    if head[:4] == b"PAR1":
        return "parquet", None
    first = head.split(b"\n", 1)[0]
    if first.lstrip()[:1] == b"{":
        return "json", compression
    return ("tsv" if b"\t" in first else "csv"), compression


def _literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def _identifier(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


class _Source:
    """One input file and how DuckDB reads it."""

    def __init__(self, path: str, name: str, options: ReadOptions) -> None:
        self.path = path
        self.name = name
        fmt, compression = _split_name(path) if name != "standard input" else (None, None)
        if options.format is not None:
            fmt = options.format
        if fmt is None:
            fmt, sniffed = _sniff(path)
            compression = compression or sniffed
        elif compression is None and fmt != "parquet":
            with open(path, "rb") as file:
                magic = file.read(4)
            compression = (
                "gzip"
                if magic[:2] == b"\x1f\x8b"
                else "zstd"
                if magic == b"\x28\xb5\x2f\xfd"
                else None
            )
        self.format = fmt
        self.compression = compression
        self.size = os.path.getsize(path)
        self.header: bool | None = None  # CSV and TSV: whether the first line names the columns
        # CSV and TSV: lines beyond DuckDB's default limit were seen (raising
        # the limit for every file would slow the reading of all).
        self.long_lines = False

    def relation(
        self, extra: str = "", columns: list[str] | None = None, dialect: list[str] | None = None
    ) -> str:
        path = _literal(self.path)
        if self.format == "parquet":
            return f"read_parquet({path})"
        options = [] if self.compression is None else [f"compression={_literal(self.compression)}"]
        if self.format == "json":
            arguments = ", ".join([path, "format='newline_delimited'", *options])
            return f"read_json({arguments})"
        # Every field as text, an empty one as "" (not null: only the
        # fields a short line lacks are null).
        options += ["all_varchar=true", "null_padding=true", "nullstr='\x01'"]
        if self.long_lines:
            options.append(f"max_line_size={_LONGEST_LINE}")
        if self.format == "tsv":
            options.append("delim='\\t'")
        if columns is not None and dialect is not None:
            # The sniffed dialect, with the columns fixed (auto_detect off).
            struct = ", ".join(f"{_literal(c)}: 'VARCHAR'" for c in columns)
            options = [o for o in options if not o.startswith("delim=")]
            options += ["auto_detect=false", *dialect, f"columns={{{struct}}}"]
        if columns is None and self.header is not None and "header=" not in extra:
            options.append(f"header={str(self.header).lower()}")
        if extra:
            options.append(extra)
        return f"read_csv({', '.join([path, *options])})"


_NUMBER = re.compile(r"\s*[+-]?\d+\s*")


def _is_header(row: list[str]) -> bool:
    """Whether the first row of a CSV file names its columns: it names term
    and video, or its count (in a row of two fields, its video) is no
    number."""
    if {"term", "video"} <= {name.strip().lower() for name in row}:
        return True
    if len(row) >= 3:
        return not _NUMBER.fullmatch(row[2])
    if len(row) == 2:
        video = row[1].strip()
        return not (video.isdigit() or len(video) >= 32)
    return False


def _pick(names: list[str], wanted: str | None, default: str, position: int | None) -> str | None:
    """The column for one field: by option, by name, by position."""
    lowered = [n.lower() for n in names]
    if wanted is not None:
        if wanted.isdigit() and wanted not in names:
            k = int(wanted) - 1
            if not 0 <= k < len(names):
                raise RecordError(f"there is no column {wanted} (the input has {len(names)})")
            return names[k]
        if wanted.lower() not in lowered:
            raise RecordError(f"there is no column {wanted!r} (the columns: {', '.join(names)})")
        return names[lowered.index(wanted.lower())]
    if default in lowered:
        return names[lowered.index(default)]
    if position is not None and position < len(names):
        return names[position]
    return None


def _choose_columns(
    names: list[str], source: _Source, options: ReadOptions
) -> tuple[str, str, str | None]:
    by_name = {"term", "video"} <= {n.lower() for n in names}
    positional = source.format != "json" and not by_name
    term = _pick(names, options.term, "term", 0 if positional else None)
    video = _pick(names, options.video, "video", 1 if positional else None)
    if term is None or video is None:
        raise RecordError(
            f"{source.name}: no term and video columns (the columns: {', '.join(names)}); "
            "name them term, video and count, or map them with the column options"
        )
    count = None
    if not options.events:
        count = _pick(names, options.count, "count", 2 if positional else None)
    return term, video, count


_CSV_ERROR = re.compile(r"CSV Error on Line: (\d+)\s*\n(?:Original Line: (.*)\n)?(.*)")


def _duckdb_message(error: BaseException, source: _Source) -> str:
    text = str(error)
    text = text.removeprefix("reading the Arrow stream failed: ")
    found = _CSV_ERROR.search(text)
    if found:
        line, original, problem = found.groups()
        shown = "" if original is None else f" (the line: {original[:60]!r})"
        return f"{source.name}, line {line}: {problem.strip()}{shown}"
    return f"{source.name}: {_first_line(Exception(text))}"


def _describe_event(term: str, video: object) -> str:
    return f"the search events of ({term!r}, {video!r})"


class _Reader:
    def __init__(
        self, builder: IndexBuilder, options: ReadOptions, progress: ReadProgress | None
    ) -> None:
        self.builder = builder
        self.options = options
        self.progress = progress
        self.rows = 0
        self.added = 0
        self.skipped = 0
        self.by_reason: dict[str, int] = {}
        self.examples: list[str] = []
        self.con = _connect(options)

    def skip(self, reason: str, example: str, n: int = 1) -> None:
        self.skipped += n
        self.by_reason[reason] = self.by_reason.get(reason, 0) + n
        if len(self.examples) < _EXAMPLES:
            self.examples.append(example)

    def columns(self, source: _Source) -> tuple[list[str], str]:
        """The columns and the relation to read them from."""
        if source.format in ("csv", "tsv"):
            # Every field is text, so DuckDB cannot tell a header by its
            # types: decide here, from the first row, as the fields say.
            try:
                rows = self.con.sql(
                    f"SELECT * FROM {source.relation('header=false')} LIMIT 1"
                ).fetchall()
            except Exception as error:
                if "Maximum line size" not in str(error):
                    raise
                source.long_lines = True
                rows = self.con.sql(
                    f"SELECT * FROM {source.relation('header=false')} LIMIT 1"
                ).fetchall()
            named = any(
                o is not None and not o.isdigit()
                for o in (self.options.term, self.options.video, self.options.count)
            )
            source.header = named or (
                bool(rows) and _is_header([f for f in rows[0] if f is not None])
            )
        relation = source.relation()
        names = list(self.con.sql(f"SELECT * FROM {relation} LIMIT 0").columns)
        if source.format in ("csv", "tsv"):
            # Extra fields seen in DuckDB's sample become unnamed columns:
            # read again with the columns fixed, so that such lines fail
            # (or are skipped) as lines with too many fields.
            auto = [n for n in names if re.fullmatch(r"column\d+", n)]
            given = [n for n in names if n not in auto]
            if given and auto:
                names = given
            elif (
                not given
                and len(names) > 3
                and not (self.options.term or self.options.video or self.options.count)
            ):
                names = names[:3]
            else:
                return names, relation
            return names, source.relation(columns=names, dialect=self.dialect(source))
        return names, relation

    def dialect(self, source: _Source) -> list[str]:
        """The options of DuckDB's sniffed dialect of a CSV file."""
        sniffed = self.con.sql(
            "SELECT Delimiter, Quote, Escape, NewLineDelimiter, Comment, SkipRows, HasHeader "
            f"FROM sniff_csv({source.relation()[len('read_csv(') : -1]})"
        ).fetchall()[0]
        delim, quote, escape, _, comment, skip, header = sniffed

        def text(value: str) -> str:
            return _literal("" if value == "(empty)" else value.replace("\\n", "\n"))

        return [
            f"delim={text(delim)}",
            f"quote={text(quote)}",
            f"escape={text(escape)}",
            f"comment={text(comment)}",
            f"skip={int(skip)}",
            f"header={str(bool(header)).lower()}",
        ]

    def read(self, source: _Source, done_bytes: int, total_bytes: int) -> None:
        if source.size == 0:
            return  # an empty file holds no records (DuckDB finds no columns)
        try:
            names, relation = self.columns(source)
            term, video, count = _choose_columns(names, source, self.options)
        except RecordError as error:
            text = str(error)
            raise RecordError(text if source.name in text else f"{source.name}: {text}") from None
        except Exception as error:  # noqa: BLE001 - DuckDB raises several kinds
            raise RecordError(_duckdb_message(error, source)) from None
        rejects = None
        if self.options.skip_bad and source.format in ("csv", "tsv"):
            rejects = f"tessarin_rejects_{id(source)}"
            relation = relation[:-1] + (
                f", ignore_errors=true, store_rejects=true, rejects_table='{rejects}', "
                f"rejects_scan='{rejects}_scan')"
            )
        selected = f"{_identifier(term)} AS term, {_identifier(video)} AS video"
        if self.options.events:
            query = (
                f"SELECT {selected}, count(*) AS count FROM {relation} "
                f"GROUP BY {_identifier(term)}, {_identifier(video)}"
            )
        elif count is not None:
            query = f"SELECT {selected}, {_identifier(count)} AS count FROM {relation}"
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
        except ValueError as error:
            raise RecordError(self.locate(source, str(error))) from None
        except (OSError, RuntimeError) as error:
            raise RecordError(_duckdb_message(error, source)) from None
        except Exception as error:
            if type(error).__module__.startswith(("duckdb", "_duckdb")):
                raise RecordError(_duckdb_message(error, source)) from None
            raise
        self.rows += report.rows
        self.added += report.added
        for example in report.examples:
            self.skip(example.fault, self.locate(source, f"row {example.row}: {example.message}"))
        for reason, n in report.by_fault.items():
            shown = sum(1 for e in report.examples if e.fault == reason)
            if n > shown:
                self.skip(reason, "", n - shown)
        self.examples = [e for e in self.examples if e]
        if rejects is not None:
            self.collect_rejects(source, rejects)

    def expected_rows(self, source: _Source) -> int | None:
        """About how many rows a file holds, for the progress bar: Parquet
        says; an uncompressed text file is measured by its first megabyte.
        None when unknown (compressed text, or events, which DuckDB
        aggregates before the first row arrives)."""
        if self.options.events:
            return None
        try:
            if source.format == "parquet":
                found = self.con.sql(
                    f"SELECT sum(num_rows) FROM parquet_file_metadata({_literal(source.path)})"
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

    def locate(self, source: _Source, message: str) -> str:
        """A builder's "row N: problem" as the file's row, or, for events
        (aggregated, so rows are gone), as the values."""
        if not self.options.events:
            return f"{source.name}, {message}"
        return source.name + ": " + re.sub(r"^row \d+: ", "a search event: ", message)

    def collect_rejects(self, source: _Source, table: str) -> None:
        try:
            found = self.con.sql(
                f"SELECT line, error_message FROM {table} ORDER BY line"
            ).fetchall()
        except Exception:  # noqa: BLE001 - no rejects table: nothing was rejected
            return
        for line, problem in found:
            self.rows += 1
            self.skip(
                "unreadable line", f"{source.name}, line {line}: {_first_line(Exception(problem))}"
            )


def read_records(
    builder: IndexBuilder,
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
    with _spooled(source) as paths:
        sources = [
            _Source(path, "standard input" if source == "-" else path, options) for path in paths
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


class _spooled:
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
