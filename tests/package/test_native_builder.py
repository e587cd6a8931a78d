"""The native builder against the pure-Python one it replaced
(tessarin_reference.builder): the same records, in any order and through
any door (Python iterables, Arrow batches, with or without compactions),
give the same bytes; integers written as text read as the model reads
them; refusals come back typed."""

import subprocess
import sys
import uuid

import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _tessarin import PrefixSearch
from tessarin import Index, IndexBuilder, _native
from tessarin.building.records import U32_MAX
from tessarin.errors import ArrowStreamError, RecordError, TessarinError
from tessarin.normalization import KNOWN_NORMALIZATIONS, normalizer
from tessarin.storage import container
from tessarin_reference import builder as reference

UUIDS = [uuid.UUID(int=(k + 1) * 0x0123456789ABCDEF0123456789ABCDEF % 2**128) for k in range(4)]

# Terms that share prefixes, of 1- to 4-byte characters, with spaces and
# capitals for the normalisations.
terms = st.text("abé中😀 AÉ\u3000ﬁ", min_size=1, max_size=5)
counts = st.integers(0, 20) | st.sampled_from([0, U32_MAX - 1, U32_MAX])
int_records = st.lists(st.tuples(terms, st.integers(0, 6) | st.just(U32_MAX), counts), max_size=50)
uuid_records = st.lists(st.tuples(terms, st.sampled_from(UUIDS), counts), max_size=50)


def reference_bytes(records, top_n):
    built = reference.IndexBuilder()
    built.add_many(records)
    arrays = built.arrays(top_n)
    return arrays, PrefixSearch.from_internal_data_v2(*arrays).to_bytes()


def arrow_table(records):
    ints = not records or isinstance(records[0][1], int)
    return pa.table(
        {
            "term": pa.array([t for t, _, _ in records], pa.string()),
            "video": pa.array(
                [v if ints else v.bytes for _, v, _ in records],
                pa.uint32() if ints else pa.binary(16),
            ),
            "count": pa.array([c for _, _, c in records], pa.int64()),
        }
    )


@settings(max_examples=300, deadline=None)
@given(int_records | uuid_records, st.integers(0, 4), st.randoms(use_true_random=False))
def test_same_bytes_as_the_pure_python_builder(records, top_n, rng):
    arrays, expected = reference_bytes(records, top_n)
    shuffled = list(records)
    rng.shuffle(shuffled)

    native = IndexBuilder()
    native.add_many(shuffled)
    assert native.arrays(top_n) == arrays
    assert native.build(top_n).to_bytes() == expected

    # Compacting after every few records, and Arrow batches of any length.
    compacting = IndexBuilder()
    compacting._native = _native.NativeBuilder(min_compaction=rng.randint(1, 8))
    cut = rng.randint(0, len(shuffled))
    compacting.add_many(shuffled[:cut])
    batches = arrow_table(shuffled[cut:]).to_batches(max_chunksize=rng.randint(1, 7))
    for batch in batches:
        compacting.add_arrow(batch)
    assert compacting.build(top_n).to_bytes() == expected
    assert (compacting.records, compacting.terms, compacting.videos) == (
        len(records),
        len({t for t, _, _ in records}),
        len({v for _, v, _ in records}),
    )


# Integer texts from pieces that must be read (ASCII whitespace, signs,
# digits) or refused alike (non-ASCII digits and spaces, "_", letters);
# video texts stay under 32 characters, where text is no UUID.
INTEGER_PIECES = [*"0123456789+- \t\n\x0b\x0c\r\x1c\x1f_x", "\xa0", "\u3000", "\u0663", "\uff15"]
video_texts = st.lists(st.sampled_from(INTEGER_PIECES), max_size=12).map("".join)
count_texts = st.lists(
    st.sampled_from([*INTEGER_PIECES, "4294967295", "4294967296", "0" * 12]), max_size=6
).map("".join)


COLUMNS = ["term", "video", "count"]


def in_range(text):
    """The model's reading of a count or video written as text, if in range."""
    value = reference.integer_text(text)
    return value if value is not None and 0 <= value <= U32_MAX else None


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(terms, video_texts, count_texts), max_size=30))
def test_integers_written_as_text_are_read_as_python_int_reads_ascii(rows):
    for text in {t for _, v, c in rows for t in (v, c)}:
        value = reference.integer_text(text)
        outside = value is not None and in_range(text) is None
        assert _native.parse_integer(text) == (-1 if outside else value)
    columns = list(zip(*rows, strict=True)) or [(), (), ()]
    table = pa.table({n: pa.array(c, pa.string()) for n, c in zip(COLUMNS, columns, strict=True)})
    builder = IndexBuilder()
    report = builder.add_arrow(table, skip_bad=True)
    kept = [(t, in_range(v), in_range(c)) for t, v, c in rows]
    kept = [r for r in kept if None not in r]
    assert (report.added, report.refused) == (len(kept), len(rows) - len(kept))
    assert builder.build(3).to_bytes() == reference_bytes(kept, 3)[1]


