"""PrefixSearch.fuzzy_match against a brute-force model, and its edge cases."""

import string

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _tessarin import PrefixSearch
from tessarin_reference import matching
from tessarin_reference.hostile import Index, panic_type
from tessarin_reference.model import ModelTrie, build_model, layout_terms
from tessarin_reference.strategies import ALPHABET, build_args

build = PrefixSearch.from_internal_data_v2

QUERY_CHARS = [c for c in ALPHABET if c] + ["d", "A"]
queries = st.text(alphabet=st.sampled_from(QUERY_CHARS), max_size=6)


def index_of(terms):
    """An index over (term, payload) pairs laid out as a trie."""
    shifts, labels, payloads, transitions = layout_terms(terms)
    return build(shifts, labels, payloads, transitions, [], 5)


def terms(*words):
    return index_of([(w, (1, [], [])) for w in words])


# ---------------------------------------------------------------- the model


@settings(max_examples=300, deadline=None)
@given(
    args=build_args(), term=queries, max_dist=st.integers(0, 4), limit=st.none() | st.integers(0, 4)
)
def test_matches_brute_force(args, term, max_dist, limit):
    index, model = build(*args), build_model(*args)
    assert index.fuzzy_match(term, max_dist, limit) == matching.fuzzy_match(
        model, term, max_dist, limit
    )


@st.composite
def long_words_and_query(draw):
    """A few words of 55 to 75 characters and a query near one of them."""
    words = draw(
        st.lists(st.text(alphabet="abc", min_size=55, max_size=75), min_size=1, max_size=4)
    )
    query = list(draw(st.sampled_from(words)))
    for _ in range(draw(st.integers(0, 4))):
        at = draw(st.integers(0, len(query)))
        kind = draw(st.sampled_from(["insert", "delete", "replace"]))
        if kind == "insert" or at == len(query):
            query.insert(at, draw(st.sampled_from("abcd")))
        elif kind == "delete":
            del query[at]
        else:
            query[at] = draw(st.sampled_from("abcd"))
    return words, "".join(query)


def brute_force(words, query, max_dist):
    """The model's fuzzy_match over the trie that index_of(words) lays out."""
    shifts, labels, payloads, transitions = layout_terms([(w, (1, [], [])) for w in words])
    model = ModelTrie(
        shifts,
        [ord(c) if c else 0 for c in labels],
        transitions,
        payloads,
        [],
        [],
        0,
        [0 if p is None else 1 for p in payloads],
    )
    return matching.fuzzy_match(model, query, max_dist)


@settings(max_examples=150, deadline=None)
@given(case=long_words_and_query(), max_dist=st.integers(0, 5))
def test_long_queries_match_brute_force(case, max_dist):
    # Past 63 characters the walk leaves its bit-parallel rows for banded ones.
    words, query = case
    index = index_of([(w, (1, [], [])) for w in words])
    assert index.fuzzy_match(query, max_dist) == brute_force(words, query, max_dist)


@settings(max_examples=150, deadline=None)
@given(
    args=build_args(),
    term=st.text(alphabet=st.sampled_from(QUERY_CHARS), min_size=9, max_size=12),
    max_dist=st.integers(9, 14),
)
def test_large_bounds_match_brute_force(args, term, max_dist):
    # Bounds beyond the bit-parallel rows' reach take the banded rows.
    index, model = build(*args), build_model(*args)
    assert index.fuzzy_match(term, max_dist) == matching.fuzzy_match(model, term, max_dist)


@settings(max_examples=200, deadline=None)
@given(args=build_args(tree=False), term=queries, max_dist=st.integers(0, 3))
def test_non_tree_child_lists_follow_paths_or_fail(args, term, max_dist):
    # Shared children are reported once per path; once a walk examines more
    # child entries than the index holds, the call fails instead of running
    # on (a cycle or repeated sharing could make it exponential).
    index, model = build(*args), build_model(*args)
    try:
        found, _ = matching.walk(model, term, max_dist, terminal_only=True)
    except matching.NotATree:
        with pytest.raises(panic_type(), match=r"do not form a tree"):
            index.fuzzy_match(term, max_dist)
        return
    assert index.fuzzy_match(term, max_dist) == [(text, 1, d) for _, d, text in found]


