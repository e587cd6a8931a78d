"""What the commands share: the one-line failure, loading an index, the
checks of the typed text and the printing of tables."""

from __future__ import annotations

import argparse
import json
import os
import sys
import warnings
from collections.abc import Sequence

from ..errors import TessarinError
from ..index import Index, UncheckedIndexWarning
from ..storage.file_info import looks_like_index
from ..storage.files import write_all
from ..storage.sample import load_sample_index

__all__ = [
    "PROG",
    "CommandError",
    "check_text",
    "emit",
    "emit_json",
    "load_index",
    "note_sample",
    "os_message",
    "shown",
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


def check_text(args: argparse.Namespace, text: str | None = None) -> bool:
    """Refuses a forgotten TEXT; False for an empty one (nothing to match).
    `text`: the one to check, if not `args.text`."""
    text = args.text if text is None else text
    if args.index is None and os.path.isfile(text) and looks_like_index(text):
        raise CommandError(
            f"{text} is an index file: give the text to {args.command} after it "
            f"({PROG} {args.command} {text} TEXT)"
        )
    if not text.strip():
        print("nothing typed: nothing matches an empty text", file=sys.stderr)
        return False
    return True


def shown(text: str) -> str:
    """Text from a file as it is printed: characters that are not printable
    (controls, which a terminal would act on, and lone surrogates) escaped."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else ascii(c)[1:-1] for c in text)


def emit(text: str) -> None:
    """Writes a command's output to standard output, every byte checked
    (`print` would drop what an unbuffered stream's short write leaves),
    in the stream's encoding with what it cannot take escaped. A failure
    to write (a full disk) is the command's, in one line; a closed pipe
    stays a BrokenPipeError (`| head`: stopped quietly)."""
    out = sys.stdout
    encoding = getattr(out, "encoding", None) or "utf-8"
    data = text.encode(encoding, "backslashreplace")
    try:
        out.flush()
        try:
            fd = out.fileno()
        except (AttributeError, OSError):  # not a file: a test's capture
            out.write(data.decode(encoding))
            return
        write_all(fd, [data])
    except BrokenPipeError:
        raise
    except OSError as error:
        raise CommandError(f"standard output: {error.strerror}") from None


def emit_json(value: object) -> None:
    """JSON on standard output, ASCII unless it takes UTF-8."""
    encoding = (getattr(sys.stdout, "encoding", None) or "").lower().replace("-", "")
    emit(json.dumps(value, ensure_ascii=encoding != "utf8") + "\n")


def table(rows: Sequence[Sequence[str]], headers: Sequence[str]) -> str:
    """Left-aligned first column, right-aligned others; text from the index
    is `shown`."""
    lines = [list(headers), *([shown(cell) for cell in row] for row in rows)]
    widths = [max(len(line[k]) for line in lines) for k in range(len(headers))]
    return "".join(
        "  ".join(
            f"{cell:<{width}}" if k == 0 else f"{cell:>{width}}"
            for k, (cell, width) in enumerate(zip(line, widths, strict=True))
        )
        + "\n"
        for line in lines
    )


def note_sample(args: argparse.Namespace) -> None:
    if args.index is None and sys.stderr.isatty():
        print("(the sample index of English words; give INDEX to search your own)", file=sys.stderr)
