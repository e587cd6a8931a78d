"""Searching, suggesting and the node queries: tessarin.Index on a small
index, and the package's extension (tessarin._native) against the plain
models and against _tessarin on the same saved bytes."""

from __future__ import annotations

import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from samples import SMALL_INDEX as INDEX

from _tessarin import PrefixSearch
from tessarin import CorruptIndexError, IndexBuilder, NodeMatch, Suggestion, VideoMatch
from tessarin._native import NativeIndex
from tessarin_reference import matching
from tessarin_reference.model import ModelTrie, build_model, holds_together
from tessarin_reference.strategies import ALPHABET, build_args


def test_suggest_search_and_node_queries_on_the_small_index():
    assert INDEX.suggest("cat", 1, 2) == [Suggestion("cat", 0, 10), Suggestion("car", 1, 20)]
    assert INDEX.search("czt") == [VideoMatch("600", pytest.approx(0.6)), VideoMatch("300", 0.4)]
    [node] = INDEX.match_nodes("ca", 0)
    assert type(node) is NodeMatch and node == NodeMatch(node.node, "ca", 0, False, 33)
    assert INDEX.node_videos(node.node) == [("300", 24), ("600", 6), ("700", 3)]


class _Fielded(tuple):  # a tuple subclass with a __dict__
    pass


@pytest.mark.parametrize("record", [list, object, _Fielded, 3])
def test_node_records_must_be_plain_tuple_subclasses(record):
    with pytest.raises(TypeError, match="subclass of tuple"):
        INDEX._native.match_nodes("ca", 0, False, False, record)


def test_a_batch_answers_as_its_queries_one_by_one():
    assert INDEX.suggest_many(["cat", "th"], threads=2) == [
        INDEX.suggest("cat"),
        INDEX.suggest("th"),
    ]
    assert INDEX.search_many(["czt"], threads=1) == [INDEX.search("czt")]


def test_an_index_tells_its_size():
    assert (len(INDEX), INDEX.node_count, INDEX.video_count, INDEX.id_mode) == (4, 9, 4, "int")
    assert INDEX.video_top_n == 3 and INDEX.memory_bytes > 0
    assert repr(INDEX).startswith("<tessarin.Index: 4 terms, 9 nodes, 4 videos (int)")


# ------------------------- the package's extension against the plain models

QUERY_CHARS = [c for c in ALPHABET if c] + ["d"]
queries = st.text(alphabet=st.sampled_from(QUERY_CHARS), max_size=5)
max_dists = st.integers(0, 3) | st.just(2**32 - 1)
limits = st.none() | st.integers(0, 4)


def own_counts(args) -> list[int]:
    # With small counts nothing saturates, so a node's own count is the
    # total its payload had before propagation.
    return [0 if p is None else p[0] for p in args[2]]


def expected_suggestions(model: ModelTrie, own: list[int], term, max_dist, limit):
    found = [
        (text, d, own[node], node)
        for node, text in matching.preorder(model)
        if model.is_terminal[node] and (d := matching.levenshtein(term, text)) <= max_dist
    ]
    found.sort(key=lambda s: (s[1], -s[2], s[0], s[3]))
    return [s[:3] for s in found][:limit]


def expected_videos(model: ModelTrie, node: int):
    _, ids, counts = model.payloads[node] or (0, [], [])
    ranked = sorted(zip(ids, counts, strict=True), key=lambda e: -e[1])  # stable
    named = [(matching.identifier(model, v), c) for v, c in ranked]
    return [(text, c) for text, c in named if text is not None]


