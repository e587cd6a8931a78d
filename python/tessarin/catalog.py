"""`Catalog`: what a service knows of each video beside the index.

A catalogue holds one row per video identifier with any columns. Three have
a meaning for the search page: `title` (text), `url` (a link to the video)
and `thumbnail` (a picture), the last two http(s) URLs; every other column
is handed back as it is, and may be filtered on (`Filter`).

Identifiers name videos as the index does: an integer from 0 to 2**32 - 1
(written in decimal) or a UUID (written as hyphenated lowercase hex, as the
index reports it); in a file they may be integers, decimal text, UUID text
in any of the usual spellings, or 16 bytes. A catalogue holds identifiers
of one kind only.

Make one from a mapping (`Catalog({262: {"title": "..."}})`) or read one
from a Parquet, CSV/TSV (with a header line) or JSON lines file, possibly
compressed, with DuckDB (`Catalog.read`). Its identifier column is the one
named `video`, `video_id` or `id` (any case), or the one given. A file is
refused whole, with the row that says why: no identifier column, an
identifier twice, one that is neither an integer nor a UUID, identifiers of
both kinds, a `url` or `thumbnail` that is not an http(s) URL.

The rows are stored by column (one list per column, one dict from
identifier to row), in memory proportional to the file's cells. Values
that JSON cannot carry are stored as text: times and dates in ISO 8601,
decimals as written, bytes in hex; a float that is not finite as null.

Filters match a column's values by their text (`1` and `"1"` alike, a
boolean as `true` or `false`); a cell holding a list matches when any of
its items does. A catalogue never changes once made, so threads may read it
at once.
"""

from __future__ import annotations

import datetime
import decimal
import math
import os
import re
import uuid
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any, NamedTuple
from urllib.parse import urlsplit

__all__ = ["Catalog", "CatalogError", "Filter", "filter_of", "parse_filters"]

#: Columns with a meaning for the page, and those of them that are URLs.
TITLE, URL, THUMBNAIL = "title", "url", "thumbnail"
URL_COLUMNS = (URL, THUMBNAIL)
#: Names an identifier column goes by, in order of preference (any case).
ID_NAMES = ("video", "video_id", "id")
U32_MAX = 2**32 - 1

_DECIMAL = re.compile(r"[0-9]{1,10}")
_UNSAFE_URL = re.compile(r"[\x00-\x20\x7f\\]")


class CatalogError(ValueError):
    """A catalogue that cannot be used (a file or a mapping), or a filter
    that names what the catalogue does not have."""


def video_key(value: object) -> tuple[str, str] | None:
    """(kind, text) of an identifier as the index spells it: ("int",
    decimal) or ("uuid", hyphenated lowercase hex); None if it is neither."""
    if isinstance(value, bool):
        return None
    if isinstance(value, int):
        return ("int", str(value)) if 0 <= value <= U32_MAX else None
    if isinstance(value, uuid.UUID):
        return ("uuid", str(value))
    if isinstance(value, (bytes, bytearray, memoryview)):
        raw = bytes(value)
        return ("uuid", str(uuid.UUID(bytes=raw))) if len(raw) == 16 else None
    if isinstance(value, str):
        text = value.strip()
        if _DECIMAL.fullmatch(text):
            number = int(text)
            return ("int", str(number)) if number <= U32_MAX else None
        if 32 <= len(text) <= 45:  # hex, hyphens, braces, urn:uuid:
            try:
                return ("uuid", str(uuid.UUID(text)))
            except ValueError:
                return None
    return None


