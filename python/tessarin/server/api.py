"""The parameters of each endpoint of the JSON API, declared once.

`Api(limits)` holds them under a server's bounds: the application reads
requests by them (`tessarin.server.params`) and the OpenAPI document
describes them, so the two cannot disagree. Defaults that the command line
and `Index` share come from `tessarin.defaults`.
"""

from __future__ import annotations

from typing import Any

from .. import defaults
from .catalog import Filters
from .config import Limits
from .params import Choice, Distance, Fraction, Integer, Parameter, Text

__all__ = ["Api"]

#: Names of /search's `prefix`, and what `Index.search` takes for each.
PREFIX_CHOICES: dict[str, bool | None] = {
    "auto": None,
    "true": True,
    "false": False,
    "1": True,
    "0": False,
}

#: The furthest a page of /search may start.
MAX_OFFSET = 10_000

#: Names of a flag's values.
FLAG_CHOICES: dict[str, bool] = {"true": True, "false": False, "1": True, "0": False}


class Api:
    """The parameters of /search, /suggest, /complete and the endpoints
    without any."""

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
        self.transpositions = Choice(
            "transpositions",
            FLAG_CHOICES,
            "false",
            ("true", "false"),
            "Count a swap of two neighbouring characters as one edit (optimal string "
            "alignment), not two.",
        )
        self.offset = Integer(
            "offset",
            0,
            0,
            MAX_OFFSET,
            "Skip this many videos of the ranked (and filtered) list: the page starts here.",
        )
        self.filter = Filters()
        self.explain = Choice(
            "explain",
            FLAG_CHOICES,
            "false",
            ("true", "false"),
            "Say, for each video, which matched terms and prefixes lent how much of its score "
            "(the shares add up to it). Costs more than the search itself.",
        )
        self.complete_max_dist = Distance(
            "max_dist",
            defaults.AUTO,
            limits.max_dist,
            "Edits allowed between the text completed and a prefix of the term; auto: "
            "none up to 2 characters, one up to 5, then two (counted after the index's "
            f"normalisation, and at most {limits.max_dist} here).",
        )
        self.complete_limit = Integer(
            "limit",
            min(defaults.COMPLETE_LIMIT, limits.max_limit),
            1,
            limits.max_limit,
            "At most this many completions.",
        )
        self.exact_prefix = Integer(
            "exact_prefix",
            0,
            0,
            limits.max_query,
            "The first this many characters of the text completed must begin the term as they are.",
        )
        self.search: tuple[Parameter[Any], ...] = (
            self.query,
            self.max_dist,
            self.search_limit,
            self.prefix,
            self.min_score,
            self.transpositions,
            self.offset,
            self.filter,
            self.explain,
        )
        self.suggest: tuple[Parameter[Any], ...] = (
            self.query,
            self.max_dist,
            self.suggest_limit,
            self.transpositions,
        )
        self.complete: tuple[Parameter[Any], ...] = (
            self.query,
            self.complete_max_dist,
            self.complete_limit,
            self.exact_prefix,
            self.transpositions,
        )
        #: /info, /health and the rest take none.
        self.none: tuple[Parameter[Any], ...] = ()