def test_refusals_are_typed_record_errors():
    builder = IndexBuilder()
    with pytest.raises(
        RecordError, match=r"^record 2 \('a', 1, -5\): the count -5 is outside"
    ) as raised:
        builder.add_many([("a", 1, 2), ("a", 1, -5)])
    assert isinstance(raised.value, TessarinError) and isinstance(raised.value, ValueError)
    error = raised.value
    assert (error.fault, error.row, error.value, error.problem) == (
        "count",
        2,
        "-5",
        "the count -5 is outside 0..4294967295",
    )


def test_the_reference_builder_imports_nothing_of_the_package():
    code = "import sys, tessarin_reference.builder; print(*sorted(sys.modules))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    loaded = {name for name in done.stdout.split() if "tessarin" in name}
    assert loaded == {"tessarin_reference", "tessarin_reference.builder"}


@settings(max_examples=150, deadline=None)
@given(int_records, st.sampled_from(sorted(KNOWN_NORMALIZATIONS)))
def test_normalised_terms_are_the_reference_of_normalised_records(records, name):
    normalize = normalizer(name)
    kept = [(normalize(t), v, c) for t, v, c in records if normalize(t)]
    native = IndexBuilder(normalization=name)
    for t, v, c in records:
        if normalize(t):
            native.add(t, v, c)
        else:
            with pytest.raises(
                ValueError, match=r"^record \d+ .*: the term .* is empty once normalised"
            ):
                native.add(t, v, c)
    assert native.build(3).to_bytes() == reference_bytes(kept, 3)[1]
    if kept:
        index = native.index(3)
        assert index.metadata.normalization == name
        term = kept[0][0]
        assert index.suggest(term.upper() + "\u3000", 0) == index.suggest(term, 0) or (
            name != "nfkc+casefold+spaces"
        )


def test_queries_are_normalised_as_the_terms_were(tmp_path):
    index = Index.build(
        [("Straße", 1, 5), ("ﬁsh  Tank", 2, 3)], normalization="nfkc+casefold+spaces"
    )
    assert [s.term for s in index.suggest("STRASSE", 0)] == ["strasse"]
    assert index.search(" FISH\ttank ", 0) == [("2", 1.0)]
    index.save(tmp_path / "n.idx")
    again = Index.load(tmp_path / "n.idx")
    assert again.metadata.normalization == "nfkc+casefold+spaces"
    assert again.suggest_many(["Fish Tank"], 0)[0][0].term == "fish tank"


def test_a_long_term_is_linear_and_exact():
    # Each character of a term is one node: 200,000 of them, built in one
    # pass (the pure-Python layout took minutes for such a term).
    long = "ab" * 100_000
    builder = IndexBuilder()
    builder.add_many([(long, 1, 2), (long[:-1] + "x", 2, 1), ("b", 3, 1)])
    index = builder.index()
    assert index.node_count == 1 + len(long) + 1 + 1
    assert [s.term for s in index.suggest(long, 1)] == [long, long[:-1] + "x"]
    # Terms that share long prefixes, sorted chunk by chunk.
    stem = "prefix shared by all of them, "
    records = [(stem + tail, k % 3, k) for k, tail in enumerate(["b", "", "ba", "é", "a" * 9, "a"])]
    records += [(stem[:n], 7, 1) for n in (7, 8, 9, 16, 17)]
    assert (
        reference_bytes(records, 4)[1]
        == Index.build(records, video_top_n=4).to_prefix_search().to_bytes()
    )


ARROW_VIDEOS = [
    (pa.array([5, 7], pa.int8()), [5, 7]),
    (pa.array([5, U32_MAX], pa.uint64()), [5, U32_MAX]),
    (pa.array(["5", " 7 "], pa.large_string()), [5, 7]),
    (pa.array([str(UUIDS[0]), UUIDS[1].hex], pa.string()), UUIDS[:2]),
    (pa.array([f"urn:uuid:{UUIDS[0]}", f"{{{UUIDS[1]}}}"], pa.string_view()), UUIDS[:2]),
    (pa.array([UUIDS[0].bytes, UUIDS[1].bytes], pa.binary()), UUIDS[:2]),
]


