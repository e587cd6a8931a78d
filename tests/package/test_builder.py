"""The index builder: layout, aggregation, errors, and the index it builds."""

import datetime
import enum
import fnmatch
import hashlib
import random
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessarin import Index, IndexBuilder, PrefixSearch, RecordError, build_index, video_id
from tessarin.building.exclusions import Exclusions
from tessarin.building.records import U32_MAX
from tessarin_reference import matching, model, saved_form
from tessarin_reference.saved_format import read_saved, summarize
from tessarin_reference.strategies import build_args

UUIDS = [uuid.UUID(int=(k + 1) * 0x0123456789ABCDEF0123456789ABCDEF % 2**128) for k in range(4)]

# ------------------------------------------------------------------ models


def children(arrays, node):
    shifts, transitions = arrays.node_shifts, arrays.child_transitions
    end = shifts[node + 1] if node + 1 < len(shifts) else len(transitions)
    return transitions[shifts[node] : end]


def terms_of(arrays):
    """{term: payload} read back from the arrays, walking the trie."""
    found = {}
    stack = [(0, "")]
    while stack:
        node, term = stack.pop()
        if arrays.payloads[node] is not None:
            found[term] = arrays.payloads[node]
        for child in children(arrays, node):
            stack.append((child, term + arrays.child_labels[child]))
    return found


def aggregate(records):
    """{term: (total, {identifier key: count})}, the plain way."""
    out = {}
    for term, video, count in records:
        key = video.bytes if isinstance(video, uuid.UUID) else video
        total, videos = out.get(term, (0, {}))
        videos[key] = videos.get(key, 0) + count
        out[term] = (total + count, videos)
    return out


def key_of(arrays, position):
    entry = arrays.video_index[position]
    return int.from_bytes(entry, "little") if len(entry) == 4 else entry


# ------------------------------------------------------------- strategies

ALPHABET = "abé中😀"
terms = st.text(ALPHABET, min_size=1, max_size=4)
counts = st.integers(0, 20) | st.sampled_from([0, U32_MAX - 1, U32_MAX])
int_records = st.lists(st.tuples(terms, st.integers(0, 6) | st.just(U32_MAX), counts), max_size=40)
uuid_records = st.lists(
    st.tuples(terms, st.sampled_from(UUIDS) | st.sampled_from([u.bytes for u in UUIDS]), counts),
    max_size=40,
)
records_strategy = int_records | uuid_records


# ----------------------------------------------------------------- layout


def test_hand_checked_layout():
    builder = IndexBuilder()
    builder.add("cat", 7, 3)
    builder.add_many([("cat", 9, 1), ("car", 7, 2), ("dog", 9, 5), ("cat", 7, 1)])
    arrays = builder.arrays(video_top_n=4)
    # Breadth-first: "", c, d, ca, do, car, cat, dog.
    assert arrays.child_labels == ["", "c", "d", "a", "o", "r", "t", "g"]
    assert arrays.child_transitions == [1, 2, 3, 4, 5, 6, 7]
    assert arrays.node_shifts == [0, 2, 3, 4, 6, 7, 7, 7]
    assert arrays.payloads == [None] * 5 + [(2, [0], [2]), (5, [0, 1], [4, 1]), (5, [1], [5])]
    assert arrays.video_index == [b"\x07\0\0\0", b"\x09\0\0\0"]
    assert arrays.video_top_n == 4
    assert (builder.records, builder.terms, builder.videos, builder.id_mode) == (5, 3, 2, "int")


def test_a_term_that_prefixes_another_is_an_inner_terminal_node():
    arrays = IndexBuilder().arrays()
    assert arrays == ([0], [""], [None], [], [], 10)
    builder = IndexBuilder()
    builder.add_many([("ab", UUIDS[0], 2), ("a", UUIDS[1], 1)])
    arrays = builder.arrays()
    assert arrays.child_labels == ["", "a", "b"]
    assert arrays.payloads == [None, (1, [1], [1]), (2, [0], [2])]
    assert arrays.video_index == [UUIDS[0].bytes, UUIDS[1].bytes]


