"""Indexes that contradict themselves: `Index.load` (and
`Index.from_prefix_search`) refuse them in plain words, what the package's
builders make always loads, and whatever loads answers within the
documented bounds. `PrefixSearch.from_bytes` keeps loading them all."""

from __future__ import annotations

import os
import re

import pytest
from hypothesis import event, given, settings
from hypothesis import strategies as st
from samples import UUIDS, index_file

from _tessarin import PrefixSearch
from tessarin import CorruptIndexError, Index, IndexBuilder
from tessarin._native import ErrorKind
from tessarin.storage.container import Metadata
from tessarin_reference.model import INT32, UUID, ModelTrie, holds_together
from tessarin_reference.saved_form import encode
from tessarin_reference.strategies import build_args, crafted_tries

# The fuzzer's examples per run of the suite; raise it for a longer hunt.
EXAMPLES = int(os.environ.get("TESSARIN_CONTRADICTION_EXAMPLES", "300"))


def file_of(trie: ModelTrie) -> bytes:
    """A valid index file (header, checksum, metadata) around the trie."""
    saved = encode(trie)
    ints = trie.id_mode == INT32
    metadata = Metadata(
        nodes=len(trie.child_labels),
        terms=sum(1 for t in trie.is_terminal if t),
        videos=len(trie.video_int_ids if ints else trie.video_uuids),
        id_mode="int" if ints else "uuid",
    )
    return index_file(metadata, saved)


def cart(**changes) -> ModelTrie:
    """root -> c -> a -> {r, t}: the terms car and cat, videos 100 and 200."""
    fields = dict(
        node_shifts=[0, 1, 2, 4, 4],
        child_labels=[0, ord("c"), ord("a"), ord("r"), ord("t")],
        child_transitions=[1, 2, 3, 4],
        payloads=[(10, [0, 1], [6, 4])] * 3 + [(4, [1], [4]), (6, [0], [6])],
        video_uuids=[],
        video_int_ids=[100, 200],
        id_mode=INT32,
        is_terminal=[0, 0, 0, 1, 1],
    )
    fields.update(changes)
    return ModelTrie(**fields)


def answers(index: Index) -> tuple:
    return index.suggest("cat", 1), index.search("ca", 1, prefix=True), index.match_nodes("ca", 1)


@pytest.mark.parametrize(
    ("trie", "message"),
    [
        (
            cart(payloads=[(10, [0, 1], [6, 4])] * 3 + [(4, [1], [4]), (1, [0], [236])]),
            "the payload of node 4 counts 236 for a video, above its total of 1",
        ),
        (
            cart(payloads=[(10, [0, 1], [6, 4])] * 3 + [(4, [1], [4]), (6, [0, 0], [3, 3])]),
            "the payload of node 4 lists video position 0 twice",
        ),
        (cart(video_int_ids=[300, 300]), "video positions 0 and 1 hold the same identifier"),
        (
            cart(child_labels=[0, ord("c"), ord("a"), ord("t"), ord("t")]),
            "two children of node 2 have the label U\\+0074",
        ),
        (cart(id_mode=UUID), "the video table that the id mode leaves unused has 2 entries"),
        (
            cart(node_shifts=[0, 1, 2, 3, 3], child_transitions=[1, 2, 3]),
            "node 4 is not reached from the root",
        ),
        (
            cart(payloads=[(10, [0, 1], [6, 4])] * 3 + [None, (6, [0], [6])]),
            "node 3 ends a term but has no payload",
        ),
        (cart(child_transitions=[1, 2, 3, 3]), "node 3 is listed as a child twice"),
    ],
)
def test_contradictions_are_refused_in_plain_words(trie, message, tmp_path):
    path = tmp_path / "odd.idx"
    path.write_bytes(file_of(trie))
    said = f"^{re.escape(str(path))}: the saved index does not hold together: {message}$"
    with pytest.raises(CorruptIndexError, match=said) as raised:
        Index.load(path)
    assert raised.value.kind is ErrorKind.DAMAGED
    PrefixSearch.from_bytes(encode(trie))  # the extension keeps its tolerance


