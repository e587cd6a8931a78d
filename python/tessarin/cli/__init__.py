"""The `tessarin` command line: build, aggregate, search, terms, complete, info,
convert, serve.

Every failure the user can cause (a missing or corrupt file, a bad record,
an option out of range) ends with one line on standard error, prefixed
"tessarin: ", and exit status 1; usage errors are argparse's own (status 2).

`parser` makes the argument parser; each command is a module of its name
(`build`, `aggregate`, `search`, `terms`, `complete`, `info`, `convert`,
`serve`) with its options and its run, imported only when it runs (or for
the help of every command).
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from collections.abc import Callable, Sequence

from .common import PROG, CommandError, os_message
from .parser import SUMMARIES, make_parser

__all__ = ["main", "run"]


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    named = argv[0] if argv and argv[0] in SUMMARIES else None
    args = make_parser(named).parse_args(argv)
    command: Callable[[argparse.Namespace], int] = importlib.import_module(
        f"{__name__}.{args.command}"
    ).run
    try:
        return command(args)
    except CommandError as error:
        return _fail(str(error))
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    except BrokenPipeError:
        return 1  # the reader of a listing went away (`| head`): stop quietly
    except MemoryError:
        return _fail("out of memory")
    except OSError as error:
        return _fail(os_message(error))
    except Exception as error:  # noqa: BLE001 - one line, never a traceback
        return _fail(f"{type(error).__name__}: {error}")
    finally:
        _settle_stdout()


def _settle_stdout() -> None:
    """If standard output cannot take what is left for it (after a failure),
    sends that to the null device instead: the interpreter's last flush
    would fail again, with a message of its own and status 120."""
    try:
        sys.stdout.flush()
    except OSError:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


def _fail(message: str, status: int = 1) -> int:
    print(f"{PROG}: {message}", file=sys.stderr)
    return status


def run() -> None:
    """Console-script entry point."""
    sys.exit(main())
