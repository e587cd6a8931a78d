"""What the commands share: the one-line failure, loading an index, the
checks of the typed text and the printing of tables."""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from collections.abc import Sequence
from typing import TextIO

from ..errors import TessarinError
from ..index import Index, UncheckedIndexWarning
from ..storage.file_info import looks_like_index
from ..storage.sample import load_sample_index

__all__ = [
    "PROG",
    "CommandError",
    "check_text",
    "load_index",
    "note_sample",
    "os_message",
    "table",
]

PROG = "tessarin"


class CommandError(Exception):
    """A failure to report in one line."""


def os_message(error: OSError) -> str:
    if error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    return str(error)


def load_index(path: str | None) -> Index:
    if path is None:
        return load_sample_index()
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", UncheckedIndexWarning)
            index = Index.load(path)
    except OSError as error:
        raise CommandError(os_message(error)) from None
    except TessarinError as error:
        raise CommandError(str(error)) from None
    if caught:
        print(f"note: {path} is a bare saved index, with no checksum", file=sys.stderr)
    return index


def check_text(args: argparse.Namespace) -> bool:
    """Refuses a forgotten TEXT; False for an empty one (nothing to match)."""
    if args.index is None and os.path.isfile(args.text) and looks_like_index(args.text):
        raise CommandError(
            f"{args.text} is an index file: give the text to {args.command} after it "
            f"({PROG} {args.command} {args.text} TEXT)"
        )
    if not args.text.strip():
        print("nothing typed: nothing matches an empty text", file=sys.stderr)
        return False
    return True


def table(rows: Sequence[tuple[str, str]], headers: tuple[str, str], out: TextIO) -> None:
    """Left-aligned first column, right-aligned second."""
    left = max([len(headers[0])] + [len(r[0]) for r in rows])
    right = max([len(headers[1])] + [len(r[1]) for r in rows])
    out.write(f"{headers[0]:<{left}}  {headers[1]:>{right}}\n")
    for a, b in rows:
        out.write(f"{a:<{left}}  {b:>{right}}\n")


def note_sample(args: argparse.Namespace) -> None:
    if args.index is None and sys.stderr.isatty():
        print("(the sample index of English words; give INDEX to search your own)", file=sys.stderr)
