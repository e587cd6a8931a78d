"""PrefixSearch.fuzzy_match_video against the ranking formula, and its edge cases."""

import contextlib
import math

import pytest
from hardening import traced_growth
from hypothesis import given, settings
from hypothesis import strategies as st

from _tessarin import PrefixSearch
from tessarin_reference import matching
from tessarin_reference.hostile import panic_type
from tessarin_reference.model import INT32, UUID, ModelTrie, build_model
from tessarin_reference.saved_form import encode
from tessarin_reference.strategies import ALPHABET, build_args

build = PrefixSearch.from_internal_data_v2

QUERY_CHARS = [c for c in ALPHABET if c] + ["d"]
queries = st.text(alphabet=st.sampled_from(QUERY_CHARS), max_size=5)
min_scores = st.sampled_from([None, 0.0, -1.0, math.nan, 0.01, 0.2, 1e-9, 2])


def restored(**fields) -> PrefixSearch:
    """An index holding exactly these fields, unchecked and unpropagated."""
    n = len(fields["child_labels"])
    trie = ModelTrie(
        node_shifts=fields.get("node_shifts", []),
        child_labels=[ord(c) if c else 0 for c in fields["child_labels"]],
        child_transitions=fields.get("child_transitions", []),
        payloads=fields.get("payloads", [None] * n),
        video_uuids=fields.get("video_uuids", []),
        video_int_ids=fields.get("video_int_ids", []),
        id_mode=fields.get("id_mode", INT32 if "video_int_ids" in fields else UUID),
        is_terminal=fields.get("is_terminal", [0] * n),
    )
    return PrefixSearch.from_bytes(encode(trie))


# The "cat" index: 0 root, 1 c, 2 ca (no term ends here), 3 cat, 4 car.
CAT = dict(
    node_shifts=[0, 1, 2, 4, 4],
    child_labels=["", "c", "a", "t", "r"],
    child_transitions=[1, 2, 3, 4],
    payloads=[None, None, (40, [7, 5], [30, 10]), (10, [5, 2], [6, 4]), (20, [2], [20])],
    video_int_ids=[100, 200, 300, 400, 500, 600, 700, 800],
    is_terminal=[0, 0, 0, 1, 1],
)


# ---------------------------------------------------------------- the model


@settings(max_examples=300, deadline=None)
@given(
    args=build_args(big_counts=True) | build_args(),
    term=queries,
    max_dist=st.integers(0, 3),
    limit=st.none() | st.integers(0, 4),
    include=st.sampled_from([None, True, False]),
    min_score=min_scores,
)
def test_matches_the_formula(args, term, max_dist, limit, include, min_score):
    index, model = build(*args), build_model(*args)
    got = index.fuzzy_match_video(term, max_dist, limit, include, min_score)
    assert got == matching.fuzzy_match_video(model, term, max_dist, limit, include, min_score)


# ---------------------------------------------------------------- examples


def test_worked_example():
    got = restored(**CAT).fuzzy_match_video("cat")
    assert [t for t, _ in got] == ["600", "300"]
    assert got[0][1] == 0.5625
    assert got[1][1] == pytest.approx(0.4375)


def test_worked_example_with_prefix_nodes():
    got = restored(**CAT).fuzzy_match_video("cat", include_prefix_nodes=True)
    assert [t for t, _ in got] == ["600", "300", "800"]
    assert [s for _, s in got] == pytest.approx([0.5325, 0.3955, 0.0720], abs=5e-5)


@pytest.mark.parametrize(
    "include, term, max_dist, expected",
    [
        # Automatic mode: no term ends within the bound, so prefix nodes count.
        (None, "ca", 0, ["800", "600"]),
        (False, "ca", 0, []),
        (True, "ca", 0, ["800", "600"]),
        # An empty query: every node is at distance >= 1 > n, weight 0.
        (None, "", 3, []),
        (True, "", 3, []),
    ],
)
def test_prefix_nodes(include, term, max_dist, expected):
    got = restored(**CAT).fuzzy_match_video(term, max_dist, include_prefix_nodes=include)
    assert [t for t, _ in got] == expected


def test_fallback_scores_ignore_the_prefix_factor():
    got = restored(**CAT).fuzzy_match_video("ca", 0)
    assert [t for t, _ in got] == ["800", "600"]
    assert [s for _, s in got] == pytest.approx([0.75, 0.25])


