"""The video catalogue, and the filters, pages and explanations of a search:
against a plain model (the ranked list, filtered, then cut)."""

import gzip
import json
import math
import uuid

import duckdb
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessarin import Catalog, CatalogError, Filter, Index
from tessarin.catalog import parse_filters

ROWS = {
    7: {"title": "Seven", "language": "en", "thumbnail": "https://img.example.com/7.jpg"},
    262: {"title": "Two, six, two", "language": "fr", "url": "http://v.example.org/262"},
}


def write(path, fmt):
    rows = [{"id": k, **v} for k, v in ROWS.items()]
    if fmt == "jsonl.gz":
        with gzip.open(path, "wt") as out:
            out.writelines(json.dumps(row) + "\n" for row in rows)
        return
    con = duckdb.connect()
    con.execute("CREATE TABLE t (id INTEGER, title TEXT, language TEXT, thumbnail TEXT, url TEXT)")
    for row in rows:
        con.execute(
            "INSERT INTO t VALUES (?, ?, ?, ?, ?)",
            [row["id"], row["title"], row["language"], row.get("thumbnail"), row.get("url")],
        )
    options = {"parquet": "FORMAT parquet", "csv": "HEADER", "tsv": "HEADER, DELIMITER '\t'"}
    con.execute(f"COPY t TO '{path}' ({options[fmt]})")


@pytest.mark.parametrize("fmt", ["parquet", "csv", "tsv", "jsonl.gz"])
def test_a_file_reads_as_the_mapping_does(tmp_path, fmt):
    path = tmp_path / f"videos.{fmt}"
    write(path, fmt)
    read, made = Catalog.read(path), Catalog(ROWS)
    assert sorted(read) == sorted(made) == ["262", "7"]
    for video in made:
        assert read.get(video) == made.get(video)
    assert read.picture_hosts() == {"https://img.example.com"}


@pytest.mark.parametrize(
    "spelling",
    [
        "00112233-4455-6677-8899-aabbccddeeff",
        "00112233445566778899AABBCCDDEEFF",
        "{00112233-4455-6677-8899-aabbccddeeff}",
        bytes.fromhex("00112233445566778899aabbccddeeff"),
        uuid.UUID("00112233-4455-6677-8899-aabbccddeeff"),
    ],
)
def test_identifiers_are_spelt_as_the_index_spells_them(spelling):
    catalog = Catalog({spelling: {"title": "x"}})
    assert list(catalog) == ["00112233-4455-6677-8899-aabbccddeeff"]
    assert catalog.id_kind == "uuid"
    assert list(Catalog({" 0042 ": {}})) == ["42"]


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("id,title\n1,a\n01,b\n", r"row 2: the video 1 is already in row 1"),
        ("name\nx\n", r"no identifier column: name one video, video_id or id \(columns: name\)"),
        ("id\n4294967296\n", r"row 1: the video identifier '4294967296' is neither"),
        ("id\n1\n00112233445566778899aabbccddeeff\n", r"row 2: .* is a UUID but those before"),
        ("id,url\n1,javascript:alert(1)\n", r"row 1: url 'javascript:alert\(1\)' is not an http"),
        ("id,thumbnail\n1,https:///x.png\n", r"row 1: thumbnail .* is not an http\(s\) URL"),
        ("id,thumbnail\n1,https://a b/x.png\n", r"row 1: thumbnail .* holds a space"),
        ("id,url\n1,https://me:pw@host/\n", r"row 1: url .* carries a user name or password"),
    ],
)
def test_bad_files_are_refused_whole_with_the_row_that_says_why(tmp_path, text, message):
    path = tmp_path / "videos.csv"
    path.write_text(text)
    with pytest.raises(CatalogError, match=rf"^{path}: {message}"):
        Catalog.read(path)


values = st.text(st.sampled_from("ab,:\\ é"), min_size=1, max_size=5)


@settings(deadline=None)
@given(st.text(st.sampled_from("ab_é"), min_size=1, max_size=4), st.lists(values, min_size=1))
def test_written_filters_read_back(column, wanted):
    escaped = ",".join(v.replace("\\", "\\\\").replace(",", "\\,") for v in wanted)
    assert parse_filters([f"{column}:{escaped}"]) == (Filter(column, frozenset(wanted)),)


@pytest.mark.parametrize("text", ["language", ":en", "language:", "language:en\\"])
def test_malformed_filters_are_refused(text):
    with pytest.raises(ValueError, match=r"^(a filter is written|the filter)"):
        parse_filters([text])


TERMS = st.text(st.sampled_from("abc"), min_size=1, max_size=4)
records = st.lists(
    st.tuples(TERMS, st.integers(0, 30), st.integers(1, 50)), min_size=1, max_size=40
)


@settings(max_examples=100, deadline=None)
@given(
    records,
    TERMS,
    st.integers(0, 2),
    st.sampled_from([None, True]),
    st.dictionaries(st.integers(0, 30), st.sampled_from(["en", "fr", "pt"]), min_size=1),
    st.sets(st.sampled_from(["en", "fr", "pt", 1]), max_size=2),
    st.integers(0, 8),
    st.none() | st.integers(0, 6),
)
def test_filters_and_pages_cut_the_ranked_list(
    records, term, max_dist, prefix, languages, wanted, offset, limit
):
    index = Index.build(records, video_top_n=4)
    catalog = Catalog({v: {"language": lang, "n": v % 3} for v, lang in languages.items()})
    ranked = index.search(term, max_dist, prefix=prefix)
    stop = None if limit is None else offset + limit
    assert index.search(term, max_dist, limit, prefix=prefix, offset=offset) == ranked[offset:stop]

    spec = {"language": sorted(wanted, key=str), "n": [0, "2"]} if wanted else {"n": 1}
    kept = [
        v
        for v in ranked
        if int(v.video) in languages
        and all(
            str(catalog.get(v.video)[column]) in {str(x) for x in want}
            for column, want in ((k, w if isinstance(w, list) else [w]) for k, w in spec.items())
        )
    ]
    found = index.search(
        term, max_dist, limit, prefix=prefix, offset=offset, filter=spec, catalog=catalog
    )
    assert found == kept[offset:stop]

    pooled = {(p.term, p.distance) for p in index.pooled_nodes(term, max_dist, prefix=prefix)}
    explained = index.search(term, max_dist, limit, prefix=prefix, offset=offset, explain=True)
    assert [(e.video, e.score) for e in explained] == ranked[offset:stop]
    for match in explained:
        assert math.isclose(math.fsum(c.share for c in match.contributions), match.score)
        assert {(c.term, c.distance) for c in match.contributions} <= pooled
        assert [c.share for c in match.contributions] == sorted(
            (c.share for c in match.contributions), reverse=True
        )


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ({"filter": {"language": "en"}}, ValueError, "^a filter needs a catalog"),
        ({"filter": {"genre": "x"}, "catalog": Catalog(ROWS)}, CatalogError, "^no column 'genre'"),
        ({"filter": {"language": []}, "catalog": Catalog(ROWS)}, ValueError, "names no value"),
        ({"filter": "language:en", "catalog": Catalog(ROWS)}, TypeError, "^filter must be"),
        ({"catalog": {}}, TypeError, "^catalog must be a tessarin.Catalog"),
        ({"offset": -1}, ValueError, "^offset must be 0 or more"),
        ({"offset": 1.5}, TypeError, "^offset must be an integer"),
    ],
)
def test_bad_search_arguments_are_refused(sample_index, arguments, error, message):
    with pytest.raises(error, match=message):
        sample_index.search("music", **arguments)
