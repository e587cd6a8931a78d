"""The dialect of a text file, found from its first lines, damaged ones
left out: a CSV or TSV file's delimiter, header and columns, a JSON-lines
file's keys.

DuckDB's own sniffer fails on a file whose first lines hold a byte that is
not UTF-8 or a line cut short; here such lines are simply outvoted. The
delimiter is the candidate under which most lines have the same number of
fields (two or more); quotes are double quotes, escaped by doubling.
"""

from __future__ import annotations

import csv
import dataclasses
import io
import json
from collections import Counter

from .. import _native

__all__ = ["Dialect", "is_header", "sniff"]

_DELIMITERS = (",", "\t", ";", "|")


@dataclasses.dataclass(frozen=True)
class Dialect:
    """How to read a text file: its columns' names (CSV, TSV: from the
    header, else column0, column1, ...; JSON lines: the keys seen), and for
    CSV and TSV the delimiter and whether the first line is a header."""

    names: list[str]
    delimiter: str = ","
    header: bool = False
    quote: str | None = '"'


def is_header(row: list[str]) -> bool:
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


def _decoded(lines: list[bytes]) -> tuple[list[str], bool]:
    """The lines that are UTF-8, and whether the first one was."""
    kept = []
    first = False
    for k, line in enumerate(lines):
        try:
            kept.append(line.decode("utf-8"))
        except UnicodeDecodeError:
            continue
        first = first or k == 0
    if not kept:  # no line is UTF-8: read what there is, the lines stay bad
        return [line.decode("utf-8", "replace") for line in lines], bool(lines)
    return kept, first


def sniff(lines: list[bytes], fmt: str, named: bool) -> Dialect:
    """The dialect of a file starting with `lines`; `named`: the columns
    are chosen by name, so the first line is a header."""
    text, first_kept = _decoded(lines)
    if fmt == "json":
        return Dialect(_keys(text), quote=None)
    candidates = ("\t",) if fmt == "tsv" else _DELIMITERS
    best: tuple[int, int, str, list[list[str]]] | None = None
    limit = csv.field_size_limit(1 << 30)  # a term as long as DuckDB reads one
    try:
        parsed = [
            (d, [r for r in csv.reader(io.StringIO("\n".join(text)), delimiter=d) if r])
            for d in candidates
        ]
    finally:
        csv.field_size_limit(limit)
    for delimiter, rows in parsed:
        # The most common number of fields; of equals, the one seen first.
        counts = Counter(len(r) for r in rows)
        fields, agreeing = max(counts.items(), key=lambda c: c[1], default=(1, 0))
        score = agreeing if fields >= 2 else 0
        if best is None or score > best[0]:
            best = (score, fields, delimiter, rows)
    assert best is not None
    _, fields, delimiter, rows = best
    first = rows[0] if rows and first_kept else None
    # A first line with another number of fields is a damaged line, not a
    # header (unless columns are chosen by name).
    header = first is not None and (named or (len(first) == fields and is_header(first)))
    if header and first is not None:
        names = _unique([f.strip() for f in first])
    else:
        names = [f"column{k}" for k in range(fields)]
    return Dialect(names, delimiter, header)


def _unique(names: list[str]) -> list[str]:
    """Header names, an empty or repeated one replaced by its position's."""
    seen: set[str] = set()
    out = []
    for k, name in enumerate(names):
        if not name or name.lower() in seen:
            name = f"column{k}"
        seen.add(name.lower())
        out.append(name)
    return out


def _keys(lines: list[str]) -> list[str]:
    """The keys of the JSON objects among the lines, in order of appearance."""
    keys: dict[str, None] = {}
    for line in lines:
        try:
            value = json.loads(line)
        except ValueError:
            continue
        if isinstance(value, dict):
            keys.update(dict.fromkeys(value))
    return list(keys)
