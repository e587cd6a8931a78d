"""`tessarin convert`: an index file rewritten in another format version,
by default the current one (version 2, the mapped form used in place)."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from ..errors import TessarinError
from ..storage import container
from ..storage.files import check_writable, write_file
from .common import CommandError, load_index, os_message
from .parser import SUMMARIES

__all__ = ["add_parser", "run"]


def add_parser(commands: Any) -> None:
    convert = commands.add_parser(
        "convert",
        help=SUMMARIES["convert"],
        description="Read an index file (any version, or a bare saved index) and write the same "
        "index to OUT in format version 2, which loads in place, without decoding (or, with "
        "--version 1, in the format every earlier release reads). OUT is replaced by rename, "
        "whole or not at all, and may be INDEX itself.",
    )
    convert.add_argument("index", metavar="INDEX", help="index file to read")
    convert.add_argument("out", metavar="OUT", help="index file to write")
    convert.add_argument(
        "--version",
        type=int,
        choices=(container.SAVED_VERSION, container.MAPPED_VERSION),
        default=container.FORMAT_VERSION,
        help="format version to write (default %(default)s)",
    )
    convert.add_argument("-q", "--quiet", action="store_true", help="print no summary")


def run(args: argparse.Namespace) -> int:
    try:
        check_writable(args.out)
    except TessarinError as error:
        raise CommandError(str(error)) from None
    index = load_index(args.index)
    try:
        written = write_file(os.fspath(args.out), index._file_chunks(args.version))
    except OSError as error:
        raise CommandError(os_message(error)) from None
    if not args.quiet:
        print(
            f"{args.out}: {index.term_count:,} terms, {written:,} bytes, "
            f"format version {args.version}",
            file=sys.stderr,
        )
    return 0
