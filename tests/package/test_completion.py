"""Index.complete and Index.complete_many against the brute-force model of
fuzzy prefix completion (tessarin_reference.completion)."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessarin

if not hasattr(tessarin.Index, "complete"):
    pytest.skip("Index.complete is not there yet", allow_module_level=True)

from _tessarin import PrefixSearch
from tessarin import CorruptIndexError, Index, defaults
from tessarin.storage.sample import load_sample_index
from tessarin_reference import completion
from tessarin_reference.model import build_model
from tessarin_reference.strategies import ALPHABET, build_args

# Characters of 1 to 4 UTF-8 bytes, and some that a normalisation changes:
# "ß" casefolds to "ss", "ﬁ" is "fi" under NFKC, so the text that "auto"
# measures and exact_prefix counts is not the text typed.
TERM_CHARS = ["a", "b", "c", "é", "中", "😀", "A", "ß", "ﬁ", " "]
QUERY_CHARS = [*TERM_CHARS, "d"]
NORMALIZATIONS = [None, "casefold", "nfkc+casefold", "nfkc+casefold+spaces"]

LABEL_CHARS = [c for c in ALPHABET if c] + ["d"]
max_dists = st.integers(0, 3) | st.just("auto")
# Small limits over small counts: the cut falls inside runs of ties.
limits = st.none() | st.integers(1, 5)
exact_prefixes = st.integers(0, 4)


@st.composite
def typed(draw, terms, chars=QUERY_CHARS):
    """What a user types on the way to one of `terms`: a prefix of it with up
    to two slips (a swap of neighbours, a letter missed, added or wrong); or
    any text."""
    if not terms or draw(st.booleans()):
        return draw(st.text(alphabet=st.sampled_from(chars), max_size=6))
    text = list(draw(st.sampled_from(terms)))
    text = text[: draw(st.integers(1, len(text)))]
    for _ in range(draw(st.integers(0, 2))):
        at = draw(st.integers(0, len(text) - 1)) if text else 0
        slip = draw(st.sampled_from(["swap", "miss", "add", "wrong"]))
        if slip == "swap" and at + 1 < len(text):
            text[at], text[at + 1] = text[at + 1], text[at]
        elif slip == "miss" and text:
            del text[at]
        else:
            text[at : at + (slip == "wrong")] = [draw(st.sampled_from(chars))]
    return "".join(text)


@st.composite
def built(draw):
    """(records, normalization) of an index that Index.build accepts."""
    normalization = draw(st.sampled_from(NORMALIZATIONS))
    term = st.text(alphabet=st.sampled_from(TERM_CHARS), min_size=1, max_size=5).filter(
        lambda t: completion.normalize(t, normalization) != ""
    )
    records = draw(
        st.lists(st.tuples(term, st.integers(0, 3), st.integers(0, 4)), min_size=1, max_size=12)
    )
    return records, normalization


def options(max_dist, limit, exact_prefix, transpositions):
    return dict(
        max_dist=max_dist, limit=limit, exact_prefix=exact_prefix, transpositions=transpositions
    )


@settings(max_examples=400, deadline=None)
@given(built(), st.data(), max_dists, limits, exact_prefixes, st.booleans())
def test_built_indexes_complete_as_the_model(case, data, max_dist, limit, exact_prefix, swaps):
    records, normalization = case
    text = data.draw(typed([term for term, _, _ in records]))
    index = Index.build(records, normalization=normalization)
    entries = completion.entries_of_records(records, normalization)
    how = options(max_dist, limit, exact_prefix, swaps)

    def expected(q):
        return completion.complete(entries, completion.normalize(q, normalization), **how)

    got = index.complete(text, **how)
    assert got == expected(text)
    assert all(type(c) is tessarin.Completion for c in got)
    batch = [text, text[::-1], "", text + "a"]
    assert index.complete_many(batch, **how, threads=2) == [expected(q) for q in batch]


@settings(max_examples=300, deadline=None)
@given(
    build_args(tree=True) | build_args(tree=False),
    st.data(),
    max_dists,
    limits,
    exact_prefixes,
    st.booleans(),
)
def test_restored_indexes_complete_their_visible_terms(
    args, data, max_dist, limit, exact_prefix, swaps
):
    # Laid out by hand: siblings with one label (a term spelt twice, with two
    # counts), label 0 hiding a subtree, nodes in any order.
    saved = PrefixSearch.from_internal_data_v2(*args).to_bytes()
    try:
        index = Index.from_prefix_search(PrefixSearch.from_bytes(saved))
    except CorruptIndexError as error:
        assert "does not hold together" in str(error)  # child lists that are no tree
        return
    # Small counts never saturate: a node's own count is its payload's total.
    own = [0 if p is None else p[0] for p in args[2]]
    entries = completion.visible_terms(build_model(*args), own)
    text = data.draw(typed([term for term, _ in entries], LABEL_CHARS))
    how = options(max_dist, limit, exact_prefix, swaps)
    assert index.complete(text, **how) == completion.complete(entries, text, **how)
    assert index.complete_many([text, ""], **how, threads=1) == [
        completion.complete(entries, q, **how) for q in (text, "")
    ]


SAMPLE = load_sample_index()


@pytest.mark.parametrize(
    ("text", "how", "expected"),
    [
        ("restau", {"max_dist": 0}, [("restaurants", 0), ("restaurant", 0)]),
        ("resturan", {"max_dist": 1}, [("restaurants", 1), ("restaurant", 1)]),
        ("choclate", {"max_dist": "auto"}, [("chocolate", 1)]),
        # The sample holds single words: "chocolate" is 3 edits from
        # "chocolate ca", beyond auto's 2.
        ("chocolate ca", {"max_dist": "auto"}, []),
        ("chocolate ca", {"max_dist": 3}, [("chocolate", 3)]),
        ("resturan", {"max_dist": 1, "exact_prefix": 4}, [("restaurants", 1), ("restaurant", 1)]),
        ("resturan", {"max_dist": 1, "exact_prefix": 5}, []),
        ("rset", {"limit": 3}, [("return", 1), ("returns", 1), ("retail", 1)]),
        (
            "rset",
            {"limit": 3, "transpositions": True},
            [("return", 1), ("returns", 1), ("restaurants", 1)],
        ),
    ],
)
def test_the_sample_completes_what_is_being_typed(text, how, expected):
    assert [(c.term, c.distance) for c in SAMPLE.complete(text, **how)] == expected


def test_auto_measures_the_text_as_it_is_matched():
    # "ß" casefolds to "ss": "ßt" is matched as "sst", 3 characters, 1 edit.
    index = Index.build([("strasse", 1, 2)], normalization="casefold")
    assert index.complete("ßt", "auto") == [("strasse", 1, 2)]
    assert index.complete("ßt", 0) == []


INDEX = Index.build([("cat", 1, 3), ("car", 2, 5), ("dog", 1, 1)])
CAP = defaults.MAX_DIST_CAP


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: INDEX.complete(b"ca"), TypeError, r"^the query must be a str, not bytes$"),
        (lambda: INDEX.complete("ca", 1.0), TypeError, r"^max_dist must be an integer"),
        (lambda: INDEX.complete("ca", True), TypeError, r"^max_dist must be an integer"),
        (lambda: INDEX.complete("ca", -1), ValueError, rf"^max_dist must be between 0 and {CAP}"),
        (lambda: INDEX.complete("ca", CAP + 1), ValueError, r"^max_dist must be between 0 and"),
        (lambda: INDEX.complete("ca", "Auto"), ValueError, r"^max_dist must be .*'auto'"),
        (lambda: INDEX.complete("ca", "2"), ValueError, r"^max_dist must be .*'auto'"),
        (lambda: INDEX.complete("ca", limit=0), ValueError, r"^limit must be 1 or more, not 0$"),
        (lambda: INDEX.complete("ca", limit="3"), TypeError, r"^limit must be an integer, not"),
        (lambda: INDEX.complete("ca", exact_prefix=-1), ValueError, r"^exact_prefix must be 0 or"),
        (lambda: INDEX.complete("ca", exact_prefix=None), TypeError, r"^exact_prefix must be an"),
        (lambda: INDEX.complete("ca", transpositions=1), TypeError, r"^transpositions must be"),
        (lambda: INDEX.complete_many(["ca", 3]), TypeError, r"\[1\] must be a str, not int$"),
        (lambda: INDEX.complete_many("ca"), TypeError, r"must be a list of queries, not a str"),
        (lambda: INDEX.complete_many(["ca"], threads=0), ValueError, r"^threads must be 1 or"),
    ],
)
def test_argument_errors_in_plain_words(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_a_huge_limit_or_exact_prefix_is_no_bound():
    assert INDEX.complete("ca", 1, 10**30, exact_prefix=10**30) == [("car", 0, 5), ("cat", 0, 3)]
    assert INDEX.complete("cx", CAP, 10**30) == INDEX.complete("cx", CAP, None)
