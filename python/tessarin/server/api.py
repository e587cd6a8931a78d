"""The parameters of each endpoint of the JSON API, declared once.

`Api(limits)` holds them under a server's bounds: the application reads
requests by them (`tessarin.server.params`) and the OpenAPI document
describes them, so the two cannot disagree. Defaults that the command line
and `Index` share come from `tessarin.defaults`.
"""

from __future__ import annotations

from typing import Any

from .. import defaults
from .config import Limits
from .params import Choice, Fraction, Integer, Parameter, Text

__all__ = ["Api"]

#: Names of /search's `prefix`, and what `Index.search` takes for each.
PREFIX_CHOICES: dict[str, bool | None] = {
    "auto": None,
    "true": True,
    "false": False,
    "1": True,
    "0": False,
}


class Api:
    """The parameters of /search, /suggest and the endpoints without any."""

    def __init__(self, limits: Limits) -> None:
        self.query = Text(
            "q", limits.max_query, "What the user typed, UTF-8. Empty matches nothing."
        )
        self.max_dist = Integer(
            "max_dist",
            min(defaults.MAX_DIST, limits.max_dist),
            0,
            limits.max_dist,
            "Edits allowed: insertions, deletions and substitutions of one character.",
        )
        self.search_limit = Integer(
            "limit", limits.search_limit, 1, limits.max_limit, "At most this many videos."
        )
        self.suggest_limit = Integer(
            "limit", limits.suggest_limit, 1, limits.max_limit, "At most this many terms."
        )
        self.prefix = Choice(
            "prefix",
            PREFIX_CHOICES,
            "auto",
            ("auto", "true", "false"),
            "Pool partial words (prefix nodes): always, never, "
            "or only when no complete term matches.",
        )
        self.min_score = Fraction(
            "min_score", defaults.MIN_SCORE, "Leave out videos scoring below this."
        )
        self.search: tuple[Parameter[Any], ...] = (
            self.query,
            self.max_dist,
            self.search_limit,
            self.prefix,
            self.min_score,
        )
        self.suggest: tuple[Parameter[Any], ...] = (self.query, self.max_dist, self.suggest_limit)
        #: /info, /health and the rest take none.
        self.none: tuple[Parameter[Any], ...] = ()
