"""DuckDB: the connection with the reading options, and its errors as one
line naming the file (and, for CSV, the line).

DuckDB's errors carry no kind beyond a few classes, so what they say is
read from their text, in one place: `duckdb_problem`. The package's own
errors (the builder's refusals, a failed Arrow stream) come typed and are
never read here."""

from __future__ import annotations

import re
from typing import Any, NamedTuple

from .options import ReadOptions, RecordError
from .source import Source

__all__ = ["DuckDBProblem", "connect", "duckdb_message", "duckdb_problem", "first_line"]


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
        return duckdb.connect(config=config)
    except duckdb.Error as error:
        raise RecordError(f"DuckDB refused the options: {first_line(error)}") from None


def first_line(error: BaseException) -> str:
    return str(error).strip().split("\n", 1)[0]


_CSV_ERROR = re.compile(r"CSV Error on Line: (\d+)\s*\n(?:Original Line: (.*)\n)?(.*)")


class DuckDBProblem(NamedTuple):
    """What a DuckDB error says: the CSV line it names and that line's text
    (None when it names none), the problem, and whether it refused a line
    longer than its limit."""

    line: str | None
    original: str | None
    problem: str
    line_too_long: bool


def duckdb_problem(error: BaseException | str) -> DuckDBProblem:
    """The one reading of DuckDB's message text."""
    text = str(error)
    too_long = "Maximum line size" in text
    found = _CSV_ERROR.search(text)
    if found:
        line, original, problem = found.groups()
        return DuckDBProblem(line, original, problem.strip(), too_long)
    return DuckDBProblem(None, None, first_line(Exception(text)), too_long)


def duckdb_message(error: BaseException | str, source: Source) -> str:
    """A DuckDB error as one line naming the file (and the line, for a CSV
    line it could not parse)."""
    said = duckdb_problem(error)
    if said.line is None:
        return f"{source.name}: {said.problem}"
    shown = "" if said.original is None else f" (the line: {said.original[:60]!r})"
    return f"{source.name}, line {said.line}: {said.problem}{shown}"