@settings(max_examples=200, deadline=None)
@given(records_strategy)
def test_layout_and_aggregation_against_plain_python(records):
    builder = IndexBuilder()
    builder.add_many(records)
    arrays = builder.arrays(video_top_n=3)
    n = len(arrays.child_labels)
    # A tree numbered so that every child comes after its parent, every node
    # but the root reached once, sibling labels distinct, one character each.
    parents = {}
    for node in range(n):
        kids = children(arrays, node)
        assert len({arrays.child_labels[k] for k in kids}) == len(kids)
        for child in kids:
            assert child > node and child not in parents
            parents[child] = node
    assert sorted(parents) == list(range(1, n))
    assert arrays.child_labels[0] == "" and all(
        len(label) == 1 for label in arrays.child_labels[1:]
    )
    # The video table: every distinct identifier once, sorted.
    keys = [key_of(arrays, p) for p in range(len(arrays.video_index))]
    expected = aggregate(records)
    assert keys == sorted({k for _, videos in expected.values() for k in videos})
    # Every term a terminal node, with its summed counts, best video first.
    found = terms_of(arrays)
    assert found.keys() == expected.keys()
    for term, (total, ids, sums) in found.items():
        want_total, want_videos = expected[term]
        assert total == min(want_total, U32_MAX)
        assert {key_of(arrays, p): c for p, c in zip(ids, sums, strict=True)} == {
            k: min(c, U32_MAX) for k, c in want_videos.items()
        }
        assert sums == sorted(sums, reverse=True)
    # Order of records does not matter.
    shuffled = list(records)
    random.Random(len(records)).shuffle(shuffled)
    again = IndexBuilder()
    again.add_many(shuffled)
    assert again.arrays(video_top_n=3) == arrays


@settings(max_examples=100, deadline=None)
@given(records_strategy, st.integers(0, 4))
def test_built_index_matches_the_models(records, top_n):
    builder = IndexBuilder()
    builder.add_many(records)
    arrays = builder.arrays(video_top_n=top_n)
    index = builder.build(video_top_n=top_n)
    trie = model.build_model(*arrays)
    saved = index.to_bytes()
    assert saved == saved_form.encode(trie)
    summary = summarize(saved)
    assert (summary.nodes, summary.terms, summary.videos) == (
        len(arrays.child_labels),
        builder.terms,
        builder.videos,
    )
    for query in ["a", "ab", "é中", "😀b", "abab"]:
        assert index.fuzzy_match(query, 2) == matching.fuzzy_match(trie, query, 2)
        assert index.fuzzy_match_video(query, 1) == matching.fuzzy_match_video(trie, query, 1)


def test_worked_ranking_example():
    index = build_index([("cat", 600, 6), ("cat", 300, 4), ("car", 300, 20)])
    (first, s1), (second, s2) = index.fuzzy_match_video("cat")
    assert (first, second) == ("600", "300")
    assert s1 == pytest.approx(0.5625) and s2 == pytest.approx(0.4375)
    assert [video_id(v) for v, _ in index.fuzzy_match_video("cat")] == [600, 300]


def test_leaf_payloads_keep_their_best_videos_when_cut():
    # A leaf is not re-sorted by propagation: its own order decides the cut.
    records = [("solo", v, c) for v, c in [(1, 1), (2, 9), (3, 5), (4, 7)]]
    index = build_index(records, video_top_n=2)
    assert [video_id(v) for v, _ in index.fuzzy_match_video("solo", 0)] == [2, 4]


def test_equal_counts_break_ties_by_identifier():
    arrays = IndexBuilder()
    arrays.add_many([("t", 9, 1), ("t", 3, 1), ("t", 5, 2)])
    assert arrays.arrays().payloads[1] == (4, [1, 0, 2], [2, 1, 1])


# ------------------------------------------------------- identifiers, counts


class Colour(enum.IntEnum):
    RED = 7


