"""The `tessarin` command line: build, search, terms, info, serve.

Every failure the user can cause (a missing or corrupt file, a bad record,
an option out of range) ends with one line on standard error, prefixed
"tessarin: ", and exit status 1; usage errors are argparse's own (status 2).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import warnings
from collections.abc import Sequence
from typing import Any, TextIO

from . import __version__, container
from .builder import DEFAULT_VIDEO_TOP_N, U32_MAX, IndexBuilder
from .errors import TessarinError
from .files import check_writable, same_file
from .index import Index, UncheckedIndexWarning
from .progress import ProgressBar
from .reading import FORMATS, ReadOptions, ReadReport, RecordError, read_records
from .sample import load_sample_index

PROG = "tessarin"


class CommandError(Exception):
    """A failure to report in one line."""


# Option types: argparse turns their ValueError into a usage error.


def _natural(text: str, maximum: int = 2**64 - 1) -> int:
    value = int(text)
    if not 0 <= value <= maximum:
        raise ValueError(text)
    return value


def _u32(text: str) -> int:
    return _natural(text, U32_MAX)


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(text)
    return value


_u32.__name__ = "integer in 0..4294967295"
_natural.__name__ = "non-negative integer"
_positive.__name__ = "integer of 1 or more"


def _port(text: str) -> int:
    return _natural(text, 65535)


_port.__name__ = "port number"


def _number(text: str) -> float:
    value = float(text)
    if value != value:
        raise ValueError(text)
    return value


_number.__name__ = "number"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Typo-tolerant search over search terms and the videos they lead to.",
        epilog="Without INDEX, search and terms use a small sample index of English words.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

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
        "--threads", type=_positive, metavar="N", help="DuckDB's threads (default: one per core)"
    )
    build.add_argument(
        "--top-n",
        type=_positive,
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

    search = commands.add_parser(
        "search",
        help="rank the videos for what a user typed",
        description="Rank the videos that fit TEXT, whole or partial, possibly misspelt.",
    )
    _index_and_text(search)
    _max_dist(search)
    search.add_argument(
        "--limit", type=_positive, default=10, metavar="N", help="at most N videos (default 10)"
    )
    search.add_argument(
        "--prefix",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="pool prefix nodes (partial words) too, or never; default: only when no "
        "complete term matches",
    )
    search.add_argument(
        "--min-score",
        type=_number,
        default=None,
        metavar="X",
        help="drop videos scoring below X (default 0.01)",
    )
    search.add_argument("--json", action="store_true", help="print JSON")

    terms = commands.add_parser(
        "terms",
        help="list the indexed terms close to TEXT",
        description="List the indexed terms within --max-dist edits of TEXT, closest first.",
    )
    _index_and_text(terms)
    _max_dist(terms)
    terms.add_argument(
        "--limit", type=_positive, default=20, metavar="N", help="at most N terms (default 20)"
    )
    terms.add_argument("--json", action="store_true", help="print JSON")

    info = commands.add_parser(
        "info",
        help="describe a saved index",
        description="Print what an index file says of itself: nodes, terms, videos, identifier "
        "mode, size and how it was built. Reads only the file's header, unless --verify.",
    )
    info.add_argument("index", metavar="INDEX", help="saved index file")
    info.add_argument(
        "--verify",
        action="store_true",
        help="check the whole file against its checksum and load it",
    )
    info.add_argument("--json", action="store_true", help="print JSON")
    _serve_parser(commands)
    return parser


def _serve_parser(commands: Any) -> None:
    serve = commands.add_parser(
        "serve",
        help="serve an index over HTTP: a JSON API and a search page",
        description="Serve INDEX over HTTP: /search, /suggest, /info, /health, /openapi.json "
        "and a search page at /. A changed INDEX file (or SIGHUP) is loaded and swapped in "
        "without downtime. Needs the serve extra: pip install 'tessarin[serve]'.",
    )
    serve.add_argument(
        "index", metavar="INDEX", nargs="?", help="saved index file (default: the sample)"
    )
    serve.add_argument("--host", default="127.0.0.1", help="address (default 127.0.0.1)")
    serve.add_argument(
        "--port", type=_port, default=8000, help="port, 0 for any free one (default 8000)"
    )
    serve.add_argument(
        "--workers", type=_positive, default=1, metavar="N", help="worker processes (default 1)"
    )
    serve.add_argument(
        "--threads",
        type=_positive,
        default=None,
        metavar="N",
        help="query threads in each worker (default: one per core)",
    )
    serve.add_argument(
        "--reload-interval",
        type=_number,
        default=2.0,
        metavar="S",
        help="seconds between checks of INDEX for a change, 0 for never (default 2)",
    )
    serve.add_argument(
        "--max-query",
        type=_positive,
        default=64,
        metavar="N",
        help="longest query a request may send, in characters (default 64)",
    )
    serve.add_argument(
        "--max-dist",
        type=_u32,
        default=2,
        metavar="D",
        help="largest max_dist a request may ask (default 2)",
    )
    serve.add_argument(
        "--max-limit",
        type=_positive,
        default=100,
        metavar="N",
        help="largest limit a request may ask (default 100)",
    )
    serve.add_argument(
        "--access-log",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="log every request with its latency on standard output (default: on)",
    )


def _index_and_text(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "index", metavar="INDEX", nargs="?", help="saved index file (default: the sample)"
    )
    parser.add_argument("text", metavar="TEXT", help="what the user typed")


def _max_dist(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--max-dist",
        type=_u32,
        default=1,
        metavar="D",
        help="edits (insertions, deletions, substitutions) allowed (default 1)",
    )


def _os_message(error: OSError) -> str:
    if error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    return str(error)


def _load(path: str | None) -> Index:
    if path is None:
        return load_sample_index()
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", UncheckedIndexWarning)
            index = Index.load(path)
    except OSError as error:
        raise CommandError(_os_message(error)) from None
    except TessarinError as error:
        raise CommandError(str(error)) from None
    if caught:
        print(f"note: {path} is a bare saved index, with no checksum", file=sys.stderr)
    return index


def _check_text(args: argparse.Namespace) -> bool:
    """Refuses a forgotten TEXT; False for an empty one (nothing to match)."""
    if args.index is None and os.path.isfile(args.text) and _looks_like_index(args.text):
        raise CommandError(
            f"{args.text} is an index file: give the text to {args.command} after it "
            f"({PROG} {args.command} {args.text} TEXT)"
        )
    if not args.text.strip():
        print("nothing typed: nothing matches an empty text", file=sys.stderr)
        return False
    return True


def _looks_like_index(path: str) -> bool:
    if path.endswith(".idx"):
        return True
    try:
        with open(path, "rb") as file:
            return container.is_container(file.read(len(container.MAGIC)))
    except OSError:
        return False


def _table(rows: Sequence[tuple[str, str]], headers: tuple[str, str], out: TextIO) -> None:
    """Left-aligned first column, right-aligned second."""
    left = max([len(headers[0])] + [len(r[0]) for r in rows])
    right = max([len(headers[1])] + [len(r[1]) for r in rows])
    out.write(f"{headers[0]:<{left}}  {headers[1]:>{right}}\n")
    for a, b in rows:
        out.write(f"{a:<{left}}  {b:>{right}}\n")


def _note_sample(args: argparse.Namespace) -> None:
    if args.index is None and sys.stderr.isatty():
        print("(the sample index of English words; give INDEX to search your own)", file=sys.stderr)


def _search(args: argparse.Namespace) -> int:
    results = []
    if _check_text(args):
        results = _load(args.index).search(
            args.text,
            max_dist=args.max_dist,
            limit=args.limit,
            prefix=args.prefix,
            min_score=args.min_score,
        )
    if args.json:
        json.dump([{"video": video, "score": score} for video, score in results], sys.stdout)
        sys.stdout.write("\n")
        return 0
    _note_sample(args)
    if not results:
        if args.text.strip():
            print(f"no video matches {args.text!r}", file=sys.stderr)
        return 0
    _table([(video, f"{score:.4f}") for video, score in results], ("video", "score"), sys.stdout)
    return 0


def _terms(args: argparse.Namespace) -> int:
    found = []
    if _check_text(args):
        # Closest first, then the most searched: the limit cuts after that.
        found = _load(args.index).suggest(args.text, args.max_dist, args.limit)
    if args.json:
        rows = [{"term": s.term, "distance": s.distance, "count": s.count} for s in found]
        json.dump(rows, sys.stdout, ensure_ascii=False)
        sys.stdout.write("\n")
        return 0
    _note_sample(args)
    if not found:
        if args.text.strip():
            print(f"no term within {args.max_dist} of {args.text!r}", file=sys.stderr)
        return 0
    _table([(s.term, str(s.distance)) for s in found], ("term", "distance"), sys.stdout)
    return 0


def _info(args: argparse.Namespace) -> int:
    path = args.index
    try:
        size = os.path.getsize(path)
        with open(path, "rb") as file:
            is_file = container.is_container(file.read(len(container.MAGIC)))
            file.seek(0)
            if is_file and args.verify:
                metadata = container.verify_stream(file)
            elif is_file:
                metadata, end = container.read_metadata(file)
                container.check_length(size, end)
        if not is_file or args.verify:
            index = _load(path)
            if not is_file:
                metadata = index.metadata
    except OSError as error:
        raise CommandError(_os_message(error)) from None
    except TessarinError as error:
        raise CommandError(f"{path}: {error}") from None
    fields: dict[str, Any] = {
        "nodes": metadata.nodes,
        "terms": metadata.terms,
        "videos": metadata.videos,
        "identifier mode": metadata.id_mode,
        "size": size,
        "format": f"index file, version {container.FORMAT_VERSION}"
        if is_file
        else "bare saved index",
        "videos per node": metadata.video_top_n,
        "normalization": metadata.normalization,
        "built by": metadata.builder or None,
        "created": metadata.created or None,
        "checksum": ("verified" if args.verify else "not checked") if is_file else "none",
    }
    if args.json:
        json.dump({k.replace(" ", "_"): v for k, v in fields.items()}, sys.stdout)
        sys.stdout.write("\n")
        return 0
    rows = [(k, f"{v:,}" if isinstance(v, int) else v) for k, v in fields.items() if v is not None]
    rows[4] = ("size", f"{size:,} bytes")
    width = max(len(k) for k, _ in rows)
    for key, value in rows:
        print(f"{key:<{width}}  {value}")
    return 0


def _build(args: argparse.Namespace) -> int:
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
        raise CommandError(_os_message(error)) from None
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


def _serve(args: argparse.Namespace) -> int:
    try:
        from .server import Limits, ServeConfig, serve
    except ImportError as error:
        raise CommandError(
            f"serving needs the serve extra ({error}): pip install 'tessarin[serve]'"
        ) from None
    if args.index is not None:
        _load(args.index)  # a bad file fails here, not in every worker
    try:
        limits = Limits(
            max_query=args.max_query,
            max_dist=args.max_dist,
            max_limit=args.max_limit,
            search_limit=min(10, args.max_limit),
            suggest_limit=min(8, args.max_limit),
        )
        config = ServeConfig(
            index=None if args.index is None else os.path.abspath(args.index),
            limits=limits,
            threads=args.threads or os.cpu_count() or 1,
            reload_interval=args.reload_interval,
        )
    except ValueError as error:
        raise CommandError(str(error)) from None
    try:
        serve(config, args.host, args.port, args.workers, access_log=args.access_log)
    except OSError as error:
        raise CommandError(f"cannot serve on {args.host}:{args.port}: {error}") from None
    except KeyboardInterrupt:
        pass  # Ctrl-C: the server has shut down cleanly
    return 0


COMMANDS = {"build": _build, "search": _search, "terms": _terms, "info": _info, "serve": _serve}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        return COMMANDS[args.command](args)
    except CommandError as error:
        return _fail(str(error))
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except MemoryError:
        return _fail("out of memory")
    except Exception as error:  # noqa: BLE001 - one line, never a traceback
        return _fail(f"{type(error).__name__}: {error}")


def _fail(message: str, status: int = 1) -> int:
    print(f"{PROG}: {message}", file=sys.stderr)
    return status


def run() -> None:
    """Console-script entry point."""
    sys.exit(main())
