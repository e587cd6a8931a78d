"""`tessarin search`: the videos for what a user typed."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from .. import defaults
from .arguments import (
    fraction,
    index_and_text,
    max_dist_option,
    positive,
    transpositions_option,
)
from .common import check_text, emit, emit_json, load_index, note_sample, table
from .parser import SUMMARIES

__all__ = ["add_parser", "run"]


def add_parser(commands: Any) -> None:
    search = commands.add_parser(
        "search",
        help=SUMMARIES["search"],
        description="Rank the videos that fit TEXT, whole or partial, possibly misspelt.",
    )
    index_and_text(search)
    max_dist_option(search)
    search.add_argument(
        "--limit",
        type=positive,
        default=defaults.SEARCH_LIMIT,
        metavar="N",
        help=f"at most N videos (default {defaults.SEARCH_LIMIT})",
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
        type=fraction,
        default=defaults.MIN_SCORE,
        metavar="X",
        help=f"drop videos scoring below X, from 0 to 1 (default {defaults.MIN_SCORE})",
    )
    transpositions_option(search)
    search.add_argument("--json", action="store_true", help="print JSON")


def run(args: argparse.Namespace) -> int:
    results = []
    if check_text(args):
        results = load_index(args.index).search(
            args.text,
            max_dist=args.max_dist,
            limit=args.limit,
            prefix=args.prefix,
            min_score=args.min_score,
            transpositions=args.transpositions,
        )
    if args.json:
        emit_json([{"video": video, "score": score} for video, score in results])
        return 0
    note_sample(args)
    if not results:
        if args.text.strip():
            print(f"no video matches {args.text!r}", file=sys.stderr)
        return 0
    emit(table([(video, f"{score:.4f}") for video, score in results], ("video", "score")))
    return 0
