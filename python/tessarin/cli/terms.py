"""`tessarin terms`: the indexed terms close to what a user typed."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from .. import defaults
from .arguments import index_and_text, max_dist_option, positive, transpositions_option
from .common import check_text, emit, emit_json, load_index, note_sample, table
from .parser import SUMMARIES

__all__ = ["add_parser", "run"]


def add_parser(commands: Any) -> None:
    terms = commands.add_parser(
        "terms",
        help=SUMMARIES["terms"],
        description="List the indexed terms within --max-dist edits of TEXT, closest first.",
    )
    index_and_text(terms)
    max_dist_option(terms)
    terms.add_argument(
        "--limit",
        type=positive,
        default=defaults.TERMS_LIMIT,
        metavar="N",
        help=f"at most N terms (default {defaults.TERMS_LIMIT})",
    )
    transpositions_option(terms)
    terms.add_argument("--json", action="store_true", help="print JSON")


def run(args: argparse.Namespace) -> int:
    found = []
    if check_text(args):
        # Closest first, then the most searched: the limit cuts after that.
        found = load_index(args.index).suggest(
            args.text, args.max_dist, args.limit, transpositions=args.transpositions
        )
    if args.json:
        rows = [{"term": s.term, "distance": s.distance, "count": s.count} for s in found]
        emit_json(rows)
        return 0
    note_sample(args)
    if not found:
        if args.text.strip():
            print(f"no term within {args.max_dist} of {args.text!r}", file=sys.stderr)
        return 0
    emit(table([(s.term, str(s.distance)) for s in found], ("term", "distance")))
    return 0