@settings(max_examples=200, deadline=None)
@given(args=build_args(), term=queries, max_dist=st.integers(0, 3))
def test_pruned_walk_model_agrees_with_brute_force(args, term, max_dist):
    model = build_model(*args)
    found, _ = matching.walk(model, term, max_dist)
    assert [(n, d) for n, d, _ in found] == matching.fuzzy_match_nodes(model, term, max_dist, False)


# ---------------------------------------------------------------- examples


def test_cat_rows():
    # Rows along b-a-t: 1 1 2 3, 2 2 1 2, 3 3 2 1; along c-a-t they end in 0.
    # A child x of bat gets 4 4 3 2 and is pruned with its subtree.
    index = terms("b", "ba", "bat", "batx", "batxcat", "cat")
    assert index.fuzzy_match("cat", 1) == [("bat", 1, 1), ("cat", 1, 0)]
    assert index.fuzzy_match("cat", 2) == [
        ("ba", 1, 2),
        ("bat", 1, 1),
        ("batx", 1, 2),
        ("cat", 1, 0),
    ]


@pytest.mark.parametrize(
    "words, query, max_dist, expected",
    [
        (["cat"], "Cat", 1, [("cat", 1, 1)]),
        (["cafe"], "café", 1, [("cafe", 1, 1)]),
        (["ba"], "ab", 1, []),
        (["ba"], "ab", 2, [("ba", 1, 2)]),
        (["car", "cart"], "car", 1, [("car", 1, 0), ("cart", 1, 1)]),
        (["cat", "car", "cab"], "cat", 0, [("cat", 1, 0)]),
        (["a", "ab", "abc", "b"], "", 2, [("a", 1, 1), ("ab", 1, 2), ("b", 1, 1)]),
        (["a"], "", 0, []),
        (["😀x", "中"], "😀", 1, [("😀x", 1, 1), ("中", 1, 1)]),
    ],
)
def test_examples(words, query, max_dist, expected):
    assert terms(*words).fuzzy_match(query, max_dist) == expected


def test_non_terminal_nodes_are_searched_not_reported():
    index = index_of([("abcd", (1, [], []))])
    assert index.fuzzy_match("abc", 1) == [("abcd", 1, 1)]
    assert index.fuzzy_match("abc", 0) == []


def test_label_zero_hides_its_subtree():
    # root -> "" (node 1) -> "a" (node 2); root -> "a" (node 3)
    index = build(
        [0, 2, 3, 3], ["", "", "a", "a"], [None, None, (1, [], []), (1, [], [])], [1, 3, 2], [], 1
    )
    assert index.fuzzy_match("a", 0) == [("a", 1, 0)]
    assert index.fuzzy_match("", 5) == [("a", 1, 1)]


def test_root_is_never_reported():
    index = build([0, 1], ["x", "x"], [(1, [], []), (1, [], [])], [1], [], 1)
    assert index.fuzzy_match("", 3) == [("x", 1, 1)]
    assert index.fuzzy_match("x", 0) == [("x", 1, 0)]


@pytest.mark.parametrize("limit, count", [(0, 0), (1, 1), (2, 2), (3, 3), (100, 3), (None, 3)])
def test_limit_keeps_the_first_reports(limit, count):
    index = terms("ab", "ac", "ad")
    assert index.fuzzy_match("a", 1, limit) == [("ab", 1, 1), ("ac", 1, 1), ("ad", 1, 1)][:count]


def test_limit_stops_the_walk():
    # Node 2 lists itself twice, so a full walk with a large bound examines
    # more child entries than there are and fails; a walk that stops at the
    # first report never gets there.
    index = build([0, 2, 2], ["", "a", "b"], [None, (1, [], []), (1, [], [])], [1, 2, 2, 2], [], 1)
    assert index.fuzzy_match("a", 5, 1) == [("a", 1, 0)]
    with pytest.raises(panic_type()):
        index.fuzzy_match("a", 5)


def test_empty_index():
    index = build([], [], [], [], [], 0)
    assert index.fuzzy_match("abc", 3) == []
    assert index.fuzzy_match("") == []


# ---------------------------------------------------------------- hostile input


