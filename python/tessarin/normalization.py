"""Normalisations of terms, applied when an index is built and to every
query of that index.

A normalisation is a sequence of steps joined by "+", applied in the order
written ("nfkc+casefold+spaces"); its name is recorded in the index file's
metadata, and `tessarin.Index` applies the same steps to each query. The
steps are defined by Python itself, whatever path builds the index (records
in Python, DuckDB, Spark), so every path gives the same terms:

* ``nfkc``: `unicodedata.normalize("NFKC", text)`, compatibility forms
  folded (full-width letters, ligatures, superscripts);
* ``casefold``: `str.casefold`, case differences removed ("Straße" and
  "STRASSE" both become "strasse");
* ``spaces``: `" ".join(text.split())`, leading and trailing white space
  dropped and every run of it made one space.
"""

from __future__ import annotations

import itertools
import unicodedata
from collections.abc import Callable

__all__ = ["KNOWN_NORMALIZATIONS", "STEPS", "normalizer", "steps_of"]


def _nfkc(text: str) -> str:
    return unicodedata.normalize("NFKC", text)


def _spaces(text: str) -> str:
    return " ".join(text.split())


#: Each step by name.
STEPS: dict[str, Callable[[str], str]] = {
    "nfkc": _nfkc,
    "casefold": str.casefold,
    "spaces": _spaces,
}

#: Every name a normalisation can have: the steps, each at most once, in
#: any order.
KNOWN_NORMALIZATIONS: frozenset[str] = frozenset(
    "+".join(order)
    for size in range(1, len(STEPS) + 1)
    for order in itertools.permutations(STEPS, size)
)


def steps_of(name: str) -> tuple[str, ...]:
    """The steps of a normalisation's name; ValueError for a bad one."""
    if not isinstance(name, str):
        raise TypeError(f"a normalisation is a str such as 'casefold', not {type(name).__name__}")
    steps = tuple(step.strip() for step in name.split("+"))
    unknown = [step for step in steps if step not in STEPS]
    if unknown or len(set(steps)) != len(steps):
        raise ValueError(
            f"unknown normalisation {name!r}: use steps among {', '.join(STEPS)}, "
            "joined by '+' (each at most once), e.g. 'nfkc+casefold+spaces'"
        )
    return steps


def normalizer(name: str) -> Callable[[str], str]:
    """The function that applies a normalisation to a text."""
    functions = [STEPS[step] for step in steps_of(name)]
    if len(functions) == 1:
        return functions[0]

    def apply(text: str) -> str:
        for function in functions:
            text = function(text)
        return text

    return apply
