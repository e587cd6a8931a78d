"""Option types and options shared by several commands.

argparse turns an option type's ValueError into a usage error.
"""

from __future__ import annotations

import argparse

from ..building.records import U32_MAX

__all__ = ["index_and_text", "max_dist_option", "natural", "number", "port", "positive", "u32"]


def natural(text: str, maximum: int = 2**64 - 1) -> int:
    value = int(text)
    if not 0 <= value <= maximum:
        raise ValueError(text)
    return value


def u32(text: str) -> int:
    return natural(text, U32_MAX)


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(text)
    return value


u32.__name__ = "integer in 0..4294967295"
natural.__name__ = "non-negative integer"
positive.__name__ = "integer of 1 or more"


def port(text: str) -> int:
    return natural(text, 65535)


port.__name__ = "port number"


def number(text: str) -> float:
    value = float(text)
    if value != value:
        raise ValueError(text)
    return value


number.__name__ = "number"


def index_and_text(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "index", metavar="INDEX", nargs="?", help="saved index file (default: the sample)"
    )
    parser.add_argument("text", metavar="TEXT", help="what the user typed")


def max_dist_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--max-dist",
        type=u32,
        default=1,
        metavar="D",
        help="edits (insertions, deletions, substitutions) allowed (default 1)",
    )
