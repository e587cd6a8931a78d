"""Reading a request's query string, strictly.

Starlette's own query parsing replaces bytes that are not UTF-8 and keeps
malformed percent escapes as they are; a search box should instead say that
the request is wrong. Here, a request is refused with 400 when its query
string cannot be read (not UTF-8, a bad escape, a parameter given twice or
unknown, a number that is not one) and with 422 when a value is read but
lies outside what the server allows (`Limits`).
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable
from urllib.parse import parse_qsl

__all__ = ["MAX_QUERY_STRING", "BadRequest", "Params", "read_params"]

#: Longest query string read, in bytes: room for the longest allowed query
#: percent-encoded (4 bytes a character, 3 characters a byte) and the rest.
MAX_QUERY_STRING = 8192

_BAD_ESCAPE = re.compile(rb"%(?![0-9A-Fa-f]{2})")
_RAW = re.compile(rb"[^\x21-\x7e]")  # anything a client should have escaped
_INTEGER = re.compile(r"[+-]?[0-9]+")


class BadRequest(Exception):
    """A request to refuse: its status (400, 414 or 422) and why."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


def read_params(query_string: bytes, known: Iterable[str]) -> Params:
    """The parameters of a query string, each given at most once."""
    if len(query_string) > MAX_QUERY_STRING:
        raise BadRequest(414, f"the query string is longer than {MAX_QUERY_STRING} bytes")
    if _BAD_ESCAPE.search(query_string):
        raise BadRequest(400, "malformed percent-encoding in the query string")
    # Bytes sent unescaped are read as if escaped, so that UTF-8 decides.
    escaped = _RAW.sub(lambda m: b"%%%02X" % m[0][0], query_string).decode("ascii")
    try:
        pairs = parse_qsl(escaped, keep_blank_values=True, encoding="utf-8", errors="strict")
    except UnicodeDecodeError:
        raise BadRequest(400, "the query string is not valid UTF-8") from None
    names = set(known)
    values: dict[str, str] = {}
    for name, value in pairs:
        if name not in names:
            raise BadRequest(400, f"unknown parameter {name!r} (known: {', '.join(sorted(names))})")
        if name in values:
            raise BadRequest(400, f"parameter {name!r} given more than once")
        values[name] = value
    return Params(values)


class Params:
    """Typed access to the parameters; an empty value counts as absent."""

    def __init__(self, values: dict[str, str]) -> None:
        self._values = values

    def text(self, name: str, max_length: int) -> str:
        if name not in self._values:
            raise BadRequest(400, f"missing parameter {name!r}")
        value = self._values[name]
        if len(value) > max_length:
            raise BadRequest(
                422, f"{name} is {len(value)} characters long; at most {max_length} are allowed"
            )
        return value

    def integer(self, name: str, default: int, low: int, high: int) -> int:
        text = self._values.get(name, "")
        if not text:
            return default
        if not _INTEGER.fullmatch(text) or len(text) > 20:
            if _INTEGER.fullmatch(text):
                raise BadRequest(422, f"{name} must be between {low} and {high}")
            raise BadRequest(400, f"{name} must be an integer, not {text[:20]!r}")
        value = int(text)
        if not low <= value <= high:
            raise BadRequest(422, f"{name} must be between {low} and {high}, not {value}")
        return value

    def fraction(self, name: str) -> float | None:
        """A number from 0 to 1, or None."""
        text = self._values.get(name, "")
        if not text:
            return None
        try:
            value = float(text)
        except ValueError:
            raise BadRequest(400, f"{name} must be a number, not {text[:20]!r}") from None
        if not math.isfinite(value) or not 0 <= value <= 1:
            raise BadRequest(422, f"{name} must be between 0 and 1, not {text[:20]}")
        return value

    def choice(self, name: str, choices: dict[str, bool | None]) -> bool | None:
        text = self._values.get(name, "")
        if not text:
            return None
        if text.lower() not in choices:
            raise BadRequest(400, f"{name} must be one of {', '.join(choices)}, not {text[:20]!r}")
        return choices[text.lower()]
