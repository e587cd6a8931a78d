"""`tessarin build`: records (or raw search events) to a saved index."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from ..building.index_builder import IndexBuilder
from ..building.records import DEFAULT_VIDEO_TOP_N
from ..errors import TessarinError
from ..index import Index
from ..read import FORMATS, ReadOptions, ReadReport, RecordError, read_records
from ..storage.files import check_writable, same_file
from .arguments import positive
from .common import CommandError, os_message
from .progress import ProgressBar

__all__ = ["add_parser", "run"]


def add_parser(commands: Any) -> None:
    build = commands.add_parser(
        "build",
        help="build an index from records or raw search events",
        description="Build an index from records and save it. RECORDS is a file, a glob "
        "(quoted), a folder of files, or - for standard input: CSV or TSV (dialect and header "
        "sniffed), Parquet, or JSON lines, optionally gzip- or zstd-compressed, read by DuckDB. "
        "Records are term, video identifier (integer or UUID) and count, taken from the columns "
        "named term, video and count, else the first three; a row without a count counts 1. "
        "With --events, rows are raw search events (term, video), one search each, aggregated "
        "by DuckDB out of core.",
    )
    build.add_argument("records", metavar="RECORDS", help="records: file, glob, folder or -")
    build.add_argument(
        "out", metavar="OUT", help="where to save the index, or - for standard output"
    )
    build.add_argument("--format", choices=FORMATS, help="format of RECORDS (default: guessed)")
    for field, place in (("term", "first"), ("video", "second"), ("count", "third")):
        build.add_argument(
            f"--{field}",
            metavar="COLUMN",
            help=f"the {field} column, by name or 1-based position (default: the column named "
            f"{field}, else the {place})",
        )
    build.add_argument(
        "--events",
        action="store_true",
        help="rows are raw search events (term, video): one search each, aggregated by DuckDB",
    )
    build.add_argument(
        "--normalize",
        metavar="STEPS",
        help="normalise terms (and so every query of the index): casefold, nfkc, spaces, or "
        "several joined by + (e.g. nfkc+casefold+spaces)",
    )
    build.add_argument(
        "--skip-bad",
        action="store_true",
        help="skip bad rows, count them and report them at the end, instead of failing",
    )
    build.add_argument(
        "--memory-limit", metavar="SIZE", help="DuckDB's memory limit, e.g. 4GB (then it spills)"
    )
    build.add_argument("--temp-dir", metavar="DIR", help="where DuckDB spills beyond its limit")
    build.add_argument(
        "--threads", type=positive, metavar="N", help="DuckDB's threads (default: one per core)"
    )
    build.add_argument(
        "--top-n",
        type=positive,
        default=DEFAULT_VIDEO_TOP_N,
        metavar="N",
        help=f"videos each trie node keeps (default {DEFAULT_VIDEO_TOP_N})",
    )
    build.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="show progress bars on standard error (default: when it is a terminal)",
    )
    build.add_argument("-q", "--quiet", action="store_true", help="print no summary")


def run(args: argparse.Namespace) -> int:
    show = args.progress if args.progress is not None else sys.stderr.isatty()
    delay = 0.5 if args.progress is None else 0.0
    if args.out != "-":
        if args.records != "-" and same_file(args.records, args.out):
            raise CommandError(f"{args.out}: is the records file itself; give another OUT")
        try:
            check_writable(args.out)
        except TessarinError as error:
            raise CommandError(str(error)) from None
    try:
        builder = IndexBuilder(normalization=args.normalize)
    except ValueError as error:
        raise CommandError(str(error)) from None
    options = ReadOptions(
        format=args.format,
        term=args.term,
        video=args.video,
        count=args.count,
        events=args.events,
        skip_bad=args.skip_bad,
        memory_limit=args.memory_limit,
        temp_directory=args.temp_dir,
        threads=args.threads,
    )
    name = "standard input" if args.records == "-" else args.records
    reading = ProgressBar(sys.stderr, "reading", "rows", delay) if show else None
    try:
        report = read_records(
            builder, args.records, options, None if reading is None else reading.update
        )
    except RecordError as error:
        raise CommandError(str(error)) from None
    except OSError as error:
        raise CommandError(os_message(error)) from None
    finally:
        if reading is not None:
            reading.finish()
    if report.skipped:
        _report_skipped(report)
    if not builder.records:
        raise CommandError(f"{name}: no records")
    records, terms, videos = builder.records, builder.terms, builder.videos
    building = ProgressBar(sys.stderr, "building", "terms", delay, rate=False) if show else None

    def progress(step: str, done: int, total: int) -> None:
        if building is not None:
            building.update(done / total, terms, force=done >= total)

    try:
        index = builder.index(video_top_n=args.top_n, progress=progress, release=True)
    finally:
        if building is not None:
            building.finish()
    size = _write(args.out, index)
    if not args.quiet:
        where = "standard output" if args.out == "-" else args.out
        print(
            f"{where}: {records:,} {'pairs of events' if args.events else 'records'}, "
            f"{terms:,} terms, "
            f"{videos:,} videos, {size:,} bytes",
            file=sys.stderr,
        )
    return 0


def _report_skipped(report: ReadReport) -> None:
    reasons = ", ".join(f"{n:,} {reason}" for reason, n in sorted(report.by_reason.items()))
    print(f"skipped {report.skipped:,} bad rows ({reasons}); the first:", file=sys.stderr)
    for example in report.examples:
        print(f"  {example}", file=sys.stderr)


def _write(path: str, index: Index) -> int:
    """Write all or nothing: a failed build never leaves a partial file.
    Returns the file's size."""
    if path == "-":
        data = index.to_bytes()
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return len(data)
    try:
        index.save(path)
        return os.path.getsize(path)
    except OSError as error:
        raise CommandError(f"{path}: {error.strerror or error}") from None