@pytest.mark.parametrize(
    "videos, expected", ARROW_VIDEOS, ids=lambda v: str(getattr(v, "type", ""))
)
def test_arrow_column_types(videos, expected):
    terms_column = pa.array(["cat", "dog"], pa.string_view()).slice(0)
    table = pa.table({"q": terms_column, "vid": videos, "n": pa.array(["3", "+4"])})
    builder = IndexBuilder()
    report = builder.add_arrow(table, term="q", video="vid", count="n")
    assert report.added == 2 and report.refused == 0
    assert (
        builder.build().to_bytes()
        == reference_bytes([("cat", expected[0], 3), ("dog", expected[1], 4)], 10)[1]
    )
    # count=None: each row is one search; sliced arrays keep their offset.
    events = IndexBuilder()
    events.add_arrow(table.slice(1), term="q", video="vid", count=None)
    assert events.arrays().payloads[-1] == (1, [0], [1])


def column(values, kind):
    return pa.array(values, kind)


# Two rows each: a good one, then a bad one.
BAD_ROWS = [
    (["keep", ""], [9, 1], [1, 1], "empty term", r"the term is empty"),
    (["keep", None], [9, 1], [1, 1], "missing", r"the term is missing \(null\)"),
    (["keep", "a"], [9, None], [1, 1], "missing", r"the video identifier is missing"),
    (["keep", "a"], [9, 1], [1, -2], "count", r"the count -2 is outside 0\.\.4294967295"),
    (["keep", "a"], [9, 1], ["1", " +099999999999 "], "count", r"the count 99999999999 is outside"),
    (["keep", "a"], ["9", "-1"], [1, 1], "video range", r"the video identifier -1 is outside"),
    (["keep", "a"], [9, 1], ["1", "many"], "count", r"the count 'many' is not an integer"),
    (["keep", "a"], ["9", "x"], [1, 1], "video text", r"the video identifier 'x' is neither"),
    (["keep", "a"], [9, -1], [1, 1], "video range", r"the video identifier -1 is outside"),
    (
        ["keep", "a"],
        [9, 2**32],
        [1, 1],
        "video range",
        r"the video identifier 4294967296 is outside",
    ),
    (["keep", "a"], ["9", str(UUIDS[0])], [1, 1], "mixed kinds", r"mixed video identifier kinds"),
    (["keep", "a\x00"], [9, 1], [1, 1], "term U+0000", r"the term holds the character U\+0000"),
    (["keep", b"\xff"], [9, 1], [1, 1], "term UTF-8", r"the term '\\xff' is not valid UTF-8"),
]


@pytest.mark.parametrize("terms, videos, counts, fault, message", BAD_ROWS)
def test_bad_arrow_rows_are_named_or_skipped(terms, videos, counts, fault, message):
    term_array = (
        pa.array(terms, pa.binary()).cast(pa.string(), safe=False)
        if isinstance(terms[1], bytes)
        else pa.array(terms, pa.string())
    )
    table = pa.table({"term": term_array, "video": videos, "count": counts})
    builder = IndexBuilder()
    with pytest.raises(RecordError, match=r"^row 2: " + message) as raised:
        builder.add_arrow(table)
    assert (raised.value.fault, raised.value.row) == (fault, 2)
    assert (builder.records, builder.terms) == (1, 1)  # the rows before it stay
    skipping = IndexBuilder()
    report = skipping.add_arrow(table, skip_bad=True)
    assert (report.rows, report.added, report.refused) == (2, 1, 1)
    assert report.by_fault == {fault: 1} and report.examples[0].row == 2
    assert skipping.build().to_bytes() == builder.build().to_bytes()


def test_arrow_schema_errors():
    builder = IndexBuilder()
    with pytest.raises(ValueError, match=r"^the data has no column 'term' \(its columns: a, b\)"):
        builder.add_arrow(pa.table({"a": [1], "b": [2]}))
    with pytest.raises(ValueError, match=r"^the count column has the Arrow type 'g'"):
        builder.add_arrow(pa.table({"term": ["a"], "video": [1], "count": [1.5]}))
    with pytest.raises(TypeError, match=r"takes Arrow data"):
        builder.add_arrow([("a", 1, 1)])
    assert builder.records == 0


def test_index_is_made_without_a_copy_and_release_empties_the_builder(monkeypatch):
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
    records = [(f"t{k % 97}", k % 13, k) for k in range(2000)]
    expected = Index.from_prefix_search(
        PrefixSearch.from_bytes(reference_bytes(records, 5)[1]), video_top_n=5
    )
    builder = IndexBuilder()
    builder.add_many(records)
    steps = []
    index = builder.index(5, progress=lambda *step: steps.append(step), release=True)
    assert index.to_bytes() == expected.to_bytes()
    assert steps[-1][0] == "build" and steps[-1][1] == steps[-1][2] > 0
    assert (builder.records, builder.terms) == (0, 0)