def test_huge_bound_and_long_query_return():
    index = terms("cat", "car", "dog")
    every = [("cat", 1, 3), ("car", 1, 3), ("dog", 1, 3)]
    assert index.fuzzy_match("", 4294967295) == every
    long = "x" * 100_000
    assert index.fuzzy_match(long, 4294967295) == [(w, 1, 100_000) for w in ("cat", "car", "dog")]
    assert index.fuzzy_match(long, 1) == []
    assert index.fuzzy_match("cat" + "x" * 99_997, 99_997) == [("cat", 1, 99_997)]
    assert index.fuzzy_match("cat" + "x" * 99_997, 99_996) == []


def test_deep_path_with_long_query():
    # One path 20,000 deep, matched by the query with a bound of 1: the rows
    # are banded, so this costs a few cells per node.
    depth = 20_000
    shifts = list(range(depth + 1))
    labels = [""] + ["a"] * depth
    payloads = [None] * depth + [(1, [], [])]
    index = build(shifts, labels, payloads, list(range(1, depth + 1)), [], 1)
    assert index.fuzzy_match("a" * depth, 1) == [("a" * depth, 1, 0)]
    assert index.fuzzy_match("a" * (depth - 1) + "b", 1) == [("a" * depth, 1, 1)]


def test_cyclic_child_lists_fail_quickly():
    # Node 1 lists itself twice: every path doubles at each level.
    index = build([0, 1], ["", "a"], [None, (1, [], [])], [1, 1, 1], [], 1)
    with pytest.raises(panic_type(), match=r"^corrupt index: its child lists do not form a tree"):
        index.fuzzy_match("a" * 60, 60)
    with pytest.raises(panic_type()):
        index.fuzzy_match_video("a" * 60, 60)


def test_shared_child_within_the_bound_is_reported_per_path():
    index = build([0, 2], ["", "a"], [None, (1, [], [])], [1, 1], [], 1)
    assert index.fuzzy_match("a", 0) == [("a", 1, 0), ("a", 1, 0)]


def test_panic_is_a_base_exception():
    assert issubclass(panic_type(), BaseException)
    assert not issubclass(panic_type(), Exception)


# ---------------------------------------------------------------- arguments


def test_binding():
    index = terms("cat")
    assert index.fuzzy_match(term="cat", limit=1) == [("cat", 1, 0)]
    assert index.fuzzy_match("cbt") == [("cat", 1, 1)]
    assert index.fuzzy_match("cbt", max_dist=0) == []
    assert index.fuzzy_match("cat", True) == [("cat", 1, 0)]
    assert index.fuzzy_match("cat", 1, None) == [("cat", 1, 0)]
    assert PrefixSearch.fuzzy_match.__text_signature__ == "(term, max_dist=1, limit=None)"
    assert PrefixSearch.fuzzy_match.__doc__ is None


@pytest.mark.parametrize(
    "args, kwargs, error, pattern",
    [
        (
            (),
            {},
            TypeError,
            r"^PrefixSearch.fuzzy_match\(\) missing 1 required positional argument: 'term'$",
        ),
        (
            ("a", 1, None, 4),
            {},
            TypeError,
            r"^PrefixSearch.fuzzy_match\(\) takes from 1 to 3 positional",
        ),
        (
            ("a",),
            {"lim": 1},
            TypeError,
            r"^PrefixSearch.fuzzy_match\(\) got an unexpected keyword argument 'lim'$",
        ),
        (
            ("a", 1),
            {"max_dist": 1},
            TypeError,
            r"^PrefixSearch.fuzzy_match\(\) got multiple values for argument 'max_dist'$",
        ),
    ],
)
def test_argument_errors(args, kwargs, error, pattern):
    # The refusals of term, max_dist and limit themselves are those of the
    # shared converters (test_surface.py).
    with pytest.raises(error, match=pattern) as info:
        terms("a").fuzzy_match(*args, **kwargs)
    assert type(info.value) is error


def test_conversion_order_decides_the_error():
    with pytest.raises(TypeError, match=r"^argument 'term': "):
        terms("a").fuzzy_match(5, None, -1)
    with pytest.raises(TypeError, match=r"^argument 'max_dist': "):
        terms("a").fuzzy_match("a", None, -1)


def test_index_protocol_for_bounds():
    assert terms("abc").fuzzy_match("a", Index(2), Index(2)) == [("abc", 1, 2)]


def test_results_are_fresh_lists():
    index = terms(*string.ascii_lowercase)
    first = index.fuzzy_match("q")
    first.clear()
    assert len(index.fuzzy_match("q")) == 26