def test_one_character_query_without_fallback():
    # "ca" ends a term at distance 1 from "c": the terminal-only list is not
    # empty, so there is no fall-back, and a node at distance 1 = n weighs 0.
    fields = dict(CAT, is_terminal=[0, 0, 1, 1, 1])
    fields["payloads"] = [None, (5, [0], [5]), *CAT["payloads"][2:]]
    assert restored(**fields).fuzzy_match_video("c", 1) == []
    assert restored(**fields).fuzzy_match_video("c", 1, include_prefix_nodes=True) == [("100", 1.0)]


def test_no_fallback_when_terms_match_without_videos():
    fields = dict(CAT, payloads=[None, None, (40, [7], [30]), (5, [], []), None])
    assert restored(**fields).fuzzy_match_video("cat", 0) == []


def test_zero_totals_give_nothing():
    fields = dict(CAT, payloads=[None, None, None, (0, [5], [6]), (0, [2], [20])])
    assert restored(**fields).fuzzy_match_video("cat", min_score=-1.0) == []


@pytest.mark.parametrize(
    "min_score, count", [(0.0, 3), (-5, 3), (math.nan, 0), (0.3, 2), (0.5, 1), (1, 0)]
)
def test_threshold(min_score, count):
    fields = dict(CAT, payloads=[None, None, None, (10, [5, 2, 1], [6, 4, 0]), None])
    got = restored(**fields).fuzzy_match_video("cat", 0, min_score=min_score)
    assert got == [("600", 0.6), ("300", 0.4), ("200", 0.0)][:count]


def test_scores_are_not_clamped():
    fields = dict(CAT, payloads=[None, None, None, (1, [5], [3]), None])
    assert restored(**fields).fuzzy_match_video("cat", 0) == [("600", 3.0)]


@pytest.mark.parametrize("limit, count", [(0, 0), (1, 1), (2, 2), (9, 3), (None, 3)])
def test_limit_and_ties(limit, count):
    # Videos 1 and 2 tie at 0.2; ties come by ascending video position.
    fields = dict(CAT, payloads=[None, None, None, (10, [2, 5, 1], [2, 6, 2]), None])
    got = restored(**fields).fuzzy_match_video("cat", 0, limit)
    assert [t for t, _ in got] == ["600", "200", "300"][:count]


def test_positions_beyond_the_table_are_dropped_after_the_cut():
    fields = dict(CAT, payloads=[None, None, None, (10, [9, 5, 2], [5, 3, 2]), None])
    index = restored(**fields)
    assert [t for t, _ in index.fuzzy_match_video("cat", 0)] == ["600", "300"]
    assert [t for t, _ in index.fuzzy_match_video("cat", 0, 2)] == ["600"]
    assert restored(**dict(fields, video_int_ids=[])).fuzzy_match_video("cat", 0) == []


def test_contributions_add_up_across_nodes():
    # Video 2 under cat (4) and car (20 at weight 1/30).
    got = dict(restored(**CAT).fuzzy_match_video("cat"))
    assert got["300"] == (4.0 + 20 * ((1.0 - 1 / 3) * 0.05)) / (
        10 * 1.0 + 20 * ((1.0 - 1 / 3) * 0.05)
    )


def test_identifiers():
    uuid = bytes(range(0, 256, 17))
    fields = dict(CAT, video_int_ids=[], video_uuids=[uuid] * 6, id_mode=UUID)
    assert (
        restored(**fields).fuzzy_match_video("cat", 0)[0][0]
        == "00112233-4455-6677-8899-aabbccddeeff"
    )
    fields = dict(CAT, video_int_ids=[0, 1, 4294967295, 3, 4, 10])
    assert [t for t, _ in restored(**fields).fuzzy_match_video("cat", 0)] == ["10", "4294967295"]


# ---------------------------------------------------------------- corrupt indexes


@pytest.mark.parametrize(
    "change, pattern",
    [
        (dict(is_terminal=[0, 0, 0]), r"position 3 of is_terminal"),
        (dict(payloads=[None, None, None]), r"position 3 of payloads"),
        (
            dict(payloads=[None, None, None, (10, [5, 2], [6]), None]),
            r"node 3 lists 2 videos but 1 counts",
        ),
    ],
)
def test_corrupt_payload_data(change, pattern):
    with pytest.raises(panic_type(), match=pattern):
        restored(**dict(CAT, **change)).fuzzy_match_video("cat", 0)


def test_longer_counts_are_accepted():
    fields = dict(CAT, payloads=[None, None, None, (10, [5], [6, 4]), None])
    assert restored(**fields).fuzzy_match_video("cat", 0) == [("600", 0.6)]


