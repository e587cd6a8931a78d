"""tessarin._native against the plain models and against _tessarin on the
same saved bytes."""

from __future__ import annotations

import mmap
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _tessarin import PrefixSearch
from tessarin import index as _index  # noqa: F401  (sets the corrupt-index error)
from tessarin._native import ErrorKind, NativeIndex
from tessarin.building.index_builder import IndexBuilder
from tessarin.errors import CorruptIndexError
from tessarin_reference import matching
from tessarin_reference.model import INT32, ModelTrie, build_model, holds_together
from tessarin_reference.saved_form import encode
from tessarin_reference.strategies import ALPHABET, build_args

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

    assert native.pooled_nodes(term, max_dist, limit, prefix, False) == matching.pooled_nodes(
        model, term, max_dist, prefix, limit
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


def saved_trie(**changes) -> bytes:
    """The saved form of a three-node trie a -> b, with fields replaced."""
    fields = dict(
        node_shifts=[0, 1, 2],
        child_labels=[0, 97, 98],
        child_transitions=[1, 2],
        payloads=[None, (3, [0], [3]), None],
        video_uuids=[],
        video_int_ids=[7],
        id_mode=INT32,
        is_terminal=[0, 1, 0],
    )
    fields.update(changes)
    return encode(ModelTrie(**fields))


@pytest.mark.parametrize(
    ("saved", "message"),
    [
        (b"", r"does not decode: UnexpectedEnd \{ additional: 1 \}$"),
        (saved_trie() + b"\0\0", r"^the saved index has 2 bytes after its end$"),
        (saved_trie(node_shifts=[0, 1]), r"node_shifts has 2 entries for 3 nodes$"),
        (saved_trie(payloads=[None]), r"payloads has 1 entries for 3 nodes$"),
        (saved_trie(is_terminal=[0]), r"is_terminal has 1 entries for 3 nodes$"),
        (saved_trie(child_transitions=[1, 3]), r"entry 1 of child_transitions names node 3 of 3$"),
        (saved_trie(node_shifts=[0, 1, 3]), r"the children of node 2 start at 3, beyond the 2"),
        (saved_trie(child_transitions=[1, 0]), r"the root is listed as a child$"),
        (saved_trie(child_transitions=[1, 1]), r"node 1 is listed as a child twice$"),
        (saved_trie(node_shifts=[0, 2, 1]), r"entry 1 of child_transitions lies in the child "),
        (
            saved_trie(payloads=[None, (3, [0], []), None]),
            r"the payload of node 1 lists 1 videos and 0 counts$",
        ),
    ],
)
def test_damaged_saved_forms_are_refused_in_plain_words(saved, message):
    with pytest.raises(CorruptIndexError, match=message) as raised:
        NativeIndex.from_saved(saved)
    # The kind the package decides by: bytes that do not decode, or damage.
    assert raised.value.kind is (ErrorKind.DECODE if saved == b"" else ErrorKind.DAMAGED)


def test_a_saved_form_loads_from_any_contiguous_buffer(tmp_path):
    saved = saved_trie()
    path = tmp_path / "saved"
    path.write_bytes(saved)
    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as m:
        for buffer in (bytearray(saved), memoryview(saved), m):
            assert NativeIndex.from_saved(buffer).to_saved() == saved
    with pytest.raises(BufferError):
        NativeIndex.from_saved(memoryview(saved + saved)[::2])
    with pytest.raises(TypeError):
        NativeIndex.from_saved("not bytes")


@settings(max_examples=200, deadline=None)
@given(build_args(tree=True), st.data())
def test_damaged_bytes_raise_only_the_corrupt_index_error(args, data):
    saved = PrefixSearch.from_internal_data_v2(*args).to_bytes()
    cut = data.draw(st.integers(0, len(saved) - 1))
    with pytest.raises(CorruptIndexError):
        NativeIndex.from_saved(saved[:cut])
    damaged = bytearray(saved)
    for _ in range(data.draw(st.integers(1, 3))):
        damaged[data.draw(st.integers(0, len(saved) - 1))] ^= data.draw(st.integers(1, 255))
    try:
        native = NativeIndex.from_saved(damaged)
    except CorruptIndexError:
        return
    # What loads answers, and answers as the extension does on the same bytes.
    extension = PrefixSearch.from_bytes(bytes(damaged))
    for term in ["", "a", "ab", "中é"]:
        assert native.search(term, 2, None, True, 0.0, False) == extension.fuzzy_match_video(
            term, 2, None, True, 0.0
        )
        assert sorted((t, d) for t, d, _ in native.suggest(term, 2, None, False)) == sorted(
            (t, d) for t, _, d in extension.fuzzy_match(term, 2)
        )
        for node, *_ in native.match_nodes(term, 2, False, False):
            native.node_videos(node)


def test_four_threads_query_one_index_at_once():
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
    assert native.pooled_nodes(term, max_dist, 3, prefix, True) == matching.pooled_nodes(
        model, term, max_dist, prefix, 3, matching.optimal_string_alignment
    )
    assert native.search_many([term], max_dist, None, prefix, None, True, 2) == [
        native.search(term, max_dist, None, prefix, None, True)
    ]
