"""`tessarin complete`: the indexed terms that complete what is being typed."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from .. import defaults
from .arguments import distance_or_auto, natural, positive, transpositions_option
from .common import (
    CommandError,
    check_text,
    emit,
    emit_json,
    load_index,
    note_sample,
    shown,
    table,
)
from .parser import SUMMARIES

__all__ = ["add_parser", "run"]


def add_parser(commands: Any) -> None:
    complete = commands.add_parser(
        "complete",
        help=SUMMARIES["complete"],
        description="List the indexed terms that complete each TEXT, possibly misspelt: those "
        "with a prefix within --max-dist edits of it; closest first, then the most searched.",
        epilog="With one TEXT and no INDEX, the sample index; with two or more, the first names "
        "INDEX.",
    )
    complete.add_argument(
        "index", metavar="INDEX", nargs="?", help="saved index file (default: the sample)"
    )
    complete.add_argument("texts", metavar="TEXT", nargs="+", help="what the user is typing")
    complete.add_argument(
        "--max-dist",
        type=distance_or_auto,
        default=defaults.AUTO,
        metavar="D",
        help=f"edits allowed between TEXT and a prefix of the term, at most "
        f"{defaults.MAX_DIST_CAP}; auto (the default): none up to 2 characters, one up to 5, "
        "then two",
    )
    complete.add_argument(
        "--limit",
        type=positive,
        default=defaults.COMPLETE_LIMIT,
        metavar="N",
        help=f"at most N terms for each TEXT (default {defaults.COMPLETE_LIMIT})",
    )
    complete.add_argument(
        "--exact-prefix",
        type=natural,
        default=0,
        metavar="N",
        help="the first N characters of TEXT must begin the term as they are (default 0)",
    )
    transpositions_option(complete)
    complete.add_argument("--json", action="store_true", help="print JSON, one line for each TEXT")


def run(args: argparse.Namespace) -> int:
    if args.index is not None and not os.path.exists(args.index):
        raise CommandError(
            f"{args.index}: No such file or directory (with two or more TEXTs, the first "
            "names INDEX)"
        )
    typed = [text for text in args.texts if check_text(args, text)]
    found: dict[str, list[Any]] = {text: [] for text in args.texts}
    if typed:
        answers = load_index(args.index).complete_many(
            typed,
            args.max_dist,
            args.limit,
            exact_prefix=args.exact_prefix,
            transpositions=args.transpositions,
        )
        found.update(zip(typed, answers, strict=True))
    if args.json:
        for text in args.texts:
            rows = [{"term": c.term, "distance": c.distance, "count": c.count} for c in found[text]]
            emit_json({"text": text, "completions": rows})
        return 0
    note_sample(args)
    tables = []
    for text in args.texts:
        if found[text]:
            cells = [(c.term, str(c.distance), str(c.count)) for c in found[text]]
            heading = f"{shown(text)}\n" if len(args.texts) > 1 else ""
            tables.append(heading + table(cells, ("term", "distance", "count")))
        elif text.strip():
            print(f"nothing completes {text!r} (max_dist {args.max_dist})", file=sys.stderr)
    emit("\n".join(tables))
    return 0
