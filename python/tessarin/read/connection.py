"""DuckDB: the connection with the reading options, and its errors as one
line naming the file (and, for CSV, the line)."""

from __future__ import annotations

import re
from typing import Any

from .options import ReadOptions, RecordError
from .source import Source

__all__ = ["connect", "duckdb_message", "first_line"]


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


def duckdb_message(error: BaseException, source: Source) -> str:
    text = str(error)
    text = text.removeprefix("reading the Arrow stream failed: ")
    found = _CSV_ERROR.search(text)
    if found:
        line, original, problem = found.groups()
        shown = "" if original is None else f" (the line: {original[:60]!r})"
        return f"{source.name}, line {line}: {problem.strip()}{shown}"
    return f"{source.name}: {first_line(Exception(text))}"
