"""Which columns are the term, the video and the count: by option, by name
or by position."""

from __future__ import annotations

from typing import Any

from .options import ReadOptions, RecordError
from .source import Source

__all__ = ["choose_columns", "read_columns"]


def named_column(names: list[str], wanted: str) -> str:
    """The column an option names: a name (any case) or a 1-based position."""
    if wanted.isdigit() and wanted not in names:
        k = int(wanted) - 1
        if not 0 <= k < len(names):
            raise RecordError(f"there is no column {wanted} (the input has {len(names)})")
        return names[k]
    lowered = [n.lower() for n in names]
    if wanted.lower() not in lowered:
        raise RecordError(f"there is no column {wanted!r} (the columns: {', '.join(names)})")
    return names[lowered.index(wanted.lower())]


def _pick(names: list[str], wanted: str | None, default: str, position: int | None) -> str | None:
    """The column for one field: by option, by name, by position."""
    if wanted is not None:
        return named_column(names, wanted)
    lowered = [n.lower() for n in names]
    if default in lowered:
        return names[lowered.index(default)]
    if position is not None and position < len(names):
        return names[position]
    return None


def choose_columns(
    names: list[str], source: Source, options: ReadOptions
) -> tuple[str, str, str | None]:
    by_name = {"term", "video"} <= {n.lower() for n in names}
    positional = source.format != "json" and not by_name
    term = _pick(names, options.term, "term", 0 if positional else None)
    video = _pick(names, options.video, "video", 1 if positional else None)
    if term is None or video is None:
        raise RecordError(
            f"no term and video columns (the columns: {', '.join(names)}); "
            "name them term, video and count, or map them with the column options"
        )
    count = None
    if not options.events:
        count = _pick(names, options.count, "count", 2 if positional else None)
    return term, video, count


def read_columns(con: Any, source: Source) -> list[str]:
    """The columns of a file: a text file's as its dialect names them, a
    Parquet file's as DuckDB reads them."""
    if source.dialect is not None:
        return source.dialect.names
    return list(con.sql(f"SELECT * FROM {source.relation()} LIMIT 0").columns)
