"""The `tessarin` argument parser: one sub-command per module of this package.

Only the module of the command being run is imported (`make_parser`): the
others (the builder's readers, say) cost a command nothing. Each command's
one-line help is here, for the list of commands."""

from __future__ import annotations

import argparse
import importlib

from .._version import __version__
from .common import PROG

__all__ = ["SUMMARIES", "make_parser"]

#: The commands, in the order of their list, with the line each is given.
SUMMARIES = {
    "build": "build an index from records or raw search events",
    "aggregate": "sum raw search events by term, video and day, into a Parquet file",
    "search": "rank the videos for what a user typed",
    "terms": "list the indexed terms close to TEXT",
    "complete": "list the indexed terms that complete TEXT",
    "info": "describe a saved index",
    "convert": "rewrite an index file in the current format",
    "serve": "serve an index over HTTP: a JSON API and a search page",
}


def make_parser(command: str | None = None) -> argparse.ArgumentParser:
    """The parser of every command's options, or of `command`'s alone (the
    others named, with their help line, their modules not imported)."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Typo-tolerant search over search terms and the videos they lead to.",
        epilog="Without INDEX, search, terms and complete use a small sample index of English "
        "words.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, summary in SUMMARIES.items():
        if command is None or name == command:
            importlib.import_module(f"{__package__}.{name}").add_parser(commands)
        else:
            commands.add_parser(name, help=summary)
    return parser
