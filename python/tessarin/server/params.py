"""Reading a request's query string, strictly, by declared parameters.

Starlette's own query parsing replaces bytes that are not UTF-8 and keeps
malformed percent escapes as they are; a search box should instead say that
the request is wrong. Here, a request is refused with 400 (`BadRequest`) when
its query string cannot be read (not UTF-8, a bad escape, a parameter given
twice or unknown, a number that is not one), with 414 when it is too long,
and with 422 (`OutOfBounds`) when a value is read but lies outside what the
server allows (`Limits`).

Each parameter is declared once (`Text`, `Integer`, `Distance`, `Fraction`,
`Choice`, made by `tessarin.server.api`) with its default and bounds: the
same object reads the request and describes itself in the OpenAPI document.
"""

from __future__ import annotations

import functools
import math
import re
from collections.abc import Mapping, Sequence
from typing import Any, Generic, TypeVar, cast
from urllib.parse import unquote

from ..defaults import AUTO
from .errors import BadRequest, OutOfBounds, QueryStringTooLong

__all__ = [
    "MAX_QUERY_STRING",
    "Choice",
    "Distance",
    "Fraction",
    "Integer",
    "Parameter",
    "Params",
    "Text",
    "read_params",
]

#: Longest query string read, in bytes: room for the longest allowed query
#: percent-encoded (4 bytes a character, 3 characters a byte) and the rest.
MAX_QUERY_STRING = 8192

_BAD_ESCAPE = re.compile(rb"%(?![0-9A-Fa-f]{2})")
_RAW = re.compile(rb"[^\x21-\x7e]")  # anything a client should have escaped
_INTEGER = re.compile(r"[+-]?[0-9]+")

T = TypeVar("T")


class Parameter(Generic[T]):
    """A parameter of the query string: how it is read and described."""

    #: Whether a request must give it.
    required = False
    #: Whether a request may give it more than once (`read_many`).
    repeated = False

    def __init__(self, name: str, about: str) -> None:
        self.name = name
        self.about = about

    def read(self, text: str | None) -> T:
        """The value of the parameter given as `text` (None: not given)."""
        raise NotImplementedError

    def read_many(self, texts: list[str]) -> T:
        """The value of a repeated parameter given as `texts` (maybe none)."""
        raise NotImplementedError

    def schema(self) -> dict[str, Any]:
        raise NotImplementedError

    def openapi(self) -> dict[str, Any]:
        """The parameter's entry in the OpenAPI document."""
        return {
            "name": self.name,
            "in": "query",
            "required": self.required,
            "schema": self.schema(),
            "description": self.about,
        }


class Text(Parameter[str]):
    """Text of at most `max_length` characters; required (empty is a value)."""

    required = True

    def __init__(self, name: str, max_length: int, about: str) -> None:
        super().__init__(name, about)
        self.max_length = max_length

    def read(self, text: str | None) -> str:
        if text is None:
            raise BadRequest(f"missing parameter {self.name!r}")
        if len(text) > self.max_length:
            raise OutOfBounds(
                f"{self.name} is {len(text)} characters long; at most {self.max_length} are allowed"
            )
        return text

    def schema(self) -> dict[str, Any]:
        return {"type": "string", "maxLength": self.max_length}


class Integer(Parameter[int]):
    """An integer from `low` to `high`; empty or absent: `default`."""

    def __init__(self, name: str, default: int, low: int, high: int, about: str) -> None:
        super().__init__(name, about)
        self.default, self.low, self.high = default, low, high

    def read(self, text: str | None) -> int:
        if not text:
            return self.default
        if not _INTEGER.fullmatch(text):
            raise BadRequest(f"{self.name} must be an integer, not {text[:20]!r}")
        if len(text) > 20:  # far out of any bound; not worth converting
            raise OutOfBounds(f"{self.name} must be between {self.low} and {self.high}")
        value = int(text)
        if not self.low <= value <= self.high:
            raise OutOfBounds(
                f"{self.name} must be between {self.low} and {self.high}, not {value}"
            )
        return value

    def schema(self) -> dict[str, Any]:
        return {
            "type": "integer",
            "minimum": self.low,
            "maximum": self.high,
            "default": self.default,
        }


class Distance(Parameter[int | str]):
    """An integer from 0 to `high`, or `auto` (in any case), read as "auto";
    empty or absent: `default`."""

    def __init__(self, name: str, default: int | str, high: int, about: str) -> None:
        super().__init__(name, about)
        self.default = default
        self._integer = Integer(name, 0, 0, high, about)

    def read(self, text: str | None) -> int | str:
        if not text:
            return self.default
        if text.lower() == AUTO:
            return AUTO
        if not _INTEGER.fullmatch(text):
            raise BadRequest(f"{self.name} must be an integer or {AUTO!r}, not {text[:20]!r}")
        return self._integer.read(text)

    def schema(self) -> dict[str, Any]:
        return {
            "oneOf": [
                {"type": "integer", "minimum": 0, "maximum": self._integer.high},
                {"type": "string", "enum": [AUTO]},
            ],
            "default": self.default,
        }