@settings(max_examples=300, deadline=None)
@given(
    build_args(sound=True) | build_args(tree=True) | build_args(tree=False),
    queries,
    max_dists,
    limits,
    st.sampled_from([None, True, False]),
    st.sampled_from([None, 0.0, 0.2]),
)
def test_queries_match_the_models_and_the_extension(args, term, max_dist, limit, prefix, min_score):
    extension = PrefixSearch.from_internal_data_v2(*args)
    saved = extension.to_bytes()
    model = build_model(*args)
    if not holds_together(model):
        # Arrays that the extension takes but that contradict themselves.
        with pytest.raises(CorruptIndexError, match=r"^the saved index does not hold together: "):
            NativeIndex.from_saved(saved)
        return
    native = NativeIndex.from_saved(saved)
    assert native.to_saved() == saved
    assert native.node_count == len(model.child_labels)
    assert native.term_count == sum(model.is_terminal)

    suggestions = native.suggest(term, max_dist, limit, False)
    assert suggestions == expected_suggestions(model, own_counts(args), term, max_dist, limit)
    assert sorted((t, d) for t, d, _ in native.suggest(term, max_dist, None, False)) == sorted(
        (t, d) for t, _, d in extension.fuzzy_match(term, max_dist)
    )

    videos = native.search(term, max_dist, limit, prefix, min_score, False)
    assert videos == extension.fuzzy_match_video(term, max_dist, limit, prefix, min_score)

    pooled = native.pooled_nodes(term, max_dist, limit, prefix, False)
    assert pooled == matching.pooled_nodes(model, term, max_dist, prefix, limit)
    # One walk for both, the scores to the last bit.
    assert native.search_pooled(term, max_dist, limit, prefix, min_score, limit, False) == (
        videos,
        pooled,
    )

    nodes = native.match_nodes(term, max_dist, prefix is False, False)
    terms = dict(matching.preorder(model))
    assert nodes == [
        (node, terms[node], d, bool(model.is_terminal[node]), model.payloads[node][0])
        for node, d in matching.fuzzy_match_nodes(model, term, max_dist, prefix is False)
    ]
    for node in range(native.node_count):
        assert native.node_videos(node) == expected_videos(model, node)

    batch = [term, term[::-1], "", term + "a"]
    assert native.suggest_many(batch, max_dist, limit, False, 2) == [
        native.suggest(q, max_dist, limit, False) for q in batch
    ]
    assert native.search_many(batch, max_dist, limit, prefix, min_score, False, 3) == [
        native.search(q, max_dist, limit, prefix, min_score, False) for q in batch
    ]


def test_an_own_count_under_a_saturated_total_is_the_total():
    # a's total saturates (its own count plus its child's): what it holds
    # itself is unknown, and the total is reported.
    args = (
        [0, 1, 2],
        ["", "a", "b"],
        [(5, [], []), (2**32 - 1, [], []), (9, [], [])],
        [1, 2],
        [],
        0,
    )
    native = NativeIndex.from_saved(PrefixSearch.from_internal_data_v2(*args).to_bytes())
    assert native.suggest("ab", 1, None, False) == [("ab", 0, 9), ("a", 1, 2**32 - 1)]


def test_four_threads_querying_one_index_get_the_single_threaded_answers():
    builder = IndexBuilder()
    words = [a + b + c for a in "abcdefgh" for b in "aeiou" for c in "lmnrst"]
    builder.add_many((w, i % 50, 1 + i % 7) for i, w in enumerate(words))
    native = NativeIndex.from_saved(builder.build().to_bytes())
    terms = [w[:2] + "x" + w[2:] for w in words[::7]]
    expected = [
        (native.suggest(t, 2, 5, False), native.search(t, 2, 5, None, None, False)) for t in terms
    ]
    barrier = threading.Barrier(4)
    failures = []

    def run():
        barrier.wait()
        for _ in range(5):
            got = [
                (native.suggest(t, 2, 5, False), native.search(t, 2, 5, None, None, False))
                for t in terms
            ]
            if got != expected:
                failures.append(got)
        if native.suggest_many(terms, 2, 5, False, 2) != [s for s, _ in expected]:
            failures.append("suggest_many")

    threads = [threading.Thread(target=run) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures


@settings(max_examples=300, deadline=None)
@given(build_args(sound=True), queries, max_dists, st.sampled_from([None, True]))
def test_transpositions_count_a_swap_of_neighbours_as_one_edit(args, term, max_dist, prefix):
    native = NativeIndex.from_saved(PrefixSearch.from_internal_data_v2(*args).to_bytes())
    model = build_model(*args)
    within = [
        (node, text, d)
        for node, text in matching.preorder(model)
        if (d := matching.optimal_string_alignment(term, text)) <= max_dist
    ]
    assert native.match_nodes(term, max_dist, False, True) == [
        (node, text, d, bool(model.is_terminal[node]), model.payloads[node][0])
        for node, text, d in within
    ]
    own = own_counts(args)
    expected = sorted(
        ((text, d, own[node], node) for node, text, d in within if model.is_terminal[node]),
        key=lambda s: (s[1], -s[2], s[0], s[3]),
    )
    assert native.suggest(term, max_dist, None, True) == [s[:3] for s in expected]
    nodes = [(node, d) for node, _, d in within if prefix or model.is_terminal[node]]
    if prefix is None and not nodes:
        nodes = [(node, d) for node, _, d in within]
    assert native.search(term, max_dist, None, prefix, None, True) == matching.rank(
        model, term, nodes
    )
    pooled = native.pooled_nodes(term, max_dist, 3, prefix, True)
    assert pooled == matching.pooled_nodes(
        model, term, max_dist, prefix, 3, matching.optimal_string_alignment
    )
    assert native.search_pooled(term, max_dist, 2, prefix, None, 3, True) == (
        native.search(term, max_dist, 2, prefix, None, True),
        pooled,
    )
    assert native.search_many([term], max_dist, None, prefix, None, True, 2) == [
        native.search(term, max_dist, None, prefix, None, True)
    ]
