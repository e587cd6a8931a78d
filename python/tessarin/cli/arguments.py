"""Option types and options shared by several commands.

argparse turns an option type's ValueError into a usage error, naming the
type by its function's name.
"""

from __future__ import annotations

import argparse
import math

from .. import defaults

__all__ = [
    "distance",
    "distance_or_auto",
    "fraction",
    "index_and_text",
    "max_dist_option",
    "natural",
    "number",
    "port",
    "positive",
    "transpositions_option",
]


def natural(text: str, maximum: int = 2**64 - 1) -> int:
    value = int(text)
    if not 0 <= value <= maximum:
        raise ValueError(text)
    return value


def distance(text: str) -> int:
    return natural(text, defaults.MAX_DIST_CAP)


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(text)
    return value


def distance_or_auto(text: str) -> int | str:
    return defaults.AUTO if text == defaults.AUTO else distance(text)


natural.__name__ = "non-negative integer"
distance.__name__ = f"distance (an integer in 0..{defaults.MAX_DIST_CAP})"
distance_or_auto.__name__ = f"distance (an integer in 0..{defaults.MAX_DIST_CAP}, or auto)"
positive.__name__ = "integer of 1 or more"


def port(text: str) -> int:
    return natural(text, 65535)


port.__name__ = "port number"


def number(text: str) -> float:
    value = float(text)
    if value != value:
        raise ValueError(text)
    return value


def fraction(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and 0 <= value <= 1):
        raise ValueError(text)
    return value


number.__name__ = "number"
fraction.__name__ = "number from 0 to 1"


def index_and_text(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "index", metavar="INDEX", nargs="?", help="saved index file (default: the sample)"
    )
    parser.add_argument("text", metavar="TEXT", help="what the user typed")


def max_dist_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--max-dist",
        type=distance,
        default=defaults.MAX_DIST,
        metavar="D",
        help="edits (insertions, deletions, substitutions) allowed, at most "
        f"{defaults.MAX_DIST_CAP} (default {defaults.MAX_DIST})",
    )


def transpositions_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--transpositions",
        action="store_true",
        help="count a swap of two neighbouring characters as one edit, not two",
    )
