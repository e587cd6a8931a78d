"""DuckDB: the connection with the reading options, and what its errors
say: the CSV record, the kind of unreadable line, the memory it lacked.

DuckDB's errors carry no kind beyond a few classes, so what they say is
read from their text, in one place: `duckdb_problem`. The package's own
errors (the builder's refusals, a failed Arrow stream) come typed and are
never read here."""

from __future__ import annotations

import contextlib
import math
import re
from typing import Any, NamedTuple

from .options import ReadOptions, RecordError
from .source import Source

__all__ = [
    "DuckDBProblem",
    "connect",
    "duckdb_message",
    "duckdb_problem",
    "first_line",
    "memory_message",
    "unreadable",
]


def connect(options: ReadOptions) -> Any:
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
        con = duckdb.connect(config=config)
    except duckdb.Error as error:
        raise RecordError(f"DuckDB refused the options: {first_line(error)}") from None
    # Times in text without an offset are UTC, whatever the machine's zone
    # (a DuckDB without time zones has UTC only).
    with contextlib.suppress(duckdb.Error):
        con.execute("SET TimeZone = 'UTC'")
    return con


def first_line(error: BaseException) -> str:
    return str(error).strip().split("\n", 1)[0]


_CSV_ERROR = re.compile(r"CSV Error on Line: (\d+)\s*\n(?:Original Line: (.*)\n)?(.*)")
_MEMORY = re.compile(
    r"Out of Memory Error: could not allocate block of size ([\d.]+ \w+) "
    r"\(([\d.]+ \w+)/([\d.]+ \w+) used\)"
)
_UNITS = {"bytes": 1, "KiB": 1 << 10, "MiB": 1 << 20, "GiB": 1 << 30, "TiB": 1 << 40}


class DuckDBProblem(NamedTuple):
    """What a DuckDB error says: the CSV record it names (DuckDB's number,
    from 1) or None, the problem, and whether it refused a line longer
    than its limit."""

    record: int | None
    problem: str
    line_too_long: bool


def duckdb_problem(error: BaseException | str) -> DuckDBProblem:
    """The one reading of DuckDB's message text."""
    text = str(error)
    too_long = "Maximum line size" in text
    found = _CSV_ERROR.search(text)
    if found:
        return DuckDBProblem(int(found.group(1)), found.group(3).strip(), too_long)
    return DuckDBProblem(None, first_line(Exception(text)), too_long)


def _bytes(size: str) -> float:
    number, unit = size.split()
    return float(number) * _UNITS.get(unit, 1)


def memory_message(error: BaseException | str, options: ReadOptions) -> str | None:
    """What to do when DuckDB ran out of memory (None for another error):
    the limit to raise, and the least that would have done when DuckDB
    says how much it held and asked for."""
    text = str(error)
    if "Out of Memory Error" not in text:
        return None
    found = _MEMORY.search(text)
    least = ""
    if found:
        block, used, limit = (_bytes(g) for g in found.groups())
        needed = max(used, limit) + block
        least = f" (at least {math.ceil(needed / (1 << 20)) + 1}MB; more with more threads)"
    if options.memory_limit is None:
        return (
            "DuckDB ran out of memory: give it a limit with --memory-limit (e.g. 4GB) and a "
            f"folder with room to spill to with --temp-dir{least}"
        )
    return (
        f"DuckDB ran out of memory within --memory-limit {options.memory_limit}: raise it"
        f"{least}, or lower --threads"
    )


#: DuckDB's kinds of unreadable CSV lines, as the report names them.
_REJECTS = {
    "INVALID ENCODING": "not UTF-8",
    "MISSING COLUMNS": "too few fields",
    "TOO MANY COLUMNS": "too many fields",
    "UNQUOTED VALUE": "unclosed quote",
    "LINE SIZE OVER MAXIMUM": "line too long",
}
_FIELDS = re.compile(r"Expected Number of Columns: (\d+) Found: (\d+)")


def unreadable(kind: str | None, message: str) -> tuple[str, str]:
    """(reason, problem in plain words) of a CSV line DuckDB could not
    read, from its rejects table's error type (None: from an error's text)."""
    fields = _FIELDS.search(message)
    if kind is None:
        kind = (
            "INVALID ENCODING"
            if "Invalid unicode" in message
            else "LINE SIZE OVER MAXIMUM"
            if "Maximum line size" in message
            else "UNQUOTED VALUE"
            if "unterminated quote" in message
            else ("TOO MANY COLUMNS" if int(fields[2]) > int(fields[1]) else "MISSING COLUMNS")
            if fields
            else ""
        )
    reason = _REJECTS.get(kind, "unreadable line")
    if fields:
        expected, found = fields.groups()
        return reason, f"{found} fields where {expected} are expected"
    if kind == "INVALID ENCODING":
        return reason, "bytes that are not UTF-8"
    if kind == "UNQUOTED VALUE":
        return reason, "a quote that is never closed"
    return reason, first_line(Exception(message))


def duckdb_message(error: BaseException | str, source: Source) -> str:
    """A DuckDB error as one line naming the file."""
    return f"{source.name}: {duckdb_problem(error).problem}"
