"""The `tessarin` command line: build, search, terms, info.

Every failure the user can cause (a missing or corrupt file, a bad record,
an option out of range) ends with one line on standard error, prefixed
"tessarin: ", and exit status 1; usage errors are argparse's own (status 2).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
import tempfile
from collections.abc import Iterator, Sequence
from typing import TextIO

from _tessarin import PrefixSearch

from .builder import DEFAULT_VIDEO_TOP_N, U32_MAX, IndexBuilder
from .progress import ProgressBar
from .records import FORMATS, Record, RecordError, RecordReader
from .sample import load_sample
from .saved_format import summarize

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


_u32.__name__ = "integer in 0..4294967295"
_natural.__name__ = "non-negative integer"


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
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    build = commands.add_parser(
        "build",
        help="build an index from (term, video, count) records",
        description="Build an index from records and save it. RECORDS is a CSV or TSV file "
        "(optionally gzipped), a Parquet file (with pyarrow), or - for standard input: "
        "one record a line, term, video identifier (integer or UUID) and count; a line "
        "of two fields counts 1; a header line is recognised.",
    )
    build.add_argument("records", metavar="RECORDS", help="records file, or - for standard input")
    build.add_argument(
        "out", metavar="OUT", help="where to save the index, or - for standard output"
    )
    build.add_argument("--format", choices=FORMATS, help="format of RECORDS (default: guessed)")
    build.add_argument(
        "--top-n",
        type=_natural,
        default=DEFAULT_VIDEO_TOP_N,
        metavar="N",
        help=f"videos each trie node keeps (default {DEFAULT_VIDEO_TOP_N})",
    )
    build.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="show a progress bar on standard error (default: when it is a terminal)",
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
        "--limit", type=_natural, default=10, metavar="N", help="at most N videos (default 10)"
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
        "--limit", type=_natural, default=20, metavar="N", help="at most N terms (default 20)"
    )
    terms.add_argument("--json", action="store_true", help="print JSON")

    info = commands.add_parser(
        "info",
        help="describe a saved index",
        description="Print the nodes, terms, videos, identifier mode and size of a saved index.",
    )
    info.add_argument("index", metavar="INDEX", help="saved index file")
    info.add_argument("--json", action="store_true", help="print JSON")
    return parser


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


def _read_index_file(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as error:
        raise CommandError(_os_message(error)) from None


def _load(path: str | None) -> PrefixSearch:
    if path is None:
        return load_sample()
    return _from_bytes(path, _read_index_file(path))


def _from_bytes(path: str, data: bytes) -> PrefixSearch:
    try:
        return PrefixSearch.from_bytes(data)
    except ValueError as error:
        raise CommandError(f"{path}: not a saved tessarin index ({error})") from None


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
    index = _load(args.index)
    results = index.fuzzy_match_video(
        args.text,
        max_dist=args.max_dist,
        limit=args.limit,
        include_prefix_nodes=args.prefix,
        min_score=args.min_score,
    )
    if args.json:
        json.dump([{"video": video, "score": score} for video, score in results], sys.stdout)
        sys.stdout.write("\n")
        return 0
    _note_sample(args)
    if not results:
        print(f"no video matches {args.text!r}", file=sys.stderr)
        return 0
    _table([(video, f"{score:.4f}") for video, score in results], ("video", "score"), sys.stdout)
    return 0


def _terms(args: argparse.Namespace) -> int:
    index = _load(args.index)
    # All matches, closest first, then cut: fuzzy_match's own limit would
    # keep the first ones in trie order instead.
    found = index.fuzzy_match(args.text, args.max_dist)
    matches = sorted((distance, term) for term, _, distance in found)[: args.limit]
    if args.json:
        json.dump([{"term": t, "distance": d} for d, t in matches], sys.stdout, ensure_ascii=False)
        sys.stdout.write("\n")
        return 0
    _note_sample(args)
    if not matches:
        print(f"no term within {args.max_dist} of {args.text!r}", file=sys.stderr)
        return 0
    _table([(t, str(d)) for d, t in matches], ("term", "distance"), sys.stdout)
    return 0


def _info(args: argparse.Namespace) -> int:
    data = _read_index_file(args.index)
    _from_bytes(args.index, data)  # rejected as search and terms reject it
    try:
        summary = summarize(data)
    except ValueError as error:
        raise CommandError(f"{args.index}: {error}") from None
    fields = {
        "nodes": summary.nodes,
        "terms": summary.terms,
        "videos": summary.videos,
        "identifier mode": summary.id_mode,
        "size": summary.size,
    }
    if args.json:
        json.dump({k.replace(" ", "_"): v for k, v in fields.items()}, sys.stdout)
        sys.stdout.write("\n")
        return 0
    rows = [(k, f"{v:,}" if isinstance(v, int) else v) for k, v in fields.items()]
    rows[-1] = ("size", f"{summary.size:,} bytes")
    width = max(len(k) for k, _ in rows)
    for key, value in rows:
        print(f"{key:<{width}}  {value}")
    if summary.size < len(data):
        print(f"(and {len(data) - summary.size:,} bytes after the index, which loading ignores)")
    return 0


def _with_progress(reader: RecordReader, bar: ProgressBar) -> Iterator[Record]:
    records = 0
    for record in reader:
        yield record
        records += 1
        if not records & 0x3FFF:
            done, total = reader.progress()
            bar.update(done, total, records)
    done, total = reader.progress()
    bar.update(done, total, records, force=True)


def _build(args: argparse.Namespace) -> int:
    show = args.progress if args.progress is not None else sys.stderr.isatty()
    try:
        reader = RecordReader(args.records, args.format)
    except OSError as error:
        raise CommandError(_os_message(error)) from None
    except ValueError as error:
        raise CommandError(str(error)) from None
    builder = IndexBuilder()
    with reader:
        bar = None
        records: Iterator[Record] = iter(reader)
        if show:
            unit = "rows" if reader.format == "parquet" else "bytes"
            bar = ProgressBar(sys.stderr, unit, delay=0.5 if args.progress is None else 0.0)
            records = _with_progress(reader, bar)
        try:
            builder.add_many(records)
        except RecordError as error:
            raise CommandError(str(error)) from None
        except (TypeError, ValueError) as error:
            # The builder numbers records; the line number says more here.
            message = re.sub(r"^record \d+ ", "", str(error))
            raise CommandError(f"{reader.where()}: {message}") from None
        finally:
            if bar is not None:
                bar.finish()
    if not builder.records:
        raise CommandError(f"{reader.name}: no records")
    if bar is not None:
        print(f"building the index of {builder.terms:,} terms...", file=sys.stderr)
    saved = builder.build(video_top_n=args.top_n).to_bytes()
    _write(args.out, saved)
    if not args.quiet:
        where = "standard output" if args.out == "-" else args.out
        print(
            f"{where}: {builder.records:,} records, {builder.terms:,} terms, "
            f"{builder.videos:,} videos, {len(saved):,} bytes",
            file=sys.stderr,
        )
    return 0


def _write(path: str, data: bytes) -> None:
    """Write all or nothing: a failed build never leaves a partial file."""
    if path == "-":
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(prefix=".tessarin-", dir=directory)
        try:
            with os.fdopen(fd, "wb") as out:
                out.write(data)
            os.chmod(temporary, 0o666 & ~_umask())
            os.replace(temporary, path)
        except BaseException:
            os.unlink(temporary)
            raise
    except OSError as error:
        raise CommandError(f"{path}: {error.strerror or error}") from None


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


COMMANDS = {"build": _build, "search": _search, "terms": _terms, "info": _info}


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
    except BaseException as error:
        # The extension's internal failure (an index whose arrays contradict
        # each other) derives from BaseException; nothing else is caught here.
        if type(error).__name__ != "PanicException":
            raise
        return _fail(f"the index is inconsistent: {error}")


def _fail(message: str, status: int = 1) -> int:
    print(f"{PROG}: {message}", file=sys.stderr)
    return status


def run() -> None:
    """Console-script entry point."""
    sys.exit(main())