def test_identifier_forms_and_deduplication():
    u = UUIDS[0]
    builder = IndexBuilder()
    builder.add_many([("a", u, 1), ("a", u.bytes, 2), ("a", bytearray(u.bytes), 3)])
    builder.add("b", memoryview(u.bytes), 4)
    assert builder.videos == 1 and builder.id_mode == "uuid"
    index = builder.build()
    assert index.fuzzy_match_video("a", 0) == [(str(u), 1.0)]
    assert video_id(str(u)) == u
    ints = IndexBuilder()
    ints.add_many([("a", Colour.RED, 1), ("a", 7, True and 1), ("b", 0, 0), ("b", U32_MAX, 2)])
    assert ints.videos == 3 and ints.arrays().video_index[-1] == b"\xff\xff\xff\xff"
    assert video_id(ints.build().fuzzy_match_video("b", 0)[0][0]) == U32_MAX


def test_numpy_integers_are_accepted():
    np = pytest.importorskip("numpy")
    builder = IndexBuilder()
    builder.add_many([("a", np.uint32(5), np.int64(3))])
    assert builder.arrays().payloads[1] == (3, [0], [3])


def test_sums_saturate_at_u32_max():
    builder = IndexBuilder()
    builder.add_many([("a", 1, U32_MAX), ("a", 1, U32_MAX), ("a", 2, 5)])
    assert builder.arrays().payloads[1] == (U32_MAX, [0, 1], [U32_MAX, 5])


# ----------------------------------------------------------------- errors

BAD_RECORDS = [
    (("", 1, 1), ValueError, r"the term is empty"),
    (("a\x00b", 1, 1), ValueError, r"U\+0000"),
    (("a\ud800", 1, 1), ValueError, r"lone surrogate"),
    ((5, 1, 1), TypeError, r"the term must be a str, not int"),
    ((None, 1, 1), TypeError, r"the term must be a str, not NoneType"),
    (
        ("a", "7", 1),
        TypeError,
        r"video identifier must be a uuid.UUID, 16 bytes or an int .*not str",
    ),
    (("a", 1.0, 1), TypeError, r"not float"),
    (("a", True, 1), TypeError, r"not bool"),
    (("a", None, 1), TypeError, r"not NoneType"),
    (("a", -1, 1), ValueError, r"the video identifier -1 is outside 0\.\.4294967295"),
    (("a", 2**32, 1), ValueError, r"the video identifier 4294967296 is outside"),
    (("a", b"1234", 1), ValueError, r"must be 16 bytes long, not 4"),
    (("a", 1, -1), ValueError, r"the count -1 is outside 0\.\.4294967295"),
    (("a", 1, 2**32), ValueError, r"the count 4294967296 is outside"),
    (("a", 1, 1.5), TypeError, r"the count must be an int, not float"),
    (("a", 1, "3"), TypeError, r"the count must be an int, not str"),
    (("a", 1, False), TypeError, r"the count must be an int, not bool"),
    (("a", 1), TypeError, r"expected a \(term, video, count\) tuple"),
    (("a", 1, 1, 1), TypeError, r"expected a \(term, video, count\) tuple"),
    (7, TypeError, r"expected a \(term, video, count\) tuple"),
]


@pytest.mark.parametrize("record, error, message", BAD_RECORDS)
def test_bad_record_is_named_and_leaves_the_builder_unchanged(record, error, message):
    builder = IndexBuilder()
    builder.add_many([("keep", 3, 2), ("other", 4, 1)])
    before = builder.arrays()
    with pytest.raises(error, match=r"^record 3 .*: .*" + message):
        builder.add_many([record, ("never", 5, 1)])
    assert builder.records == 2 and builder.arrays() == before
    builder.add("after", 5, 1)
    assert builder.records == 3 and builder.terms == 3