def test_what_changes_no_answer_loads():
    base = Index.load(file_of(cart()))
    # A root label is never read.
    assert answers(
        Index.load(file_of(cart(child_labels=[ord("x"), *cart().child_labels[1:]])))
    ) == answers(base)
    # A position outside the table names no video: left out, as by the extension.
    outside = Index.load(file_of(cart(video_int_ids=[100])))
    assert outside.search("ca", 1, prefix=True) == [("100", 0.6)]
    assert outside.node_videos(2) == [("100", 6)]
    # No nodes: an index that answers nothing.
    empty = cart(node_shifts=[], child_labels=[], child_transitions=[], payloads=[], is_terminal=[])
    assert answers(Index.load(file_of(empty))) == ([], [], [])
    # Children without a label hide their subtrees, however many.
    hidden = Index.load(file_of(cart(child_labels=[0, ord("c"), ord("a"), 0, 0])))
    assert hidden.suggest("cat", 1) == [] and len(hidden) == 2


def test_from_prefix_search_refuses_what_load_would():
    # A pipeline's arrays with two children labelled "t": the extension
    # answers "cat" twice; as an Index, it could never be saved and loaded.
    args = (
        [0, 1, 2, 4, 4],
        ["", "c", "a", "t", "t"],
        [None] * 3 + [(1, [0], [1])] * 2,
        [1, 2, 3, 4],
        [],
        5,
    )
    extension = PrefixSearch.from_internal_data_v2(*args)
    assert [t for t, _, _ in extension.fuzzy_match("cat", 0)] == ["cat", "cat"]
    with pytest.raises(
        CorruptIndexError, match="two children of node 2 have the label U\\+0074"
    ) as raised:
        Index.from_prefix_search(extension)
    assert raised.value.kind is ErrorKind.DAMAGED


terms = st.text("abé中", min_size=1, max_size=4)
counts = st.integers(0, 20) | st.sampled_from([2**32 - 2, 2**32 - 1])
records = st.lists(
    st.tuples(terms, st.integers(0, 6) | st.just(2**32 - 1), counts), max_size=30
) | st.lists(st.tuples(terms, st.sampled_from(UUIDS), counts), max_size=30)


@settings(max_examples=150, deadline=None)
@given(build_args(sound=True) | build_args(sound=True, big_counts=True), records)
def test_what_the_builders_make_always_loads(args, records):
    made = [
        Index.from_prefix_search(PrefixSearch.from_internal_data_v2(*args)),
        Index.build(records),
    ]
    builder = IndexBuilder()
    builder.add_many(records)
    made.append(Index.from_prefix_search(builder.build()))
    for index in made:
        assert Index.load(index.to_bytes()).to_bytes() == index.to_bytes()


def assert_within_bounds(index: Index, term: str, max_dist: int) -> None:
    """Scores in [0, 1], nothing twice in a result, node reports that agree."""
    for prefix in (None, True, False):
        found = index.search(term, max_dist, prefix=prefix, min_score=0.0)
        assert all(0.0 <= score <= 1.0 for _, score in found)
        assert len({video for video, _ in found}) == len(found)
    suggestions = index.suggest(term, max_dist)
    assert len({s.term for s in suggestions}) == len(suggestions)
    nodes = index.match_nodes(term, max_dist)
    assert len({m.node for m in nodes}) == len({m.term for m in nodes}) == len(nodes)
    for match in nodes:
        videos = index.node_videos(match.node)
        assert len({video for video, _ in videos}) == len(videos)
        assert all(count <= match.total_count for _, count in videos)
    pooled = index.pooled_nodes(term, max_dist, prefix=True)
    assert {p.node for p in pooled} <= {m.node for m in nodes}
    assert len({p.node for p in pooled}) == len(pooled)
    assert all(0.0 <= p.weight <= 1.0 for p in pooled)


@settings(max_examples=EXAMPLES, deadline=None)
@given(
    crafted_tries(),
    st.lists(st.text("abé中r", max_size=3), min_size=1, max_size=3),
    st.integers(0, 3),
)
def test_a_valid_file_around_any_payload_is_refused_or_answers_within_bounds(
    trie, queries, max_dist
):
    data = file_of(trie)
    event("refused" if not holds_together(trie) else "loaded")
    if not holds_together(trie):
        with pytest.raises(
            CorruptIndexError, match=r"^the saved index does not hold together: "
        ) as raised:
            Index.load(data)
        assert raised.value.kind is ErrorKind.DAMAGED
        return
    index = Index.load(data)
    for term in queries:
        assert_within_bounds(index, term, max_dist)
