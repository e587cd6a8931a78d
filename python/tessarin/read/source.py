"""One input file: its format and compression (from the options, its name,
else its first bytes), the DuckDB relation that reads it, and the dialect
DuckDB sniffs in a CSV file."""

from __future__ import annotations

import os
import zlib
from typing import Any

from .options import ReadOptions
from .sql import literal

__all__ = ["Source", "csv_dialect", "sniff", "split_name"]


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
#: The longest CSV line read when a file's first lines exceed DuckDB's
#: default (2 MB): 1 GiB, one term of a billion bytes.
_LONGEST_LINE = 1 << 30


def split_name(path: str) -> tuple[str | None, str | None]:
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


def sniff(path: str) -> tuple[str, str | None]:
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


class Source:
    """One input file and how DuckDB reads it."""

    def __init__(self, path: str, name: str, options: ReadOptions) -> None:
        self.path = path
        self.name = name
        fmt, compression = split_name(path) if name != "standard input" else (None, None)
        if options.format is not None:
            fmt = options.format
        if fmt is None:
            fmt, sniffed = sniff(path)
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
        path = literal(self.path)
        if self.format == "parquet":
            return f"read_parquet({path})"
        options = [] if self.compression is None else [f"compression={literal(self.compression)}"]
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
            struct = ", ".join(f"{literal(c)}: 'VARCHAR'" for c in columns)
            options = [o for o in options if not o.startswith("delim=")]
            options += ["auto_detect=false", *dialect, f"columns={{{struct}}}"]
        if columns is None and self.header is not None and "header=" not in extra:
            options.append(f"header={str(self.header).lower()}")
        if extra:
            options.append(extra)
        return f"read_csv({', '.join([path, *options])})"


def csv_dialect(con: Any, source: Source) -> list[str]:
    """The options of DuckDB's sniffed dialect of a CSV file."""
    sniffed = con.sql(
        "SELECT Delimiter, Quote, Escape, NewLineDelimiter, Comment, SkipRows, HasHeader "
        f"FROM sniff_csv({source.relation()[len('read_csv(') : -1]})"
    ).fetchall()[0]
    delim, quote, escape, _, comment, skip, header = sniffed

    def text(value: str) -> str:
        return literal("" if value == "(empty)" else value.replace("\\n", "\n"))

    return [
        f"delim={text(delim)}",
        f"quote={text(quote)}",
        f"escape={text(escape)}",
        f"comment={text(comment)}",
        f"skip={int(skip)}",
        f"header={str(bool(header)).lower()}",
    ]