@pytest.mark.parametrize(
    "first, second, holds",
    [((1, 1), (UUIDS[0], 1), "integers"), ((UUIDS[0].bytes, 1), (2, 1), "UUIDs")],
)
def test_mixed_identifier_kinds(first, second, holds):
    builder = IndexBuilder()
    builder.add("a", *first)
    with pytest.raises(ValueError, match=rf"^record 2 .*mixed video identifier kinds: .*{holds}"):
        builder.add("b", *second)
    assert builder.terms == 1


def test_a_rejected_first_video_fixes_no_kind():
    builder = IndexBuilder()
    with pytest.raises(ValueError):
        builder.add("new term", 2**40, 1)
    assert builder.id_mode is None
    builder.add("a", UUIDS[0], 1)
    assert builder.id_mode == "uuid"


def test_errors_of_the_iterable_itself_pass_through():
    def records():
        yield ("a", 1, 1)
        raise RuntimeError("source broke")

    builder = IndexBuilder()
    with pytest.raises(RuntimeError, match="source broke"):
        builder.add_many(records())
    assert builder.records == 1


@pytest.mark.parametrize("top_n, error", [(-1, ValueError), (True, TypeError), (2.0, TypeError)])
def test_bad_video_top_n(top_n, error):
    with pytest.raises(error, match="video_top_n"):
        IndexBuilder().build(video_top_n=top_n)


# ------------------------------------------------------------ saved format


@settings(max_examples=150, deadline=None)
@given(build_args(max_nodes=10))
def test_saved_format_reader_agrees_with_the_model(args):
    saved = PrefixSearch.from_internal_data_v2(*args).to_bytes()
    trie, size = saved_form.decode(saved)
    read = read_saved(saved + b"tail")
    assert read.size == size == len(saved)
    for field in ["node_shifts", "child_labels", "child_transitions", "payloads", "id_mode"]:
        assert getattr(read, field) == getattr(trie, field)
    assert read.video_uuids == trie.video_uuids and read.video_int_ids == trie.video_int_ids
    assert read.is_terminal == trie.is_terminal
    summary = summarize(saved)
    assert summary.nodes == len(trie.child_labels) and summary.size == size
    assert summary.terms == sum(trie.is_terminal)


def test_saved_format_reader_refuses_every_truncation():
    saved = build_index([("cat", 1, 300), ("cart", 70000, 2), ("çé", 9, 1)]).to_bytes()
    for cut in range(len(saved)):
        with pytest.raises(ValueError):
            read_saved(saved[:cut])
        with pytest.raises(ValueError):
            summarize(saved[:cut])


def test_docstring_examples():
    import doctest

    import tessarin.building.index_builder

    assert doctest.testmod(tessarin.building.index_builder).failed == 0


# ------------------------------------------------- kept out, rare and old


@settings(max_examples=300, deadline=None)
@given(
    st.lists(st.text("ab-]![*?é", min_size=1, max_size=4), max_size=12, unique=True),
    st.lists(st.text("ab-]![*?é", max_size=6), max_size=3),
)
def test_excluded_terms_are_exactly_those_fnmatch_matches(terms, entries):
    builder = IndexBuilder(exclude=entries)
    builder.add_many((term, k, 1) for k, term in enumerate(terms))
    wild = set("*?[")
    kept = {
        t
        for t in terms
        if not any(fnmatch.fnmatchcase(t, e) if wild & set(e) else t == e for e in entries if e)
    }
    assert set(terms_of(builder.arrays())) == kept
    assert builder.excluded_records == builder.excluded_terms == len(terms) - len(kept)
    assert builder.records == len(kept)


HALF_LIFE = datetime.timedelta(days=7)
AS_OF = datetime.datetime(2026, 3, 1, tzinfo=datetime.timezone.utc)


