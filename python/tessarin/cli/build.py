"""`tessarin build`: records (or raw search events) to a saved index."""

from __future__ import annotations

import argparse
import os
import stat
import sys
from typing import Any

from ..building.exclusions import Exclusions
from ..building.index_builder import IndexBuilder
from ..building.recency import duration, duration_text, instant, instant_text
from ..building.records import DEFAULT_VIDEO_TOP_N
from ..errors import TessarinError
from ..index import Index
from ..read import FORMATS, ReadOptions, ReadReport, RecordError, read_records
from ..read.report import plural
from ..storage.files import (
    check_writable,
    descriptor_of,
    require_regular,
    same_file,
    write_all,
    write_file,
)
from .arguments import natural, positive
from .common import CommandError, os_message, shown
from .parser import SUMMARIES
from .progress import ProgressBar

__all__ = ["add_parser", "check_records", "report_skipped", "run"]


def add_parser(commands: Any) -> None:
    build = commands.add_parser(
        "build",
        help=SUMMARIES["build"],
        description="Build an index from records and save it. RECORDS is a file, a glob "
        "(quoted), a folder of files, or - for standard input: CSV or TSV (delimiter and header "
        "found from the first lines), Parquet, or JSON lines, optionally gzip- or "
        "zstd-compressed, read by DuckDB. "
        "Records are term, video identifier (integer or UUID) and count, taken from the columns "
        "named term, video and count, else the first three; without a count column every row "
        "counts 1. With --events, rows are raw search events (term, video), one search each.",
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
        help="rows are raw search events (term, video): one search each",
    )
    build.add_argument(
        "--normalize",
        metavar="STEPS",
        help="normalise terms (and so every query of the index): casefold, nfkc, spaces, or "
        "several joined by + (e.g. nfkc+casefold+spaces)",
    )
    build.add_argument(
        "--half-life",
        metavar="DURATION",
        help="weigh each search by its age: it counts half as much every DURATION (e.g. 7d, "
        "12h); counts are then kept in thousandths of a search",
    )
    build.add_argument(
        "--time-column",
        metavar="COLUMN",
        help="with --half-life, the column of the searches' times, by name or 1-based position "
        "(default: the column named day, hour, time or timestamp)",
    )
    build.add_argument(
        "--as-of",
        metavar="TIME",
        help="with --half-life, the time that ages are measured from, e.g. 2026-03-01 or "
        "2026-03-01T12:00:00Z (default: the latest time in RECORDS)",
    )
    build.add_argument(
        "--exclude",
        metavar="FILE",
        help="terms never indexed: one a line, exact or a glob pattern (*, ?, [a-z]), "
        "normalised like the terms",
    )
    build.add_argument(
        "--min-count",
        type=natural,
        metavar="N",
        help="drop terms with fewer than N searches in all (weighed, with --half-life), with "
        "their videos where no other term leads to them",
    )
    build.add_argument(
        "--skip-bad",
        action="store_true",
        help="skip bad rows (lines DuckDB cannot read, rows the checks refuse), count them by "
        "reason and report the first few at the end, instead of failing at the first",
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
    check_records(args.records)
    out = 1 if args.out == "-" else descriptor_of(args.out)
    if out is None:
        if args.records != "-" and same_file(args.records, args.out):
            raise CommandError(f"{args.out}: is the records file itself; give another OUT")
        try:
            check_writable(args.out)
        except TessarinError as error:
            raise CommandError(str(error)) from None
    builder = _builder(args)
    options = ReadOptions(
        format=args.format,
        term=args.term,
        video=args.video,
        count=args.count,
        events=args.events,
        time=args.time_column,
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
        report_skipped(report)
    if report.excluded and not args.quiet:
        rows = plural(report.excluded, "search" if args.events else "record")
        print(
            f"kept out {rows} of {plural(builder.excluded_terms, 'term')} (--exclude)",
            file=sys.stderr,
        )
    if not builder.records:
        raise CommandError(f"{name}: no records" + (" left (--exclude)" if report.excluded else ""))
    records, terms = builder.records, builder.terms
    building = ProgressBar(sys.stderr, "building", "terms", delay, rate=False) if show else None

    def progress(step: str, done: int, total: int) -> None:
        if building is not None:
            building.update(done / total, terms, force=done >= total)

    try:
        index = builder.index(video_top_n=args.top_n, progress=progress, release=True)
    finally:
        if building is not None:
            building.finish()
    if builder.dropped_terms and not args.quiet:
        print(
            f"dropped {plural(builder.dropped_terms, 'term')} of fewer than "
            f"{plural(args.min_count, 'search')} (--min-count)",
            file=sys.stderr,
        )
    if not index.metadata.terms:
        raise CommandError(f"{name}: no term has {plural(args.min_count, 'search')} (--min-count)")
    where = _STREAMS.get(out, args.out) if out is not None else args.out
    size = _write(args.out, out, where, index)
    if not args.quiet:
        read = (
            f"{plural(records, 'search')} ({plural(builder.pairs, 'distinct pair')})"
            if args.events
            else plural(records, "record")
        )
        recency = builder.recency
        weighed = ""
        if recency is not None and recency.as_of is not None:
            weighed = (
                f" (weighed: half-life {duration_text(recency.half_life)}, "
                f"as of {instant_text(recency.as_of)})"
            )
        print(
            f"{where}: {read}{weighed}, {plural(index.metadata.terms, 'term')}, "
            f"{plural(index.metadata.videos, 'video')}, {plural(size, 'byte')}",
            file=sys.stderr,
        )
    return 0


def _builder(args: argparse.Namespace) -> IndexBuilder:
    """The builder the options ask for; a bad option in one line."""
    if args.half_life is None:
        for given, option in ((args.time_column, "--time-column"), (args.as_of, "--as-of")):
            if given is not None:
                raise CommandError(f"{option} goes with --half-life (how fast searches age)")
    exclude = None
    if args.exclude is not None:
        try:
            exclude = Exclusions.from_file(args.exclude)
        except OSError as error:
            raise CommandError(os_message(error)) from None
        except ValueError as error:
            raise CommandError(f"--exclude {error}") from None
    try:
        if args.half_life is not None:
            duration(args.half_life, "--half-life")
        if args.as_of is not None:
            instant(args.as_of, "--as-of")
        return IndexBuilder(
            normalization=args.normalize,
            half_life=args.half_life,
            as_of=args.as_of,
            exclude=exclude,
            min_count=args.min_count,
        )
    except ValueError as error:
        raise CommandError(str(error)) from None


def report_skipped(report: ReadReport) -> None:
    reasons = ", ".join(
        f"{n:,} {reason}"
        for reason, n in sorted(report.by_reason.items(), key=lambda r: (-r[1], r[0]))
    )
    shown_all = len(report.examples) >= report.skipped
    first = "" if shown_all else f"; the first {len(report.examples)}"
    print(f"skipped {plural(report.skipped, 'bad row')} ({reasons}){first}:", file=sys.stderr)
    for example in report.examples:
        print(f"  {shown(example)}", file=sys.stderr)


def check_records(source: str) -> None:
    """Refuses records named by a path that is neither a file nor a folder
    (a FIFO, a device): those are read only as standard input (-)."""
    if source == "-":
        return
    try:
        mode = os.stat(source).st_mode
    except OSError:
        return  # a glob, or missing: the reader says
    if not stat.S_ISDIR(mode):
        try:
            require_regular(source, mode, "give - to read records from standard input")
        except OSError as error:
            raise CommandError(str(error)) from None


_STREAMS = {1: "standard output", 2: "standard error"}


def _write(path: str, fd: int | None, where: str, index: Index) -> int:
    """Writes the index file: in place through a descriptor (standard
    output), every byte checked, or all or nothing at `path` (a failed build
    never leaves a partial file). Returns its size."""
    chunks = index._file_chunks()
    try:
        return write_all(fd, chunks) if fd is not None else write_file(path, chunks)
    except OSError as error:
        if fd is None:
            raise CommandError(f"{path}: {error.strerror or error}") from None
        total = sum(map(len, chunks))
        raise CommandError(f"{where}: {error.strerror} (of {total:,} to write)") from None