def _json_value(value: object) -> Any:
    """A cell as JSON can carry it (see the module's note)."""
    if value is None or isinstance(value, (str, bool, int)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, datetime.timedelta):
        return value.total_seconds()
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    if isinstance(value, decimal.Decimal):
        return str(value)
    if isinstance(value, Mapping):
        return {str(k): _json_value(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_value(v) for v in value]
    return str(value)


def _check_url(column: str, value: object) -> str | None:
    """Why `value` cannot be a `url` or `thumbnail` (None: it can)."""
    if value is None:
        return None
    if not isinstance(value, str):
        return f"{column} must be text, not {type(value).__name__}"
    shown = value[:80]
    if _UNSAFE_URL.search(value):
        return f"{column} {shown!r} holds a space, a control character or a backslash"
    try:
        parts = urlsplit(value)
        parts.port  # noqa: B018 - raises on a port that is no number
    except ValueError:
        return f"{column} {shown!r} is not a URL"
    if parts.scheme.lower() not in ("http", "https") or not parts.hostname:
        return f"{column} {shown!r} is not an http(s) URL with a host"
    if parts.username is not None or parts.password is not None:
        return f"{column} {shown!r} carries a user name or password"
    return None


def value_texts(value: object) -> Iterator[str]:
    """The texts a filter matches a cell by: its own, or its items'."""
    if value is None:
        return
    if isinstance(value, list):
        for item in value:
            yield from value_texts(item)
    elif isinstance(value, bool):
        yield "true" if value else "false"
    elif isinstance(value, float) and value.is_integer():
        yield str(int(value))
    else:
        yield str(value)


class Filter(NamedTuple):
    """A condition on a column: its value (or, for a list, one of its
    items) is one of `values`, compared as text."""

    column: str
    values: frozenset[str]


FilterSpec = Mapping[str, object] | Sequence[Filter] | None


def filter_of(spec: FilterSpec) -> tuple[Filter, ...]:
    """Filters from a mapping of column to a value or a list of values (any
    of which matches), or `Filter`s as they are. All must hold."""
    if spec is None:
        return ()
    if isinstance(spec, Mapping):
        found = []
        for column, wanted in spec.items():
            if not isinstance(column, str):
                raise TypeError(f"a filter's column must be a str, not {type(column).__name__}")
            items = wanted if isinstance(wanted, (list, tuple, set, frozenset)) else [wanted]
            texts = frozenset(t for item in items for t in value_texts(_json_value(item)))
            if not texts:
                raise ValueError(f"the filter on {column!r} names no value")
            found.append(Filter(column, texts))
        return tuple(found)
    if isinstance(spec, (list, tuple)) and all(isinstance(f, Filter) for f in spec):
        return tuple(spec)
    raise TypeError(
        "filter must be a mapping of column to a value or a list of values, "
        f"not {type(spec).__name__}"
    )


def parse_filters(texts: Iterable[str]) -> tuple[Filter, ...]:
    """Filters written as the server's query string gives them, one
    condition a text: ``column:value`` or ``column:value1,value2`` (any of
    the values). A backslash makes the next character plain (``\\,`` a
    comma within a value, ``\\\\`` a backslash); the column ends at the
    first colon. All the conditions must hold."""
    found = []
    for text in texts:
        column, colon, rest = text.partition(":")
        if not colon or not column:
            raise ValueError(f"a filter is written column:value[,value...], not {text[:40]!r}")
        values: list[str] = []
        current: list[str] = []
        escaped = False
        for char in rest:
            if escaped:
                current.append(char)
                escaped = False
            elif char == "\\":
                escaped = True
            elif char == ",":
                values.append("".join(current))
                current = []
            else:
                current.append(char)
        if escaped:
            raise ValueError(f"the filter {text[:40]!r} ends in a lone backslash")
        values.append("".join(current))
        if values == [""]:
            raise ValueError(f"the filter {text[:40]!r} names no value")
        found.append(Filter(column, frozenset(values)))
    return tuple(found)


class Catalog:
    """What is known of each video: one row per identifier (see the
    module's note). Make one with `Catalog(mapping)` or `Catalog.read`."""

    __slots__ = ("_columns", "_rows", "id_kind", "source")

    _rows: dict[str, int]
    _columns: dict[str, list[Any]]
    #: "int" or "uuid": the kind of the identifiers (None when empty).
    id_kind: str | None
    #: Where the rows came from: a path, or None for a mapping.
    source: str | None

    def __init__(self, rows: Mapping[object, Mapping[str, object]]) -> None:
        """A catalogue of `rows`: identifier -> {column: value}."""
        if not isinstance(rows, Mapping):
            raise TypeError(f"a Catalog is made from a mapping, not {type(rows).__name__}")
        names: dict[str, None] = {}
        for row in rows.values():
            if not isinstance(row, Mapping):
                raise TypeError(f"a catalogue row must be a mapping, not {type(row).__name__}")
            names.update(dict.fromkeys(row))
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"a column name must be a str, not {type(name).__name__}")
        columns = {name: [_json_value(row.get(name)) for row in rows.values()] for name in names}
        self._fill(list(rows), columns, None, lambda n: f"entry {n}")

    @classmethod
    def read(
        cls,
        path: str | os.PathLike[str],
        *,
        id_column: str | None = None,
        format: str | None = None,
    ) -> Catalog:
        """The catalogue in a Parquet, CSV/TSV or JSON lines file (gzip or
        zstd too), read with DuckDB. `format` ("parquet", "csv", "tsv",
        "json") overrides the file's name and content; `id_column` names
        the identifier column. Raises `CatalogError` for a file that cannot
        be used, OSError for one that cannot be read."""
        path = os.fspath(path)
        table = _read_table(path, format)
        names = list(table.column_names)
        if id_column is None:
            lowered = {name.lower(): name for name in reversed(names)}
            id_column = next((lowered[n] for n in ID_NAMES if n in lowered), None)
            if id_column is None and table.num_rows == 0:
                id_column, names = "", []  # an empty file: no rows, whatever its columns
            elif id_column is None:
                raise CatalogError(
                    f"{path}: no identifier column: name one video, video_id or id "
                    f"(columns: {', '.join(names[:10]) or 'none'})"
                )
        elif id_column not in names:
            raise CatalogError(
                f"{path}: no column {id_column!r} (columns: {', '.join(names[:10]) or 'none'})"
            )
        ids = table.column(id_column).to_pylist() if names else []
        columns = {
            name: [_json_value(v) for v in table.column(name).to_pylist()]
            for name in names
            if name != id_column
        }
        del table
        catalog = object.__new__(cls)
        catalog._fill(ids, columns, path, lambda n: f"row {n}")
        return catalog

    def _fill(
        self,
        ids: list[object],
        columns: dict[str, list[Any]],
        source: str | None,
        where: Any,
    ) -> None:
        prefix = f"{source}: " if source else ""
        rows: dict[str, int] = {}
        kind = None
        for n, value in enumerate(ids):
            key = video_key(value)
            if key is None:
                raise CatalogError(
                    f"{prefix}{where(n + 1)}: the video identifier {str(value)[:60]!r} is "
                    f"neither an integer from 0 to {U32_MAX} nor a UUID"
                )
            if kind is None:
                kind = key[0]
            elif key[0] != kind:
                raise CatalogError(
                    f"{prefix}{where(n + 1)}: the identifier {key[1]!r} is "
                    f"{'a UUID' if key[0] == 'uuid' else 'an integer'} but those before it are "
                    f"{'UUIDs' if kind == 'uuid' else 'integers'}"
                )
            first = rows.setdefault(key[1], n)
            if first != n:
                raise CatalogError(
                    f"{prefix}{where(n + 1)}: the video {key[1]} is already in "
                    f"{where(first + 1)}; a catalogue holds one row per video"
                )
        for name in URL_COLUMNS:
            for n, cell in enumerate(columns.get(name, ())):
                problem = _check_url(name, cell)
                if problem:
                    raise CatalogError(f"{prefix}{where(n + 1)}: {problem}")
        self._rows = rows
        self._columns = columns
        self.id_kind = kind
        self.source = source

    # Reading.

    @property
    def columns(self) -> list[str]:
        """The columns beside the identifier, in the file's order."""
        return list(self._columns)

    def get(self, video: str) -> dict[str, Any] | None:
        """The row of `video` (as the index spells it), its null cells left
        out; None if the catalogue does not have it."""
        n = self._rows.get(video)
        if n is None:
            return None
        return {name: cells[n] for name, cells in self._columns.items() if cells[n] is not None}

    def __contains__(self, video: object) -> bool:
        return video in self._rows

    def __len__(self) -> int:
        return len(self._rows)

    def __iter__(self) -> Iterator[str]:
        return iter(self._rows)

    def __repr__(self) -> str:
        return (
            f"<tessarin.Catalog: {len(self):,} videos ({self.id_kind or 'none'}), "
            f"columns {', '.join(self._columns) or 'none'}>"
        )

    def picture_hosts(self) -> frozenset[str]:
        """The origins (scheme://host[:port]) of the thumbnails."""
        hosts = set()
        for cell in self._columns.get(THUMBNAIL, ()):
            if cell is not None:
                parts = urlsplit(cell)
                hosts.add(f"{parts.scheme.lower()}://{parts.netloc.lower()}")
        return frozenset(hosts)

    def check_filters(self, filters: Sequence[Filter]) -> None:
        """Refuses (CatalogError) a filter on a column it does not have."""
        for condition in filters:
            if condition.column not in self._columns:
                raise CatalogError(
                    f"no column {condition.column!r} to filter on "
                    f"(columns: {', '.join(self._columns) or 'none'})"
                )

    def matches(self, video: str, filters: Sequence[Filter]) -> bool:
        """Whether `video` is in the catalogue and meets every filter."""
        n = self._rows.get(video)
        if n is None:
            return False
        for condition in filters:
            cells = self._columns.get(condition.column)
            if cells is None or condition.values.isdisjoint(value_texts(cells[n])):
                return False
        return True