def test_streams_made_in_python_are_read_ahead_and_stopped_cleanly():
    # The stream's batches come from a Python generator (pyarrow takes the
    # interpreter lock to run it) while the builder works on the one before.
    schema = pa.schema([("term", pa.string()), ("video", pa.int64()), ("count", pa.int64())])

    def batches(bad_at=None, fail_at=None):
        for k in range(40):
            if k == fail_at:
                raise RuntimeError("the source broke")
            count = -1 if k == bad_at else 1
            yield pa.record_batch([[f"t{k}", f"u{k}"], [k, k], [1, count]], schema=schema)

    builder = IndexBuilder()
    report = builder.add_arrow(pa.RecordBatchReader.from_batches(schema, batches()))
    assert (report.rows, builder.terms) == (80, 80)
    with pytest.raises(ValueError, match=r"^row 6: the count -1 is outside"):
        IndexBuilder().add_arrow(pa.RecordBatchReader.from_batches(schema, batches(bad_at=2)))
    with pytest.raises(
        OSError, match=r"^reading the Arrow stream failed: .*the source broke"
    ) as raised:
        IndexBuilder().add_arrow(pa.RecordBatchReader.from_batches(schema, batches(fail_at=30)))
    assert isinstance(raised.value, ArrowStreamError) and "the source broke" in raised.value.reason
    # A failing on_batch stops the reading; the batches before it stay.
    stopped = IndexBuilder()
    with pytest.raises(ZeroDivisionError):
        stopped.add_arrow(
            pa.RecordBatchReader.from_batches(schema, batches()),
            on_batch=lambda rows: 1 / (rows - 4),
        )
    assert stopped.records == 4


def test_refused_rows_over_batches_a_problem_column_and_distinct_pairs():
    # Rows 1, 2, 3, 5 and 6 have empty terms, row 9 a problem the source
    # found: the examples are the first five overall, not one per batch.
    terms = ["", "", "", "a", "", "", "b", "a", "c", "a", "b", "b"]
    problems = [None] * 8 + ["not a JSON object"] + [None] * 3
    table = pa.table({"term": terms, "video": [1, 2, 3, 4, 5, 6, 1, 4, 1, 2, 1, 1]})
    table = table.append_column("problem", pa.array(problems, pa.string()))
    builder = IndexBuilder()
    report = builder.add_arrow(
        table.to_reader(max_chunksize=4), count=None, skip_bad=True, problem="problem"
    )
    assert [e.row for e in report.examples] == [1, 2, 3, 5, 6]
    assert report.by_fault == {"empty term": 5, "unreadable": 1}
    with pytest.raises(RecordError, match=r"^row 3: not a JSON object$"):
        IndexBuilder().add_arrow(table.slice(6), count=None, problem="problem")
    builder.build()
    assert (builder.records, builder.pairs) == (6, 3)  # (a, 4) twice, (a, 2), (b, 1) thrice


@settings(max_examples=150, deadline=None)
@given(int_records, st.sampled_from([None, *sorted(KNOWN_NORMALIZATIONS)]), st.integers(0, 30))
def test_min_count_gives_the_index_of_the_kept_records(records, name, least):
    """Terms below the minimum (summed once normalised) leave with their
    pairs and the videos only they led to; the builder stays whole until it
    is released."""
    normalize = normalizer(name) if name else (lambda term: term)
    records = [r for r in records if normalize(r[0])]
    totals = {}
    for term, _, count in records:
        totals[normalize(term)] = totals.get(normalize(term), 0) + count
    kept = IndexBuilder(normalization=name)
    kept.add_many(r for r in records if totals[normalize(r[0])] >= least)
    built = IndexBuilder(normalization=name, min_count=least)
    built.add_many(records)
    assert built.arrays() == kept.arrays()
    assert built.dropped_terms == sum(total < least for total in totals.values())
    saved = [container.parse(b.index(release=True).to_bytes())[1] for b in (built, kept)]
    assert saved[0] == saved[1]


def test_a_weight_column_multiplies_counts_and_excluded_rows_are_counted_apart():
    builder = IndexBuilder(exclude=["dog"])
    table = pa.table(
        {
            "term": ["cat", "cat", "dog", "car", "car"],
            "video": [1, 2, 3, 4, 5],
            "count": [2, 3_000_000_000, 1, 1, 1],
            "weight": pa.array([500, 2, 9, None, 2**32], pa.uint64()),
        }
    )
    report = builder.add_arrow(table, weight="weight", skip_bad=True)
    assert (report.rows, report.added, report.excluded, report.refused) == (5, 2, 1, 2)
    assert report.by_fault == {"time": 2}
    assert builder.arrays().payloads[-1] == (U32_MAX, [1, 0], [U32_MAX, 1000])
    assert (builder.excluded_records, builder.excluded_terms, builder.videos) == (1, 1, 2)
    with pytest.raises(RecordError, match=r"^row 1: no time") as caught:
        builder.add_arrow(table.slice(3), weight="weight")
    assert caught.value.fault == "time"
