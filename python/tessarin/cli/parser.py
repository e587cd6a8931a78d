"""The `tessarin` argument parser: one sub-command per module of this package."""

from __future__ import annotations

import argparse

from .._version import __version__
from . import aggregate, build, complete, convert, info, search, serve, terms
from .common import PROG

__all__ = ["make_parser"]


def make_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Typo-tolerant search over search terms and the videos they lead to.",
        epilog="Without INDEX, search, terms and complete use a small sample index of English "
        "words.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in (build, aggregate, search, terms, complete, info, convert, serve):
        command.add_parser(commands)
    return parser
