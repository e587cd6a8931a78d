"""Which columns are the term, the video and the count: a CSV file's header
(or none), then by option, by name or by position."""

from __future__ import annotations

import re
from typing import Any

from .. import _native
from .connection import duckdb_problem
from .options import ReadOptions, RecordError
from .source import Source, csv_dialect

__all__ = ["choose_columns", "read_columns"]


def _is_header(row: list[str]) -> bool:
    """Whether the first row of a CSV file names its columns: it names term
    and video, or its count (in a row of two fields, its video) is no
    integer as the builder reads integers (and, for a video, no UUID)."""
    if {"term", "video"} <= {name.strip().lower() for name in row}:
        return True
    if len(row) >= 3:
        return _native.parse_integer(row[2]) is None
    if len(row) == 2:
        return _native.parse_integer(row[1]) is None and len(row[1].strip()) < 32
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


def read_columns(con: Any, source: Source, options: ReadOptions) -> tuple[list[str], str]:
    """The columns and the relation to read them from."""
    if source.format in ("csv", "tsv"):
        # Every field is text, so DuckDB cannot tell a header by its
        # types: decide here, from the first row, as the fields say.
        try:
            rows = con.sql(f"SELECT * FROM {source.relation('header=false')} LIMIT 1").fetchall()
        except Exception as error:
            if not duckdb_problem(error).line_too_long:
                raise
            source.long_lines = True
            rows = con.sql(f"SELECT * FROM {source.relation('header=false')} LIMIT 1").fetchall()
        named = any(
            o is not None and not o.isdigit() for o in (options.term, options.video, options.count)
        )
        source.header = named or (bool(rows) and _is_header([f for f in rows[0] if f is not None]))
    relation = source.relation()
    names = list(con.sql(f"SELECT * FROM {relation} LIMIT 0").columns)
    if source.format in ("csv", "tsv"):
        # Extra fields seen in DuckDB's sample become unnamed columns:
        # read again with the columns fixed, so that such lines fail
        # (or are skipped) as lines with too many fields.
        auto = [n for n in names if re.fullmatch(r"column\d+", n)]
        given = [n for n in names if n not in auto]
        if given and auto:
            names = given
        elif not given and len(names) > 3 and not (options.term or options.video or options.count):
            names = names[:3]
        else:
            return names, relation
        return names, source.relation(columns=names, dialect=csv_dialect(con, source))
    return names, relation