@pytest.mark.parametrize(
    "when, units",
    [
        (AS_OF + HALF_LIFE, 1000),  # after as_of: age 0
        (AS_OF, 1000),
        (AS_OF - HALF_LIFE, 500),
        ("2026-02-15", 250),  # two half-lives, as ISO text
        (int((AS_OF - 3 * HALF_LIFE).timestamp()), 125),  # Unix seconds
        (int((AS_OF - HALF_LIFE / 7).timestamp() * 1000), 906),  # milliseconds: 2^(-1/7)
        (AS_OF.date() - 10 * HALF_LIFE, 1),  # 0.977 of a unit, rounded up
        (AS_OF - 11 * HALF_LIFE, 0),  # 0.488: nothing
    ],
)
def test_a_search_weighs_two_to_the_minus_its_age_in_half_lives(when, units):
    index = Index.build([("cat", 1, 3, when)], half_life="7d", as_of=AS_OF)
    assert index.suggest("cat")[0].count == 3 * units


def test_weighed_sums_saturate_and_the_metadata_says_how_counts_were_made(tmp_path):
    (tmp_path / "blocked.txt").write_text("dog\n\n  rat*  \n")
    builder = IndexBuilder(
        half_life=HALF_LIFE,
        as_of="2026-03-01T00:00:00Z",
        exclude=Exclusions.from_file(tmp_path / "blocked.txt"),
        min_count=2,
    )
    builder.add_many([("cat", 1, U32_MAX, AS_OF), ("cat", 1, 1, AS_OF), ("rats", 2, 9, AS_OF)])
    builder.add("cow", 3, 1, AS_OF)  # 1 search: below min_count
    index = Index.load(builder.index().to_bytes())
    assert index.suggest("cat") == [("cat", 0, U32_MAX)]
    assert (index.metadata.terms, index.metadata.videos) == (1, 1)  # rats and cow left
    assert index.metadata.build_options == {
        "half_life": "7d",
        "as_of": "2026-03-01T00:00:00Z",
        "count_scale": 1000,
        "min_count": 2,
        "exclude_entries": 2,
        "exclude_sha256": hashlib.sha256(b"dog\n\n  rat*  \n").hexdigest(),
    }
    assert Exclusions.of(["dog", "rat*"]).sha256 == hashlib.sha256(b"dog\nrat*\n").hexdigest()


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"half_life": "7x"}, ValueError, "half_life must be a duration such as 7d"),
        ({"half_life": 0}, ValueError, "half_life must be a positive duration"),
        ({"half_life": True}, TypeError, "half_life must be a duration"),
        ({"as_of": "2026-01-01"}, ValueError, "as_of is the time that ages are measured from"),
        ({"half_life": "1d", "as_of": "Monday"}, ValueError, "as_of must be ISO 8601 text"),
        ({"half_life": "1d", "as_of": 1.5}, TypeError, "as_of must be a datetime"),
        ({"min_count": -1}, ValueError, "min_count must be 0 or more"),
        ({"min_count": "3"}, TypeError, "min_count must be an integer"),
        ({"exclude": "cat"}, TypeError, "exclude must be a list"),
        ({"exclude": ["cat", 1]}, TypeError, r"exclude\[1\] must be a str"),
    ],
)
def test_bad_builder_options_are_plain_errors(options, error, message):
    with pytest.raises(error, match=message):
        IndexBuilder(**options)


@pytest.mark.parametrize(
    "options, record, error, message",
    [
        ({"half_life": "1d"}, ("cat", 1, 1, AS_OF), ValueError, "give as_of"),
        (
            {"half_life": "1d", "as_of": AS_OF},
            ("cat", 1, 1),
            TypeError,
            r"record 2 .* time\) tuple",
        ),
        (
            {"half_life": "1d", "as_of": AS_OF},
            ("cat", 1, 1, "soon"),
            RecordError,
            "record 2 .*soon",
        ),
        ({"exclude": ["dog"]}, ("cat", "x", 1), TypeError, "record 2 "),  # numbered past dog's
    ],
)
def test_bad_timed_records_are_named(options, record, error, message):
    builder = IndexBuilder(**options)
    if "as_of" in options or "exclude" in options:
        builder.add("dog", 1, 1, *(() if "exclude" in options else (AS_OF,)))
    with pytest.raises(error, match=message):
        builder.add_many([record])