class Fraction(Parameter[float]):
    """A number from 0 to 1; empty or absent: `default`."""

    def __init__(self, name: str, default: float, about: str) -> None:
        super().__init__(name, about)
        self.default = default

    def read(self, text: str | None) -> float:
        if not text:
            return self.default
        try:
            value = float(text)
        except ValueError:
            raise BadRequest(f"{self.name} must be a number, not {text[:20]!r}") from None
        if not math.isfinite(value) or not 0 <= value <= 1:
            raise OutOfBounds(f"{self.name} must be between 0 and 1, not {text[:20]}")
        return value

    def schema(self) -> dict[str, Any]:
        return {"type": "number", "minimum": 0, "maximum": 1, "default": self.default}


class Choice(Parameter[T]):
    """One of the names of `choices` (in any case), standing for its value;
    empty or absent: `default`. `shown` are the names the OpenAPI document
    lists (others may be accepted too)."""

    def __init__(
        self, name: str, choices: Mapping[str, T], default: str, shown: Sequence[str], about: str
    ) -> None:
        super().__init__(name, about)
        self.choices, self.default, self.shown = dict(choices), default, tuple(shown)
        # Of the names standing for a value, the first.
        self._names = {value: name for name, value in reversed(self.choices.items())}

    def read(self, text: str | None) -> T:
        if not text:
            return self.choices[self.default]
        if text.lower() not in self.choices:
            raise BadRequest(
                f"{self.name} must be one of {', '.join(self.choices)}, not {text[:20]!r}"
            )
        return self.choices[text.lower()]

    def name_of(self, value: T) -> str:
        """The first name standing for `value`, as an answer shows it."""
        return self._names[value]

    def schema(self) -> dict[str, Any]:
        return {"type": "string", "enum": list(self.shown), "default": self.default}


class Params:
    """The values of a request's parameters, read by their declarations."""

    def __init__(self, values: dict[str, object]) -> None:
        self._values = values

    def __getitem__(self, parameter: Parameter[T]) -> T:
        return cast(T, self._values[parameter.name])


def query_pairs(text: str) -> list[tuple[str, str]]:
    """The (name, value) pairs of a query string as
    `parse_qsl(text, keep_blank_values=True, errors="strict")` reads them,
    several times faster (it runs for every request)."""
    return [
        (_unescape(name), _unescape(value))
        for name, _, value in (field.partition("=") for field in text.split("&") if field)
    ]


def _unescape(text: str) -> str:
    if "+" in text:
        text = text.replace("+", " ")
    return unquote(text, errors="strict") if "%" in text else text


@functools.lru_cache(maxsize=64)
def _names(parameters: Sequence[Parameter[Any]]) -> tuple[frozenset[str], frozenset[str]]:
    """The names of `parameters`, and of those that may be repeated (the
    same few sequences, those of an `Api`, come with every request)."""
    return (
        frozenset(parameter.name for parameter in parameters),
        frozenset(parameter.name for parameter in parameters if parameter.repeated),
    )


def read_params(query_string: bytes, parameters: Sequence[Parameter[Any]]) -> Params:
    """The parameters of a query string, each given at most once, read in
    the order declared (the first that fails refuses the request)."""
    if len(query_string) > MAX_QUERY_STRING:
        raise QueryStringTooLong(f"the query string is longer than {MAX_QUERY_STRING} bytes")
    if b"%" in query_string and _BAD_ESCAPE.search(query_string):
        raise BadRequest("malformed percent-encoding in the query string")
    # Bytes sent unescaped are read as if escaped, so that UTF-8 decides.
    if _RAW.search(query_string):
        query_string = _RAW.sub(lambda m: b"%%%02X" % m[0][0], query_string)
    try:
        pairs = query_pairs(query_string.decode("ascii"))
    except UnicodeDecodeError:
        raise BadRequest("the query string is not valid UTF-8") from None
    names, repeated = _names(parameters)
    given: dict[str, str] = {}
    many: dict[str, list[str]] = {}
    for name, value in pairs:
        if name not in names:
            raise BadRequest(f"unknown parameter {name!r} (known: {', '.join(sorted(names))})")
        if name in repeated:
            many.setdefault(name, []).append(value)
            continue
        if name in given:
            raise BadRequest(f"parameter {name!r} given more than once")
        given[name] = value
    return Params(
        {
            p.name: p.read_many(many.get(p.name, [])) if p.repeated else p.read(given.get(p.name))
            for p in parameters
        }
    )
