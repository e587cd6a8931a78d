"""The checks of the package's arguments, one per kind, each called before
any work: TypeError for a value of the wrong type (a bool or a str where a
number is expected, a float where an integer is, a str where a list of
queries is), ValueError for one out of range (nan and the infinities
included), each message naming the argument.

Counts that only bound work (`limit`, `threads`, `video_top_n`) have no
upper bound: a value past what the engine can count means "all of them".
"""

from __future__ import annotations

import numbers
import operator
import os
from typing import cast

from .defaults import AUTO, MAX_DIST_CAP

__all__ = [
    "exact_prefix",
    "flag",
    "fraction",
    "integer",
    "limit",
    "max_dist",
    "max_dist_or_auto",
    "prefix",
    "text",
    "texts",
    "threads",
    "video_top_n",
]

#: The engine counts in 64 bits; any count past it is as good as unbounded.
_UNBOUNDED = 2**64 - 1
#: An index holds at most this many videos (positions are 32-bit).
_MOST_VIDEOS = 2**32 - 1


def _shown(number: int) -> str:
    # str() of a number of thousands of digits raises; none is worth printing.
    return str(number) if number.bit_length() <= 64 else "a number beyond 2**64"


def _is_bool(value: object) -> bool:
    # numpy's bool has __index__ in numpy 1.x: a flag all the same.
    kind = type(value)
    return isinstance(value, bool) or (
        kind.__module__ == "numpy" and kind.__name__ in ("bool", "bool_")
    )


def integer(name: str, value: object, low: int = 0, high: int | None = None) -> int:
    """An integer (int, or anything with `__index__` but bool) from `low`
    to `high` (no bound if None)."""
    if _is_bool(value):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if high is not None and not low <= number <= high:
        raise ValueError(f"{name} must be between {low} and {high}, not {_shown(number)}")
    if number < low:
        raise ValueError(f"{name} must be {low} or more, not {_shown(number)}")
    return number


def max_dist(value: object) -> int:
    return integer("max_dist", value, 0, MAX_DIST_CAP)


def max_dist_or_auto(value: object) -> int | None:
    """A max_dist, or None for "auto" (a bound that grows with the text)."""
    if isinstance(value, str):
        if value == AUTO:
            return None
        raise ValueError(
            f"max_dist must be an integer from 0 to {MAX_DIST_CAP} or {AUTO!r}, not {value!r}"
        )
    if _is_bool(value) or not hasattr(type(value), "__index__"):
        raise TypeError(f"max_dist must be an integer or {AUTO!r}, not {type(value).__name__}")
    return max_dist(value)


def limit(value: object, low: int = 0) -> int | None:
    """None, or a count from `low`; any past the engine's 64-bit count is no
    limit."""
    return None if value is None else min(integer("limit", value, low), _UNBOUNDED)


def exact_prefix(value: object) -> int:
    """A count of characters from 0; any past the engine's 64-bit count is
    the whole text."""
    return min(integer("exact_prefix", value), _UNBOUNDED)


def threads(value: object) -> int:
    """From 1; None is one per core. The engine starts no more than it has
    queries, nor more than a fixed cap."""
    if value is None:
        return os.cpu_count() or 1
    return min(integer("threads", value, 1), _UNBOUNDED)


def video_top_n(value: object, low: int = 1) -> int:
    """How many videos each node keeps, from `low`; any past the most
    videos an index holds keeps them all, and is that many."""
    return min(integer("video_top_n", value, low), _MOST_VIDEOS)


def fraction(name: str, value: object) -> float | None:
    """None, or a real number (int, float, Fraction, numpy's, anything
    with `__index__`) from 0 to 1."""
    if value is None:
        return None
    if _is_bool(value):
        raise TypeError(f"{name} must be a number, not bool")
    if not isinstance(value, numbers.Real):
        try:
            value = operator.index(value)  # type: ignore[arg-type]
        except TypeError:
            raise TypeError(f"{name} must be a number, not {type(value).__name__}") from None
    try:
        number = float(value)
    except OverflowError:
        raise ValueError(f"{name} must be between 0 and 1, not a number beyond a float") from None
    if not 0.0 <= number <= 1.0:  # nan included
        raise ValueError(f"{name} must be between 0 and 1, not {number!r}")
    return number


def flag(value: object, name: str = "transpositions") -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


def prefix(value: object) -> bool | None:
    if value is not None and not isinstance(value, bool):
        raise TypeError(f"prefix must be True, False or None, not {type(value).__name__}")
    return value


def text(value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"the query must be a str, not {type(value).__name__}")
    return value


def texts(value: object, name: str = "terms") -> list[str]:
    """The queries of a batch: an iterable of str, but not a str itself
    (nor bytes), whose characters would each be searched."""
    if isinstance(value, str):
        raise TypeError(f"{name} must be a list of queries, not a str (each character a query)")
    if isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{name} must be a list of queries, not {type(value).__name__}")
    try:
        items: list[object] = list(value)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"{name} must be a list of queries, not {type(value).__name__}") from None
    for k, item in enumerate(items):
        if not isinstance(item, str):
            raise TypeError(f"{name}[{k}] must be a str, not {type(item).__name__}")
    return cast("list[str]", items)
