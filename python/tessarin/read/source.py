"""One input file: its format and compression (from the options, its name,
else its first bytes) and the DuckDB relation that reads it."""

from __future__ import annotations

import os
import zlib

from .dialect import Dialect
from .options import ReadOptions
from .sql import literal

__all__ = ["Source", "sniff", "split_name"]


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
        #: The path as DuckDB is given it: one that it cannot take for a glob.
        self.duckdb_path = path
        #: CSV, TSV, JSON lines: how the text is read (set by the reader).
        self.dialect: Dialect | None = None
        #: CSV and TSV: lines beyond DuckDB's default limit were seen (raising
        #: the limit for every file would slow the reading of all).
        self.long_lines = False

    def relation(self, rejects: str | None = None, lenient: bool = False) -> str:
        """The DuckDB relation reading the file; `rejects`: the table in
        which DuckDB stores the lines it cannot read, skipping them;
        `lenient`: such lines are skipped without a trace."""
        path = literal(self.duckdb_path)
        if self.format == "parquet":
            return f"read_parquet({path})"
        dialect = self.dialect
        assert dialect is not None
        if self.format == "json":
            # One line, one value: JSON text holds no raw control character,
            # so a record separator never splits a line that is JSON.
            columns = {"line": "VARCHAR"}
            options = ["delim='\x1e'", "quote=''", "escape=''", "header=false"]
        else:
            columns = {name: "VARCHAR" for name in dialect.names}
            options = [
                f"delim={literal(dialect.delimiter)}",
                "quote='\"'",
                "escape='\"'",
                f"header={str(dialect.header).lower()}",
            ]
        struct = ", ".join(f"{literal(c)}: {literal(t)}" for c, t in columns.items())
        # Every field is text, an empty one "" (not null): fields are
        # parsed natively, never guessed.
        options += ["auto_detect=false", f"columns={{{struct}}}", "nullstr='\x01'"]
        if self.compression is not None:
            options.append(f"compression={literal(self.compression)}")
        if self.long_lines:
            options.append(f"max_line_size={_LONGEST_LINE}")
        if lenient:
            options.append("ignore_errors=true")
        elif rejects is not None:
            options += [
                "ignore_errors=true",
                "store_rejects=true",
                f"rejects_table={literal(rejects)}",
                f"rejects_scan={literal(rejects + '_scan')}",
            ]
        return f"read_csv({', '.join([path, *options])})"
