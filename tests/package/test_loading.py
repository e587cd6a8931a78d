"""tessarin.Index: loading and saving index files, and what a Python
object is expected to do (pickle, copy, weak references, plain errors)."""

from __future__ import annotations

import copy
import fractions
import mmap
import pickle
import warnings
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessarin
from tessarin import (
    CorruptIndexError,
    Index,
    IndexFormatError,
    NotAnIndexError,
    PrefixSearch,
    Suggestion,
    TessarinError,
    UncheckedIndexWarning,
    VideoMatch,
    defaults,
)
from tessarin._native import ErrorKind
from tessarin.storage import container

RECORDS = [("cat", 600, 6), ("cat", 300, 4), ("car", 300, 20), ("cart", 700, 3), ("the", 9, 5)]
INDEX = Index.build(RECORDS, video_top_n=3)
FILE = INDEX.to_bytes()


def same_answers(index: Index) -> bool:
    return all(
        index.suggest(q, 2) == INDEX.suggest(q, 2) and index.search(q) == INDEX.search(q)
        for q in ["cat", "czt", "ca", "th", ""]
    )


@pytest.mark.parametrize(
    "source",
    [bytes, bytearray, memoryview, "path", "pathlib", "mmap"],
    ids=lambda s: s if isinstance(s, str) else s.__name__,
)
def test_loads_from_every_kind_of_source(tmp_path, source):
    path = tmp_path / "i.idx"
    INDEX.save(path)
    assert path.read_bytes() == FILE
    if source == "path":
        loaded = Index.load(str(path))
    elif source == "pathlib":
        loaded = Index.load(path)
    elif source == "mmap":
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            loaded = Index.load(m)
    else:
        loaded = Index.load(source(FILE))
    assert same_answers(loaded) and loaded.metadata == INDEX.metadata


def test_results_and_counts():
    assert INDEX.suggest("cat", 1, 2) == [Suggestion("cat", 0, 10), Suggestion("car", 1, 20)]
    assert INDEX.search("czt") == [VideoMatch("600", pytest.approx(0.6)), VideoMatch("300", 0.4)]
    assert (len(INDEX), INDEX.node_count, INDEX.video_count, INDEX.id_mode) == (4, 9, 4, "int")
    assert INDEX.video_top_n == 3 and INDEX.memory_bytes > 0
    assert repr(INDEX).startswith("<tessarin.Index: 4 terms, 9 nodes, 4 videos (int)")
    [node] = INDEX.match_nodes("ca", 0)
    assert (node.term, node.is_terminal, node.total_count) == ("ca", False, 33)
    assert INDEX.node_videos(node.node) == [("300", 24), ("600", 6), ("700", 3)]
    assert INDEX.suggest_many(["cat", "th"], threads=2) == [
        INDEX.suggest("cat"),
        INDEX.suggest("th"),
    ]
    assert INDEX.search_many(["czt"], threads=1) == [INDEX.search("czt")]


@settings(max_examples=300, deadline=None)
@given(st.integers(0, len(FILE) * 8 - 1))
def test_a_flipped_bit_anywhere_never_answers(bit):
    damaged = bytearray(FILE)
    damaged[bit // 8] ^= 1 << (bit % 8)
    with pytest.raises(TessarinError):
        Index.load(damaged)


@settings(max_examples=300, deadline=None)
@given(
    st.binary(max_size=64)
    | st.builds(lambda cut: INDEX.to_prefix_search().to_bytes()[:cut], st.integers(0, 200))
)
def test_bare_bytes_raise_only_package_errors(data):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UncheckedIndexWarning)
        try:
            index = Index.load(data)
        except TessarinError:
            return
    index.suggest("cat", 3)
    index.search("ca", 3)


def test_bare_saved_forms_load_with_a_warning(tmp_path):
    saved = INDEX.to_prefix_search().to_bytes()
    with pytest.warns(UncheckedIndexWarning, match="no checksum") as caught:
        loaded = Index.load(saved)
    assert caught[0].filename == __file__  # points at the caller
    assert same_answers(loaded) and loaded.metadata.builder == ""
    with pytest.raises(NotAnIndexError, match="nor a saved index"):
        Index.load(b"\x7fELF and so on")
    # A saved form with damage is one, damaged: not "not an index".
    with pytest.raises(CorruptIndexError, match="1 bytes after its end") as raised:
        Index.load(saved + b"\0")
    assert not isinstance(raised.value, NotAnIndexError)
    # From a file, the message names it and the error keeps the core's kind.
    (tmp_path / "bare").write_bytes(saved + b"\0")
    with pytest.raises(CorruptIndexError, match=r"^/.*bare: the saved") as raised:
        Index.load(tmp_path / "bare")
    assert raised.value.kind is ErrorKind.DAMAGED


@pytest.mark.parametrize(
    ("change", "error", "message"),
    [
        (lambda b: b[:8] + b"\x02" + b[9:], IndexFormatError, "later release"),
        (lambda b: b[:-1], CorruptIndexError, "truncated"),
        (lambda b: b + b"x", CorruptIndexError, "followed by bytes"),
        (lambda b: b"", NotAnIndexError, "no index file header|empty"),
    ],
)
def test_damaged_files_name_the_damage(tmp_path, change, error, message):
    path = tmp_path / "bad.idx"
    path.write_bytes(change(FILE))
    with pytest.raises(error, match=message) as raised:
        Index.load(path)
    assert str(raised.value).startswith(str(path))
    assert issubclass(error, TessarinError) and issubclass(TessarinError, Exception)


def test_an_unknown_normalisation_is_refused():
    metadata = container.Metadata.from_mapping(
        {**INDEX.metadata.__dict__, "normalization": "from-the-future"}
    )
    payload = INDEX.to_prefix_search().to_bytes()
    data = container.container_header(metadata, payload) + payload
    with pytest.raises(IndexFormatError, match="normalisation 'from-the-future'"):
        Index.load(data)


def test_pickles_copies_and_weak_references():
    assert same_answers(pickle.loads(pickle.dumps(INDEX)))
    assert copy.copy(INDEX) is INDEX and copy.deepcopy(INDEX) is INDEX
    assert weakref.ref(INDEX)() is INDEX
    with pytest.raises(AttributeError):
        INDEX.anything = 1
    prefix_search = tessarin.build_index(RECORDS)
    for clone in [pickle.loads(pickle.dumps(prefix_search)), copy.deepcopy(prefix_search)]:
        assert isinstance(clone, PrefixSearch) and clone.to_bytes() == prefix_search.to_bytes()


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
