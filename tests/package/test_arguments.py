"""tessarin.Index's arguments: every one checked for its type and range,
refused with a plain TypeError or ValueError that names it."""

from __future__ import annotations

import decimal
import fractions
import operator
from functools import partial as on

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from samples import RECORDS
from samples import SMALL_INDEX as INDEX

import tessarin
from tessarin import Index, defaults


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: INDEX.suggest(5), TypeError, "^the query must be a str, not int$"),
        (lambda: INDEX.search("a", prefix=1), TypeError, "^prefix must be True, False or None"),
        (lambda: INDEX.node_videos(99), ValueError, "node 99 out of range"),
        (lambda: INDEX.suggest("a", transpositions=1), TypeError, "^transpositions must be True"),
        (lambda: INDEX.match_nodes("a", terminal_only=0), TypeError, "^terminal_only must be"),
        (lambda: Index.load(3), TypeError, "takes a path, bytes"),
        (lambda: Index(), TypeError, "Index.load"),
        (lambda: tessarin.IndexBuilder().index(video_top_n=0), ValueError, "1 or more"),
    ],
)
def test_argument_errors_in_plain_words(call, error, message):
    with pytest.raises(error, match=message):
        call()


BATCHES = [INDEX.suggest_many, INDEX.search_many]


@pytest.mark.parametrize("batch", BATCHES, ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    ("terms", "message"),
    [
        ("cafe", r"^terms must be a list of queries, not a str \(each character a query\)$"),
        (b"cafe", r"^terms must be a list of queries, not bytes$"),
        (bytearray(b"x"), r"^terms must be a list of queries, not bytearray$"),
        (5, r"^terms must be a list of queries, not int$"),
        (["a", 5], r"^terms\[1\] must be a str, not int$"),
    ],
)
def test_a_batch_takes_a_list_of_queries_not_one(batch, terms, message):
    with pytest.raises(TypeError, match=message):
        batch(terms)
    assert batch(iter(["cat", "czt"])) == batch(("cat", "czt"))  # any iterable of str


MAX_DIST_TAKERS = [
    INDEX.suggest,
    INDEX.search,
    INDEX.match_nodes,
    INDEX.pooled_nodes,
    lambda q, d: INDEX.suggest_many([q], d),
    lambda q, d: INDEX.search_many([q], d),
]