@pytest.mark.parametrize(
    "change, pattern",
    [
        (dict(child_transitions=[1, 2, 3, 9]), r"position 9 of child_labels"),
        (dict(node_shifts=[0, 1, 2, 7, 4]), r"position 4 of child_transitions"),
        (dict(node_shifts=[0, 1, 2]), r"position 3 of node_shifts"),
        (
            dict(child_labels=["", "c", "a", "t"], child_transitions=[1, 2, 3, 4]),
            r"position 4 of child_labels",
        ),
    ],
)
def test_corrupt_child_lists(change, pattern):
    index = restored(**dict(CAT, **change))
    for query in (lambda: index.fuzzy_match("cat"), lambda: index.fuzzy_match_video("cat")):
        with pytest.raises(panic_type(), match=pattern):
            query()


def test_unreached_corruption_is_not_read():
    # Node 4 (car) lists node 99, which does not exist; "cat" at bound 0
    # prunes car and never reads its children, at bound 1 it enters it.
    index = restored(**dict(CAT, child_transitions=[1, 2, 3, 4, 99]))
    assert index.fuzzy_match("cat", 0) == [("cat", 1, 0)]
    assert index.fuzzy_match_video("cat", 0) == [("600", 0.6), ("300", 0.4)]
    with pytest.raises(panic_type(), match=r"position 99 of child_labels"):
        index.fuzzy_match("cat", 1)


def test_index_without_nodes():
    index = restored(child_labels=[], node_shifts=[0, 5], child_transitions=[3], video_int_ids=[1])
    assert index.fuzzy_match("", 9) == []
    assert index.fuzzy_match_video("", 9, include_prefix_nodes=True) == []


# ---------------------------------------------------------------- arguments


def test_binding():
    index = restored(**CAT)
    assert index.fuzzy_match_video(term="cat", limit=1, min_score=1) == []
    assert index.fuzzy_match_video("cat", 1, None, None, None) == index.fuzzy_match_video("cat")
    assert index.fuzzy_match_video("cat", max_dist=True) == index.fuzzy_match_video("cat")
    assert PrefixSearch.fuzzy_match_video.__text_signature__ == (
        "(term, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None)"
    )
    assert PrefixSearch.fuzzy_match_video.__doc__ is None


@pytest.mark.parametrize(
    "args, kwargs, error, pattern",
    [
        (
            (),
            {},
            TypeError,
            r"^PrefixSearch.fuzzy_match_video\(\) missing 1 required positional argument: 'term'$",
        ),
        (
            ("a", 1, None, None, None, 6),
            {},
            TypeError,
            r"^PrefixSearch.fuzzy_match_video\(\) takes from 1 to 5 positional",
        ),
        (
            ("cat",),
            {"include_prefix_nodes": 1},
            TypeError,
            r"^argument 'include_prefix_nodes': 'int' object cannot be converted to 'PyBool'$",
        ),
        (("cat",), {"min_score": "0.5"}, TypeError, r"^argument 'min_score': "),
        ((5,), {"include_prefix_nodes": 1}, TypeError, r"^argument 'term': "),
    ],
)
def test_argument_errors(args, kwargs, error, pattern):
    # term, max_dist and limit go through the shared converters, whose
    # refusals test_surface.py checks at every place.
    with pytest.raises(error, match=pattern) as info:
        restored(**CAT).fuzzy_match_video(*args, **kwargs)
    assert type(info.value) is error


def test_no_reference_leaks():
    # A leaked tuple, str or exception per call would grow the traced memory
    # by tens of bytes per call; caches of the host grow it by a few in all.

    index = restored(**CAT)
    corrupt = restored(**dict(CAT, is_terminal=[0, 0, 0]))
    panic = panic_type()
    bad_arguments = ({"term": 5}, {"term": "cat", "max_dist": None}, {"term": "cat", "limit": -1})

    def calls():
        index.fuzzy_match("cat", 2)
        index.fuzzy_match("cat", 2, 1)
        index.fuzzy_match_video("cat", 2, 5, True, 0.0)
        for bad in bad_arguments:
            for method in (index.fuzzy_match, index.fuzzy_match_video):
                with contextlib.suppress(TypeError, OverflowError):
                    method(**bad)
        with contextlib.suppress(panic):
            corrupt.fuzzy_match_video("cat", 0)

    assert traced_growth(calls, warmup=50, rounds=1000) < 10_000
