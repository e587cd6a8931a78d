"""Reading records with DuckDB, embedded and in-process.

`read_records(builder, source)` reads (term, video, count) records, or raw
search events, from files into an `IndexBuilder`:

* sources: a file, a glob ("logs/2026-*.csv.gz"), a folder (every file in
  it and below, but hidden ones and names starting with "_" such as Spark's
  _SUCCESS), or "-" for standard input. A name that is a file is that file,
  even when it looks like a glob ("data?.csv", "[x].csv");
* formats: CSV and TSV (delimiter and header found from the first lines,
  damaged ones outvoted; quoted fields may hold line breaks; every field
  read as text and parsed natively, so values are never guessed), Parquet,
  JSON lines; compressed with gzip or zstd. The format comes from
  `ReadOptions.format`, else the file name, else the content;
* columns: named term, video and count (any case), else the first two or
  three in order (CSV, TSV, Parquet: a file of four or more columns without
  a header gives its first three), or as `ReadOptions` maps them (a name or
  a 1-based position); without a count column every row counts 1;
* raw search events (`events=True`): one search per row, the count column
  ignored; the rows stream into the builder, which sums repeated pairs in
  memory that grows with the distinct pairs only.

DuckDB's rows stream into the native builder as Arrow batches, never as
Python objects. A bad row (a line DuckDB cannot read: bytes that are not
UTF-8, too few or too many fields, a line that is not a JSON object; or a
row the builder refuses: an empty term, a count out of range, an
identifier of the wrong kind) raises `RecordError` naming the file, the
line and its text (Parquet: the row); with `skip_bad=True` every such row
is skipped, counted once by reason, and the first few are reported in the
`ReadReport`, in file and line order.

The modules: `inputs` (files, globs, folders, standard input), `source`
(format and compression of one file, its DuckDB relation), `text` (a text
file's first lines, and where its records are), `dialect` (delimiter,
header, columns), `columns` (which column is which), `reader` (the loop),
`report` (what was read and skipped), `connection` (DuckDB and what its
errors say), `options`, `sql`.
"""

from __future__ import annotations

from .inputs import input_files
from .options import FORMATS, ReadOptions, ReadProgress, RecordError
from .reader import read_records
from .report import ReadReport

__all__ = [
    "FORMATS",
    "ReadOptions",
    "ReadProgress",
    "ReadReport",
    "RecordError",
    "input_files",
    "read_records",
]