@pytest.mark.parametrize("call", MAX_DIST_TAKERS)
@pytest.mark.parametrize(
    ("max_dist", "error", "message"),
    [
        (True, TypeError, r"^max_dist must be an integer, not bool$"),
        (1.0, TypeError, r"^max_dist must be an integer, not float$"),
        ("1", TypeError, r"^max_dist must be an integer, not str$"),
        (-1, ValueError, r"^max_dist must be between 0 and 4, not -1$"),
        (5, ValueError, r"^max_dist must be between 0 and 4, not 5$"),
        (10**30, ValueError, r"^max_dist must be between 0 and 4, not a number beyond 2\*\*64$"),
        pytest.param(
            10**5000,
            ValueError,
            r"^max_dist must be between 0 and 4, not a number be",
            id="10**5000",
        ),
    ],
)
def test_max_dist_is_an_integer_up_to_the_cap(call, max_dist, error, message):
    assert defaults.MAX_DIST_CAP == 4
    with pytest.raises(error, match=message):
        call("cat", max_dist)
    call("cat", defaults.MAX_DIST_CAP)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: INDEX.search("a", limit=-2), ValueError, r"^limit must be 0 or more, not -2$"),
        (lambda: INDEX.suggest("a", limit="3"), TypeError, r"^limit must be an integer, not str$"),
        (
            lambda: INDEX.pooled_nodes("a", 1, True),
            TypeError,
            r"^limit must be an integer, not bool",
        ),
        (lambda: INDEX.suggest_many(["a"], threads=0), ValueError, r"^threads must be 1 or more"),
        (lambda: INDEX.search_many(["a"], threads=1.5), TypeError, r"^threads must be an integer"),
        (lambda: INDEX.node_videos(-1), ValueError, r"^node must be 0 or more, not -1$"),
        (lambda: INDEX.node_videos(10**30), ValueError, r"^node 18446744073709551615 out of"),
        (lambda: Index.build(RECORDS, video_top_n=0), ValueError, r"^video_top_n must be 1 or"),
        (
            lambda: Index.from_prefix_search(INDEX.to_prefix_search(), video_top_n="3"),
            TypeError,
            r"^video_top_n must be an integer, not str$",
        ),
    ],
)
def test_counts_are_integers_in_range(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_a_huge_limit_is_no_limit():
    assert INDEX.suggest("cat", 2, 10**30) == INDEX.suggest("cat", 2)


@pytest.mark.parametrize("call", [INDEX.search, lambda q, **kw: INDEX.search_many([q], **kw)[0]])
@pytest.mark.parametrize(
    ("min_score", "error", "message"),
    [
        (float("nan"), ValueError, r"^min_score must be between 0 and 1, not nan$"),
        (float("inf"), ValueError, r"^min_score must be between 0 and 1, not inf$"),
        (-0.1, ValueError, r"^min_score must be between 0 and 1, not -0.1$"),
        (2, ValueError, r"^min_score must be between 0 and 1, not 2.0$"),
        ("0.5", TypeError, r"^min_score must be a number, not str$"),
        (True, TypeError, r"^min_score must be a number, not bool$"),
    ],
)
def test_min_score_is_a_number_from_0_to_1(call, min_score, error, message):
    with pytest.raises(error, match=message):
        call("czt", min_score=min_score)
    assert call("czt", min_score=fractions.Fraction(1, 2)) == call("czt", min_score=0.5)
    assert call("czt", min_score=1) == []


# ------------------------------------------------ the whole argument space


# Where each numeric argument (and each flag) goes: its takers, called with
# the value as a keyword, and the rule it follows.
QUERIES = [on(INDEX.suggest, "ca"), on(INDEX.search, "ca"), on(INDEX.pooled_nodes, "ca")]
BATCHES = [on(INDEX.suggest_many, ["ca", "th"]), on(INDEX.search_many, ["ca", "th"])]
SEARCHES = [on(INDEX.search, "ca"), on(INDEX.search_many, ["ca"])]
COMPLETIONS = [on(INDEX.complete, "ca"), on(INDEX.complete_many, ["ca", "th"])]
TAKERS = {
    "max_dist": [*QUERIES, on(INDEX.match_nodes, "ca"), *BATCHES],
    "limit": [*QUERIES, *BATCHES],
    "min_score": SEARCHES,
    "threads": [*BATCHES, COMPLETIONS[1]],
    "completion max_dist": COMPLETIONS,
    "completion limit": COMPLETIONS,
    "exact_prefix": COMPLETIONS,
    "node": [on(INDEX.node_videos)],
    "video_top_n": [
        on(Index.build, RECORDS),
        on(tessarin.IndexBuilder().index),
    ],
    "recorded video_top_n": [on(Index.from_prefix_search, INDEX.to_prefix_search())],
    "builder video_top_n": [on(tessarin.IndexBuilder().build), on(tessarin.IndexBuilder().arrays)],
    "prefix": [*SEARCHES, on(INDEX.pooled_nodes, "ca")],
    "transpositions": [*QUERIES, on(INDEX.match_nodes, "ca"), *BATCHES, *COMPLETIONS],
    "terminal_only": [on(INDEX.match_nodes, "ca")],
    "verify": [on(Index.load, INDEX.to_bytes())],
    "in_place": [on(Index.load, INDEX.to_bytes(version=2))],
}


def integral(value) -> bool:
    return not isinstance(value, (bool, np.bool_)) and hasattr(type(value), "__index__")


def real(value) -> bool:
    return integral(value) or isinstance(value, (float, np.floating, fractions.Fraction))


def expected(rule: str, value):
    """The error the rule gives `value` (None: taken), in plain Python."""
    counts = {"max_dist": (0, 4), "limit": (0, None), "threads": (1, None)}
    counts |= {"node": (0, INDEX.node_count - 1), "video_top_n": (1, None)}
    counts |= {"recorded video_top_n": (1, None), "builder video_top_n": (0, None)}
    counts |= {"completion max_dist": (0, 4), "completion limit": (1, None)}
    counts |= {"exact_prefix": (0, None)}
    if rule == "completion max_dist" and isinstance(value, str):
        return None if value == "auto" else ValueError
    if rule in counts:
        nullable = ("limit", "completion limit", "threads", "recorded video_top_n")
        if value is None and rule in nullable:
            return None
        if not integral(value):
            return TypeError
        low, high = counts[rule]
        return None if low <= int(value) and (high is None or int(value) <= high) else ValueError
    if rule == "min_score":
        if value is None:
            return None
        if not real(value):
            return TypeError
        exact = operator.index(value) if integral(value) else value
        return None if 0 <= exact <= 1 else ValueError  # nan is neither, exactly
    if value is None and rule == "prefix":
        return None
    return None if isinstance(value, bool) else TypeError


class Count:
    """An integer by __index__ alone, as other libraries' integers are."""

    def __init__(self, value: int):
        self.value = value

    def __index__(self) -> int:
        return self.value

    def __repr__(self) -> str:
        return f"Count({self.value})"


integers = st.integers(-5, 10) | st.sampled_from([2**63, 2**64, -(2**64), 10**30, 10**1000])
values = st.one_of(
    st.none(),
    st.booleans(),
    integers,
    integers.map(Count),
    integers.filter(lambda n: abs(n) < 2**63).map(np.int64),
    st.floats(),
    st.floats(width=32).map(np.float32),
    st.fractions(),
    st.builds(fractions.Fraction, st.sampled_from([10**400, 1]), st.sampled_from([3, 10**400])),
    st.sampled_from([np.bool_(True), "1", b"1", [1], complex(0.5), decimal.Decimal("0.5")]),
    st.sampled_from(["auto", "Auto"]),
)
calls = st.sampled_from([(rule, call) for rule, takers in TAKERS.items() for call in takers])


@settings(max_examples=500, deadline=None)
@given(calls, values)
def test_every_numeric_argument_and_flag_is_checked_in_plain_words(call, value):
    rule, function = call
    name = rule.split()[-1]
    error = expected(rule, value)
    if error is None:
        assert isinstance(function(**{name: value}), (list, tuple, Index, tessarin.PrefixSearch))
        return
    with pytest.raises(error) as raised:
        function(**{name: value})
    message = str(raised.value)
    assert type(raised.value) is error  # plain: neither a subclass nor the engine's own
    assert message.startswith(f"{name} must be " if name != "node" else "node "), message
    assert len(message) < 120, message  # a huge number is described, never printed
