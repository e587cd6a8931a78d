"""Reading records with DuckDB, embedded and in-process.

`read_records(builder, source)` reads (term, video, count) records, or raw
search events, from files into an `IndexBuilder`:

* sources: a file, a glob ("logs/2026-*.csv.gz"), a folder (every file in
  it and below, but hidden ones and names starting with "_" such as Spark's
  _SUCCESS), or "-" for standard input;
* formats: CSV and TSV (dialect, quoting and header sniffed by DuckDB;
  every field read as text and parsed natively, so values are never
  guessed), Parquet, JSON lines; compressed with gzip or zstd. The format
  comes from `ReadOptions.format`, else the file name, else the content;
* columns: named term, video and count (any case), else the first two or
  three in order (CSV, TSV, Parquet), or as `ReadOptions` maps them (a name
  or a 1-based position); a row without a count counts 1;
* raw search events (`events=True`): one search per row, the count column
  ignored; DuckDB aggregates each file into (term, video, searches) rows
  out of core, spilling to `temp_directory` beyond `memory_limit`, so a
  log larger than memory still builds.

DuckDB's rows stream into the native builder as Arrow batches, never as
Python objects. A bad row (a line that does not parse, an empty term, a
count out of range, an identifier of the wrong kind) raises `RecordError`
naming the file, the row or line, and the value; with `skip_bad=True` such
rows are skipped, counted, and reported in the `ReadReport`.

The modules: `inputs` (files, globs, folders, standard input), `source`
(format, compression and dialect of one file), `columns` (which column is
which), `reader` (the loop), `report` (what was read and skipped),
`connection` (DuckDB and its messages), `options`, `sql`.
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
