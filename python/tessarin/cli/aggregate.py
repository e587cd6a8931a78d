"""`tessarin aggregate`: raw search events to a daily aggregate (Parquet)."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ..read import FORMATS, ReadOptions, RecordError
from ..read.aggregate import BUCKETS, aggregate_events
from ..read.report import plural
from ..storage.files import same_file
from .arguments import positive
from .build import check_records, report_skipped
from .common import CommandError, os_message
from .parser import SUMMARIES

__all__ = ["add_parser", "run"]


def add_parser(commands: Any) -> None:
    aggregate = commands.add_parser(
        "aggregate",
        help=SUMMARIES["aggregate"],
        description="Read raw search events (term, video, time; one search a row) as build "
        "--events reads them, and write one row per term, video and day: term, video, count, "
        "day (UTC). tessarin build reads such files as records, weighing each day's counts by "
        "its age with --half-life, so that a daily job aggregates one day's events and "
        "rebuilds the index from all the days' aggregates. Terms and videos are kept as the "
        "events hold them: they are normalised, checked and kept out when an index is built.",
    )
    aggregate.add_argument("events", metavar="EVENTS", help="events: file, glob, folder or -")
    aggregate.add_argument("out", metavar="OUT", help="the Parquet file to write")
    aggregate.add_argument("--format", choices=FORMATS, help="format of EVENTS (default: guessed)")
    for field, place in (("term", "first"), ("video", "second")):
        aggregate.add_argument(
            f"--{field}",
            metavar="COLUMN",
            help=f"the {field} column, by name or 1-based position (default: the column named "
            f"{field}, else the {place})",
        )
    aggregate.add_argument(
        "--time-column",
        metavar="COLUMN",
        help="the column of the searches' times, by name or 1-based position (default: the "
        "column named day, hour, time or timestamp)",
    )
    aggregate.add_argument(
        "--bucket",
        choices=[*BUCKETS, "none"],
        default="day",
        help="sum the searches of each day (default), each hour, or of all time (none: no "
        "time column needed)",
    )
    aggregate.add_argument(
        "--skip-bad",
        action="store_true",
        help="skip bad rows (lines DuckDB cannot read, rows without a time), count them and "
        "report the first few, instead of failing at the first",
    )
    aggregate.add_argument(
        "--memory-limit", metavar="SIZE", help="DuckDB's memory limit, e.g. 4GB (then it spills)"
    )
    aggregate.add_argument("--temp-dir", metavar="DIR", help="where DuckDB spills beyond its limit")
    aggregate.add_argument(
        "--threads", type=positive, metavar="N", help="DuckDB's threads (default: one per core)"
    )
    aggregate.add_argument("-q", "--quiet", action="store_true", help="print no summary")


def run(args: argparse.Namespace) -> int:
    check_records(args.events)
    if args.events != "-" and same_file(args.events, args.out):
        raise CommandError(f"{args.out}: is the events file itself; give another OUT")
    options = ReadOptions(
        format=args.format,
        term=args.term,
        video=args.video,
        events=True,
        time=args.time_column,
        skip_bad=args.skip_bad,
        memory_limit=args.memory_limit,
        temp_directory=args.temp_dir,
        threads=args.threads,
    )
    bucket = None if args.bucket == "none" else args.bucket
    try:
        report = aggregate_events(args.events, args.out, options, bucket)
    except RecordError as error:
        raise CommandError(str(error)) from None
    except OSError as error:
        raise CommandError(os_message(error)) from None
    if report.read.skipped:
        report_skipped(report.read)
    if not args.quiet:
        days = f", {plural(report.buckets, bucket)}" if bucket is not None else ""
        print(
            f"{args.out}: {plural(report.read.added, 'search')} in "
            f"{plural(report.rows, 'row')}{days}, {plural(report.size, 'byte')}",
            file=sys.stderr,
        )
    return 0