def _read_table(path: str, fmt: str | None) -> Any:
    """The file as an Arrow table, read by DuckDB."""
    import duckdb

    from .read.source import sniff, split_name
    from .read.sql import literal

    if not os.path.isfile(path):
        if os.path.exists(path):
            raise IsADirectoryError(f"{path}: not a regular file")
        raise FileNotFoundError(f"{path}: no such file")
    named, compression = split_name(path)
    fmt = fmt or named
    if fmt is None:
        fmt, compression = sniff(path)
    options = [literal(path)]
    if compression is not None and fmt != "parquet":
        options.append(f"compression={literal(compression)}")
    if fmt == "parquet":
        relation = f"read_parquet({literal(path)})"
    elif fmt == "json":
        relation = f"read_json({', '.join(options)}, format='newline_delimited')"
    elif fmt in ("csv", "tsv"):
        options += ["header=true", "all_varchar=true"]
        if fmt == "tsv":
            options.append("delim='\\t'")
        relation = f"read_csv({', '.join(options)})"
    else:
        raise CatalogError(f"{path}: a catalogue is Parquet, CSV, TSV or JSON lines, not {fmt!r}")
    con = duckdb.connect()
    try:
        found = con.sql(f"SELECT * FROM {relation}").arrow()
        return found.read_all() if hasattr(found, "read_all") else found
    except duckdb.Error as error:
        raise CatalogError(f"{path}: {str(error).strip().splitlines()[0]}") from None
    finally:
        con.close()
