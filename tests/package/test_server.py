"""`tessarin serve`: the JSON API, its guards against hostile requests, the
replacement of the index, and the real process with several workers.

The API runs in process (Starlette's test client, or the ASGI application
called with a hand-made scope where a client would not send the bytes);
the worker processes, signals and concurrent queries run against a real
server on a loopback port. Nothing here times anything.
"""

import asyncio
import concurrent.futures
import json
import logging
import os
import re
import select
import signal
import socket
import threading
import time
import urllib.request

import pytest
from hypothesis import given
from hypothesis import strategies as st
from prometheus_client.parser import text_string_to_metric_families

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")

from starlette.testclient import TestClient

from tessarin import CorruptIndexError, Index
from tessarin.cli import main
from tessarin.normalization import KNOWN_NORMALIZATIONS, normalizer
from tessarin.server import IndexHolder, Limits, ServeConfig, create_app, sharing
from tessarin.server.align import completion_segments, marks, segments
from tessarin.server.typed import _traced, typed_text
from tessarin.server.warm import is_warm
from tessarin.storage.sample import load_sample_index
from tessarin_reference import marks as marks_model
from tessarin_reference.completion import prefix_distance
from tessarin_reference.matching import levenshtein

SAMPLE = load_sample_index()
needs_complete = pytest.mark.skipif(
    not hasattr(Index, "complete"), reason="Index.complete is not there yet"
)


@pytest.fixture
def client():
    with TestClient(create_app()) as client:
        yield client


def call(app, path, query_string=b"", headers=()):
    """(status, headers, JSON body) of a GET sent straight to the ASGI app,
    with the query string's bytes exactly as given."""
    status, headers, body = asyncio.run(_call(app, path, query_string, headers))
    return status, headers, json.loads(body)


async def _call(app, path, query_string, headers=()):
    sent = []
    scope = {
        "type": "http",
        "asgi": {"version": "3.0"},
        "http_version": "1.1",
        "method": "GET",
        "scheme": "http",
        "path": path,
        "raw_path": path.encode(),
        "root_path": "",
        "query_string": query_string,
        "headers": list(headers),
        "client": ("127.0.0.1", 9),
        "server": ("testserver", 80),
    }

    requests = [{"type": "http.request", "body": b"", "more_body": False}]

    async def receive():  # the request, then nothing until the answer is sent
        return requests.pop() if requests else await asyncio.Event().wait()

    async def send(message):
        sent.append(message)

    await app(scope, receive, send)
    start = next(m for m in sent if m["type"] == "http.response.start")
    body = b"".join(m.get("body", b"") for m in sent if m["type"] == "http.response.body")
    return start["status"], dict(start["headers"]), body


# Where a term differs from what was typed.


@pytest.mark.parametrize(
    "typed, term, expected",
    [
        ("resturant", "restaurant", [("rest", "keep"), ("a", "insert"), ("urant", "keep")]),
        ("czt", "cat", [("c", "keep"), ("a", "replace", "z"), ("t", "keep")]),
        ("xcat", "cat", [("x", "delete"), ("cat", "keep")]),
        ("cat", "cat", [("cat", "keep")]),
        ("", "ab", [("ab", "insert")]),
    ],
)
def test_segments(typed, term, expected):
    assert [tuple(s)[: 3 if s.op == "replace" else 2] for s in segments(typed, term)] == expected


@given(st.text("abc", max_size=8), st.text("abc", max_size=8), st.integers(0, 3))
def test_segments_rebuild_both_texts_with_fewest_edits(typed, term, bound):
    found = segments(typed, term, bound)  # a bound below the distance is widened
    assert "".join(s.text for s in found if s.op != "delete") == term
    assert (
        "".join(s.typed if s.op == "replace" else s.text for s in found if s.op != "insert")
        == typed
    )
    assert sum(len(s.text) for s in found if s.op != "keep") == levenshtein(typed, term)


@given(st.text("abc", max_size=8), st.text("abc", max_size=8), st.integers(0, 3), st.booleans())
def test_completion_segments_align_the_closest_prefix_and_complete_the_rest(
    typed, term, bound, swaps
):
    # Whatever the bound (one below the distance is widened), the typed text
    # is aligned with a prefix as near as any, by Levenshtein's measure.
    found = completion_segments(typed, term, bound, swaps)
    assert "".join(s.text for s in found if s.op != "delete") == term
    assert (
        "".join(s.typed or s.text for s in found if s.op in ("keep", "replace", "delete")) == typed
    )
    assert "complete" not in [s.op for s in found[:-1]]
    aligned = [s for s in found if s.op != "complete"]
    assert sum(len(s.text) for s in aligned if s.op != "keep") == prefix_distance(typed, term)


@given(
    st.text(st.sampled_from("abcAB sS\tß\ufb01e\u0301\u00e9"), max_size=10),
    st.text("abcs e\u00e9", max_size=10),
    st.sampled_from([None, "nfkc+casefold+spaces", "spaces"]),
    st.one_of(st.none(), st.integers(0, 3)),
    st.booleans(),
)
def test_marks_are_the_plain_alignments(raw, term, name, bound, swaps):
    # The server's shortcuts give the runs of the plain dynamic programme.
    typed = typed_text(raw, name)
    expected = marks_model.segments(typed, term, bound)
    assert segments(typed, term, bound) == expected
    assert marks(typed, term, bound) == [s.to_json() for s in expected]
    if bound is not None:
        expected = marks_model.completion_segments(typed, term, bound, swaps)
        assert completion_segments(typed, term, bound, swaps) == expected


@given(
    st.text(st.sampled_from("aZ \t\x1f."), max_size=8),
    st.sampled_from(sorted(KNOWN_NORMALIZATIONS)),
)
def test_ascii_typed_text_is_traced_as_any_other(raw, name):
    assert typed_text(raw, name) == _traced(raw, name)


@given(
    st.text(st.sampled_from("abAB sS\tß\ufb01\uff41e\u0301\u00e9"), max_size=10),
    st.text("abs e\u00e9", max_size=8),
    st.sampled_from([None, "casefold", "spaces", "nfkc", "nfkc+casefold+spaces", "spaces+nfkc"]),
    st.integers(0, 3),
    st.booleans(),
)
def test_marks_are_edits_of_the_normalised_text_and_spans_index_the_raw_one(
    raw, term, name, bound, complete
):
    typed = typed_text(raw, name)
    text = normalizer(name)(raw) if name else raw
    assert typed.text == text
    if name and "spaces" not in name:  # (spaces drop what they collapse)
        behind = [normalizer(name)(raw[a:b]) for a, b in typed.spans]
        assert all(c in image for c, image in zip(text, behind, strict=True))
    found = completion_segments(typed, term, bound) if complete else segments(typed, term, bound)
    assert "".join(s.text for s in found if s.op != "delete") == term
    # Kept and replaced runs stand for one normalised character each: the
    # rest of the normalised text is deleted, and nothing else is marked.
    length = {op: sum(len(s.text) for s in found if s.op == op) for op in ("keep", "replace")}
    inserted = sum(len(s.text) for s in found if s.op == "insert")
    edits = inserted + length["replace"] + len(text) - length["keep"] - length["replace"]
    assert edits == (prefix_distance(text, term) if complete else levenshtein(text, term))
    starts = [s.span[0] for s in found]
    assert starts == sorted(starts) and all(0 <= a <= b <= len(raw) for a, b in typed.spans)
    ends = [b for _, b in typed.spans]  # (Typed.span takes the last one's end)
    assert ends == sorted(ends)
    for s in found:
        behind = raw[s.span[0] : s.span[1]]
        assert {"replace": s.typed, "delete": s.text}.get(s.op, behind) == behind
        assert s.op not in ("insert", "complete") or s.span[0] == s.span[1]


# The API.


def test_search_ranks_as_the_index_and_shows_the_correction(client):
    body = client.get("/search", params={"q": "resturant", "limit": 3}).json()
    assert [(v["video"], v["score"]) for v in body["videos"]] == SAMPLE.search("resturant", 1, 3)
    best = body["matched"][0]
    assert (best["term"], best["distance"], best["complete"]) == ("restaurant", 1, True)
    assert best["segments"][1] == {"text": "a", "op": "insert"}
    assert body["took_ms"] >= 0 and body["prefix"] == "auto"


@pytest.mark.parametrize("prefix, expected", [("auto", None), ("true", True), ("false", False)])
def test_search_pools_prefixes_as_asked(client, prefix, expected):
    body = client.get("/search", params={"q": "restaur", "prefix": prefix}).json()
    assert [(v["video"], v["score"]) for v in body["videos"]] == SAMPLE.search(
        "restaur", 1, 10, prefix=expected
    )
    # No complete term lies within one edit of "restaur": only prefixes match.
    assert all(not m["complete"] for m in body["matched"]) and (expected is False) == (
        not body["matched"]
    )


def test_suggest_closest_then_most_searched(client):
    body = client.get("/suggest", params={"q": "cats", "max_dist": 1, "limit": 5}).json()
    assert (
        [(s["term"], s["distance"], s["count"]) for s in body["suggestions"]]
        == [tuple(s) for s in SAMPLE.suggest("cats", 1, 5)]
        == [("cats", 0, 136), ("cars", 1, 740)]
    )
    assert [s["segments"] for s in body["suggestions"]] == [
        [{"text": "cats", "op": "keep"}],
        [
            {"text": "ca", "op": "keep"},
            {"text": "r", "op": "replace", "typed": "t"},
            {"text": "s", "op": "keep"},
        ],
    ]


@pytest.mark.parametrize(
    "path, q", [(p, q) for p in ("/search", "/suggest", "/complete") for q in ("", " ")]
)
def test_empty_query_matches_nothing(client, path, q):
    body = client.get(path, params={"q": q}).json()
    assert body.get("videos", body.get("suggestions", body.get("completions"))) == []


@pytest.mark.parametrize("path", ["/search", "/suggest"])
def test_transpositions_reach_the_index(client, path):
    # "rset": one swap from "rest", two edits without transpositions.
    ask = {"q": "rset", "max_dist": 1, "limit": 8}
    plain = client.get(path, params=ask).json()
    swapped = client.get(path, params={**ask, "transpositions": "true"}).json()
    assert (plain["transpositions"], swapped["transpositions"]) == (False, True)
    if path == "/suggest":
        for body, swaps in ((plain, False), (swapped, True)):
            assert [
                tuple(s[k] for k in ("term", "distance", "count")) for s in body["suggestions"]
            ] == [tuple(s) for s in SAMPLE.suggest("rset", 1, 8, transpositions=swaps)]
    else:
        for body, swaps in ((plain, False), (swapped, True)):
            assert [(v["video"], v["score"]) for v in body["videos"]] == SAMPLE.search(
                "rset", 1, 8, transpositions=swaps
            )
    assert plain != swapped


def lines(body):
    return [(c["text"], c["term"], c["distance"], c["count"]) for c in body["completions"]]


@needs_complete
@pytest.mark.parametrize(
    "q, completing, head",
    [
        ("restau", "restau", ""),
        ("resturan", "resturan", ""),
        ("chocolate ca", "ca", "chocolate "),  # no term completes the line: its last word
        (" chocolate  ca", "ca", " chocolate  "),  # the sample normalises nothing
    ],
)
def test_complete_offers_whole_lines_closest_then_most_searched(client, q, completing, head):
    body = client.get("/complete", params={"q": q}).json()
    assert (body["max_dist"], body["limit"], body["completing"]) == ("auto", 10, completing)
    expected = SAMPLE.complete(completing, "auto", 10)
    assert expected and lines(body) == [
        (head + c.term, c.term, c.distance, c.count) for c in expected
    ]
    for c in body["completions"]:
        assert "".join(g["text"] for g in c["segments"] if g["op"] != "delete") == c["text"]


@needs_complete
def test_complete_segments_mark_corrections_and_the_rest():
    body = call(create_app(), "/complete", b"q=chocolate+resturan&limit=1")[2]
    assert body["completions"][0]["segments"] == [
        {"text": "chocolate rest", "op": "keep"},
        {"text": "a", "op": "insert"},
        {"text": "uran", "op": "keep"},
        {"text": body["completions"][0]["term"][len("restauran") :], "op": "complete"},
    ]


@needs_complete
def test_complete_prefers_terms_of_several_words_and_normalises_the_line():
    index = Index.build(
        [("Chocolate Cake", 1, 3), ("chocolate", 2, 9), ("cake", 3, 5), ("cakes", 3, 1)],
        normalization="nfkc+casefold+spaces",
    )
    app = create_app()
    app.state.holder.index = index
    whole = call(app, "/complete", b"q=CHOCOLATE%20%20c")[2]
    assert (whole["completing"], lines(whole)) == (
        "chocolate c",  # auto: 2 edits, as far as "chocolate"
        [("chocolate cake", "chocolate cake", 0, 3), ("chocolate", "chocolate", 2, 9)],
    )
    word = call(app, "/complete", b"q=Chocolate+Ca&max_dist=0")[2]
    assert lines(word) == [("chocolate cake", "chocolate cake", 0, 3)]
    fallback = call(app, "/complete", b"q=Dark+CAK&exact_prefix=2&transpositions=1")[2]
    assert (fallback["completing"], lines(fallback)) == (
        "cak",
        [("dark cake", "cake", 0, 5), ("dark cakes", "cakes", 0, 1)],
    )


@pytest.mark.parametrize(
    "q, segments_of_best",
    [
        (b"%20%20MUSICA%20", [{"text": "musica", "op": "keep"}]),
        (b"M%C3%BAsica", [{"text": "m\u00fasica", "op": "keep"}]),
        (
            b"MUSICX",
            [{"text": "music", "op": "keep"}, {"text": "a", "op": "replace", "typed": "X"}],
        ),
        (b"+MUSICAS", [{"text": "musica", "op": "keep"}, {"text": "S", "op": "delete"}]),
    ],
)
def test_marks_ignore_what_the_index_normalises(q, segments_of_best):
    app = create_app()
    app.state.holder.index = Index.build(
        [("musica", 1, 5), ("M\u00fasica", 2, 3)], normalization="nfkc+casefold+spaces"
    )
    for path, key in (("/suggest", "suggestions"), ("/search", "matched")):
        found = call(app, path, b"q=" + q)[2][key]
        assert found[0]["segments"] == segments_of_best


@needs_complete
@pytest.mark.parametrize("cap", [0, 1])
def test_auto_never_goes_past_the_servers_bound(cap):
    app = create_app(ServeConfig(limits=Limits(max_dist=cap)))
    status, _, body = call(app, "/complete", b"q=resturan")
    assert status == 200 and lines(body) == [
        (c.term, c.term, c.distance, c.count) for c in SAMPLE.complete("resturan", cap, 10)
    ]
    assert call(app, "/complete", f"q=resturan&max_dist={cap + 1}".encode())[0] == 422


@pytest.mark.parametrize("admin", [False, True])
def test_info_shows_internals_only_to_an_admin(tmp_path, admin):
    path = tmp_path / "live.idx"
    small_index("cat").save(path)
    app = create_app(ServeConfig(index=str(path), admin=admin))
    info = call(app, "/info")[2]
    assert info["index"]["source"] == "file" and info["limits"]["max_dist"] == 2
    shown = {
        "path": str(path),
        "pid": os.getpid(),
        "memory_bytes": app.state.holder.index.memory_bytes,
    }
    found = {**info["index"], **info.get("worker", {})}
    assert {k: found.get(k) for k in shown} == (shown if admin else dict.fromkeys(shown))
    assert (str(tmp_path) in json.dumps(info)) == admin


def test_info_health_openapi_and_page(client):
    info = client.get("/info").json()
    assert info["index"]["source"] == "sample" and info["index"]["terms"] == len(SAMPLE)
    assert client.get("/health").json()["status"] == "ok"
    api = client.get("/openapi.json").json()
    assert {"/search", "/suggest", "/complete", "/info", "/health"} <= set(api["paths"])
    page = client.get("/")
    assert page.headers["content-type"].startswith("text/html")
    assert "default-src 'self'" in page.headers["content-security-policy"]
    for asset in ("app.js", "style.css", "favicon.svg"):
        assert f"/static/{asset}" in page.text
        assert client.get(f"/static/{asset}").status_code == 200


# Hostile requests: every refusal is JSON with a status and a reason.


@pytest.mark.parametrize(
    "path, query, status, reason",
    [
        ("/search", b"q=" + b"a" * 65, 422, "q is 65 characters long; at most 64"),
        ("/search", b"q=" + "é".encode() * 65, 422, "q is 65 characters long"),
        ("/search", b"q=" + b"a" * 9000, 414, "longer than 8192 bytes"),
        ("/search", b"q=%ff%fe", 400, "not valid UTF-8"),
        ("/search", b"q=\xff", 400, "not valid UTF-8"),
        ("/search", b"q=%ed%a0%80", 400, "not valid UTF-8"),  # an encoded surrogate
        ("/search", b"q=%zz", 400, "malformed percent-encoding"),
        ("/search", b"q=a%2", 400, "malformed percent-encoding"),
        ("/search", b"q=a&max_dist=-1", 422, "max_dist must be between 0 and 2, not -1"),
        ("/search", b"q=a&max_dist=3", 422, "max_dist must be between 0 and 2, not 3"),
        ("/search", b"q=a&max_dist=" + b"9" * 5000, 422, "max_dist must be between 0 and 2"),
        ("/search", b"q=a&limit=0", 422, "limit must be between 1 and 100"),
        ("/search", b"q=a&limit=1e3", 400, "limit must be an integer"),
        ("/search", b"q=a&limit=0x10", 400, "limit must be an integer"),
        ("/search", b"q=a&min_score=nan", 422, "min_score must be between 0 and 1"),
        ("/search", b"q=a&min_score=-inf", 422, "min_score must be between 0 and 1"),
        ("/search", b"q=a&min_score=1.5", 422, "min_score must be between 0 and 1"),
        ("/search", b"q=a&min_score=lots", 400, "min_score must be a number"),
        ("/search", b"q=a&prefix=maybe", 400, "prefix must be one of"),
        ("/search", b"q=a&q=b", 400, "'q' given more than once"),
        ("/search", b"q=a&maxdist=1", 400, "unknown parameter 'maxdist'"),
        ("/search", b"", 400, "missing parameter 'q'"),
        ("/suggest", b"q=a&prefix=true", 400, "unknown parameter 'prefix'"),
        ("/suggest", b"q=a&limit=101", 422, "limit must be between 1 and 100"),
        ("/suggest", b"q=a&transpositions=maybe", 400, "transpositions must be one of"),
        ("/complete", b"q=a&max_dist=3", 422, "max_dist must be between 0 and 2, not 3"),
        ("/complete", b"q=a&max_dist=any", 400, "max_dist must be an integer or 'auto'"),
        ("/complete", b"q=a&exact_prefix=-1", 422, "exact_prefix must be between 0 and 64"),
        ("/complete", b"q=a&limit=0", 422, "limit must be between 1 and 100"),
        ("/complete", b"q=a&prefix=true", 400, "unknown parameter 'prefix'"),
        ("/complete", b"q=" + b"a" * 65, 422, "q is 65 characters long"),
        ("/nowhere", b"", 404, "not found"),
    ],
)
def test_hostile_requests_refused(path, query, status, reason):
    got, headers, body = call(create_app(), path, query)
    assert (got, body["status"]) == (status, status)
    assert reason in body["error"]
    assert headers[b"content-type"] == b"application/json"


@pytest.mark.parametrize(
    "path", ["/static", "/search/", "/static/", "/static/../static", "/nowhere", "/", "/info"]
)
def test_no_request_header_is_repeated_in_an_answer(path):
    # Starlette's slash redirects built their Location from the Host header.
    sent = [(b"host", b"evil.example"), (b"x-forwarded-host", b"evil.example")]
    status, headers, body = asyncio.run(_call(create_app(), path, b"", sent))
    assert status < 300 or status >= 400
    assert b"evil.example" not in body + b"".join(headers) + b"".join(headers.values())


@pytest.mark.parametrize(
    "query, expected",
    [
        (b"q=%00%01", "\x00\x01"),
        (b"q=a+b%20c", "a b c"),
        (b"q=" + "ü".encode(), "ü"),  # raw UTF-8, not escaped by the client
        (b"q=%F0%9F%8E%AC&max_dist=0&limit=", "\U0001f3ac"),  # an empty value: the default
    ],
)
def test_odd_but_valid_queries_answered(query, expected):
    status, _, body = call(create_app(), "/suggest", query)
    assert (status, body["query"]) == (200, expected)


def test_limits_are_configurable():
    app = create_app(
        ServeConfig(
            limits=Limits(max_query=3, max_dist=0, max_limit=5, search_limit=5, suggest_limit=5)
        )
    )
    assert call(app, "/search", b"q=cats")[0] == 422
    status, _, body = call(app, "/search", b"q=czt")  # max_dist defaults to the cap, 0
    assert (status, body["max_dist"], body["videos"]) == (200, 0, [])
    assert call(app, "/search", b"q=cat&max_dist=1")[0] == 422
    with pytest.raises(ValueError, match=r"^max_dist must be at most 4$"):
        Limits(max_dist=5)  # the package's cap


def test_openapi_states_the_bounds_and_refusals_the_parser_applies():
    app = create_app(
        ServeConfig(limits=Limits(max_dist=1, max_limit=7, search_limit=3, suggest_limit=2))
    )
    api = call(app, "/openapi.json")[2]
    for path in ("/search", "/suggest", "/complete")[: 3 if hasattr(Index, "complete") else 2]:
        operation = api["paths"][path]["get"]
        assert set(operation["responses"]) == {"200", "400", "408", "414", "422", "431", "503"}
        for parameter in operation["parameters"]:
            name, schema = parameter["name"], parameter["schema"]
            if schema.get("type") == "integer":
                assert call(app, path, f"q=c&{name}={schema['maximum']}".encode())[0] == 200
                assert call(app, path, f"q=c&{name}={schema['maximum'] + 1}".encode())[0] == 422
                assert call(app, path, b"q=c")[2][name] == schema["default"]


class Blocking:
    """An index whose queries wait for `release`."""

    term_count = 1
    metadata = SAMPLE.metadata

    def __init__(self):
        self.release = threading.Event()

    def search(self, *args, **kwargs):
        self.release.wait(30)
        return []

    def suggest(self, *args, **kwargs):
        return []

    def pooled_nodes(self, *args, **kwargs):
        return []

    def search_pooled(self, *args, **kwargs):
        return self.search(), []


def test_overload_answers_503_not_a_queue_without_end():
    app = create_app(ServeConfig(threads=1, limits=Limits(max_pending=2)))
    index = app.state.holder.index = Blocking()

    async def run():
        tasks = [asyncio.create_task(_call(app, "/search", b"q=x")) for _ in range(5)]
        for _ in range(500):
            if sum(task.done() for task in tasks) == 3:
                break
            await asyncio.sleep(0.01)
        index.release.set()
        return await asyncio.gather(*tasks)

    answers = [(status, headers, json.loads(body)) for status, headers, body in asyncio.run(run())]
    assert sorted(status for status, _, _ in answers) == [200, 200, 503, 503, 503]
    assert all(h[b"retry-after"] == b"1" for s, h, _ in answers if s == 503)
    assert app.state.service.pending == 0


@given(st.text("ab=&+%25e9\u00e9", max_size=12))
def test_query_pairs_read_as_parse_qsl(text):
    from urllib.parse import parse_qsl

    from tessarin.server.params import query_pairs

    try:
        expected = parse_qsl(text, keep_blank_values=True, errors="strict")
    except UnicodeDecodeError:
        with pytest.raises(UnicodeDecodeError):
            query_pairs(text)
    else:
        assert query_pairs(text) == expected


@pytest.mark.parametrize("value", ["é\u2028\U0001f3ac", 2**64 - 1, 2**70, -(2**70), 0.1, 1e-7])
def test_json_answers_as_the_standard_library_writes_them(value):
    from tessarin.server.app import Json

    assert json.loads(Json({"v": [value]}).body) == {"v": [value]}
    assert b" " not in Json({"v": 1, "w": [2]}).body


class Recording:
    """An index that notes which thread each query ran on."""

    def __init__(self):
        self.threads = []
        self.metadata = SAMPLE.metadata

    def _note(self, *args, **kwargs):
        self.threads.append(threading.current_thread())
        return []

    search = suggest = pooled_nodes = complete = _note

    def search_pooled(self, *args, **kwargs):
        return self._note(), []


@pytest.mark.parametrize(
    "inline_max_dist, path, query, inline",
    [
        (1, "/search", b"q=abc&max_dist=1", True),
        (1, "/search", b"q=abc&max_dist=2", False),
        (1, "/search", b"q=abc&max_dist=1&explain=true", False),
        (1, "/suggest", b"q=abc&max_dist=0", True),
        (1, "/complete", b"q=abc&max_dist=auto", True),  # auto: 1 edit
        (1, "/complete", b"q=abcdefgh&max_dist=auto", False),  # auto: 2 edits
        (2, "/suggest", b"q=abc&max_dist=2", True),
        (-1, "/suggest", b"q=abc&max_dist=0", False),
    ],
)
def test_cheap_queries_run_on_the_loop_once_the_index_answered_one(
    inline_max_dist, path, query, inline
):
    app = create_app(ServeConfig(inline_max_dist=inline_max_dist))
    loop_thread = threading.current_thread()  # asyncio.run's loop runs here
    other = "/search" if path == "/suggest" else "/suggest"
    for index in (Recording(), Recording()):  # a new index: on a thread first
        app.state.holder.index = index
        assert call(app, other, b"q=abc&max_dist=0")[0] == 200  # warms another endpoint
        index.threads.clear()
        for _ in range(2):
            assert call(app, path, query)[0] == 200
        ran_inline = [thread is loop_thread for thread in index.threads]
        assert ran_inline[0] is False and ran_inline[-1] is inline


@pytest.mark.parametrize(
    "target",
    ["/search?q=cat&offset=1", "/suggest?q=cat", "/complete?q=ca", "/search?q=cat&max_dist=9"],
)
def test_a_get_answered_ahead_of_the_routes_has_the_heads_status_and_headers(target):
    # GET of a query endpoint is answered ahead of Starlette; HEAD by its route.
    with TestClient(create_app()) as client:
        get, head = client.get(target), client.head(target)
    assert get.status_code == head.status_code and head.content == b""
    assert {**get.headers, "content-length": ""} == {**head.headers, "content-length": ""}


def test_failure_is_json_and_logged_with_its_cause(caplog):
    class Broken:
        def suggest(self, *args, **kwargs):
            raise RuntimeError("the disk caught fire")

    caplog.set_level(logging.INFO, logger="tessarin")
    app = create_app()
    app.state.holder.index = Broken()
    response = TestClient(app, raise_server_exceptions=False).get("/suggest?q=cat")
    assert response.status_code == 500 and "log" in response.json()["error"]
    failure = next(r for r in caplog.records if r.name == "tessarin.server")
    assert "RuntimeError: the disk caught fire" in failure.getMessage() and failure.exc_info
    access = [r.getMessage() for r in caplog.records if r.name == "tessarin.access"]
    assert any('"GET /suggest?q=cat" 500' in line and line.endswith(" ms") for line in access)


# Replacing the index.


def small_index(*terms):
    return Index.build([(term, 600 + k, 1) for k, term in enumerate(terms)])


def replace_file(path, data):
    """As a deployment does: write beside, then rename over."""
    part = path.with_suffix(".part")
    part.write_bytes(data)
    os.replace(part, path)


def test_changed_file_swapped_in_and_bad_one_leaves_the_old(tmp_path, caplog):
    path = tmp_path / "live.idx"
    small_index("cat").save(path)
    holder = IndexHolder(str(path))
    assert not asyncio.run(holder.check())

    replace_file(path, small_index("cat", "dog").to_bytes())
    assert asyncio.run(holder.check()) and len(holder.index) == 2 and holder.generation == 2

    damaged = bytearray(small_index("cat", "dog", "emu").to_bytes())
    damaged[-3] ^= 0x10
    for data, kind in ((bytes(damaged), "CorruptIndexError"), (b"", "NotAnIndexError")):
        replace_file(path, data)
        caplog.clear()
        assert not asyncio.run(holder.check())
        assert len(holder.index) == 2
        [failure] = [r for r in caplog.records if r.levelno == logging.ERROR]
        assert "could not be loaded; still serving" in failure.getMessage()
        assert kind in failure.getMessage()
        assert not asyncio.run(holder.check())  # the same bad file is not tried again

    replace_file(path, small_index("cat", "dog", "emu").to_bytes())
    assert asyncio.run(holder.check()) and len(holder.index) == 3


def test_ready_once_warm_and_reloads_swap_in_only_warm_indexes(tmp_path):
    app = create_app()
    assert [call(app, p)[0] for p in ("/health", "/ready")] == [200, 503]  # not started
    with TestClient(app) as client:
        assert client.get("/ready").json()["status"] == "ready"
    assert call(app, "/ready")[0] == 503  # shut down
    path = tmp_path / "live.idx"
    small_index("cat", "catalogue", "dog").save(path)
    holder = IndexHolder(str(path))
    replace_file(path, small_index("cat", "catalogue", "dog", "emu").to_bytes())
    assert asyncio.run(holder.check()) and is_warm(holder.index)
    # Warm: no query of any kind derives more.
    derived = holder.index.memory_bytes
    for q in ("catalogeu", "ct", "dgo emu"):
        holder.index.search(q, 2, 5, prefix=True)
        holder.index.suggest(q, 2, 5, transpositions=True)
        holder.index.complete(q, 2, 5)
        holder.index.pooled_nodes(q, 1, 5)
    assert holder.index.memory_bytes == derived


@pytest.mark.parametrize(
    "error, traceback",
    [(CorruptIndexError("metadata nests too deep"), False), (RecursionError("deep"), True)],
)
def test_reload_failure_logged_once_per_version_of_the_file(tmp_path, caplog, error, traceback):
    # One line with the cause for a known kind, a traceback for a surprise;
    # never again for the same file, however often it is checked.
    def load(path):
        if holder is not None:
            raise error
        return SAMPLE

    holder = None
    path = tmp_path / "live.idx"
    path.write_bytes(b"first")
    holder = IndexHolder(str(path), loader=load)
    caplog.set_level(logging.INFO, logger="tessarin")
    for version in (b"second", b"third"):
        replace_file(path, version)
        caplog.clear()
        assert not any(asyncio.run(holder.check()) for _ in range(3))
        [failure] = [r for r in caplog.records if r.levelno >= logging.WARNING]
        assert f"{type(error).__name__}: {error}" in failure.getMessage()
        assert bool(failure.exc_info) is traceback and "\n" not in failure.getMessage()
        assert holder.index is SAMPLE


# The real process.


def test_workers_reload_on_sighup_and_keep_serving_through_a_bad_file(tmp_path, serve_process):
    path = tmp_path / "live.idx"
    small_index("cat").save(path)
    server = serve_process(str(path), "--workers", "2", "--threads", "2", "--reload-interval", "0")

    def all_workers_serve(terms):
        # Fresh connections land on either worker: ask until 20 agree.
        return lambda: all(server.get("/health")[1]["terms"] == terms for _ in range(20))

    # Both workers up (their SIGHUP handlers set) before the first signal.
    server.wait_until(
        lambda: server.logs().count("Application startup complete") == 2,
        "the workers did not start",
    )
    replace_file(path, small_index("cat", "dog").to_bytes())
    server.signal(signal.SIGHUP)
    server.wait_until(all_workers_serve(2), "the workers did not reload on SIGHUP")

    replace_file(path, b"\x89TSR\r\n\x1a\n not an index")
    server.signal(signal.SIGHUP)
    server.wait_until(
        lambda: server.logs().count("could not be loaded") == 1,
        "the supervisor should log the failed load, once for every worker",
    )
    assert all_workers_serve(2)()
    assert server.get("/search?q=dgo")[1]["videos"][0]["video"] == "601"
    assert " ms" in server.out.read_text()  # the access log
    assert server.stop() == 0


@pytest.mark.skipif(not sharing.supported(), reason="/proc is Linux's")
def test_a_killed_worker_is_replaced_and_sigterm_leaves_no_process(tmp_path, serve_process):
    # The service is the supervisor and its workers, nothing beside them
    # once a check is over; a killed worker is replaced, and serves the
    # copy announced; SIGTERM leaves no process behind.
    path = tmp_path / "live.idx"
    small_index("cat", "dog").save(path)
    server = serve_process(str(path), "--workers", "2", "--threads", "1", "--reload-interval", "0")
    server.wait_until(
        lambda: server.logs().count("Application startup complete") == 2,
        "the workers did not start",
    )
    workers = descendants(server.process.pid)
    assert len(workers) == 2, workers
    os.kill(workers[0], signal.SIGKILL)
    server.wait_until(
        lambda: server.logs().count("Application startup complete") == 3,
        "the killed worker was not replaced",
    )
    replace_file(path, small_index("cat", "dog", "cow").to_bytes())
    server.signal(signal.SIGHUP)
    server.wait_until(
        lambda: all(server.get("/health")[1]["terms"] == 3 for _ in range(20)),
        "the new worker did not reload on SIGHUP",
    )
    server.wait_until(lambda: len(descendants(server.process.pid)) == 2, "a checker was left")
    service = [server.process.pid, *descendants(server.process.pid)]
    assert workers[0] not in service
    assert server.stop() == 0
    assert not [pid for pid in service if running(pid)]


def descendants(pid):
    """The processes below `pid`, children first."""
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as file:
            children = [int(child) for child in file.read().split()]
    except FileNotFoundError:
        return []
    return children + [below for child in children for below in descendants(child)]


def running(pid):
    """Whether `pid` names a process that has not ended (a zombie has)."""
    try:
        with open(f"/proc/{pid}/stat") as file:
            return file.read().rpartition(")")[2].split()[0] not in "ZX"
    except FileNotFoundError:
        return False


def metric_samples(text):
    """{(name, labels as a sorted tuple): value} of a /metrics page."""
    return {
        (sample.name, tuple(sorted(sample.labels.items()))): sample.value
        for family in text_string_to_metric_families(text)
        for sample in family.samples
    }


def test_metrics_count_requests_refusals_and_the_index():
    with TestClient(create_app()) as client:
        before = metric_samples(client.get("/metrics").text)
        for target in ("/search?q=cat", "/search?q=cat", "/search?q=a&limit=0", "/nowhere/1"):
            client.get(target)
        after = metric_samples(client.get("/metrics").text)

    def grew(name, **labels):
        key = (name, tuple(sorted(labels.items())))
        return after.get(key, 0) - before.get(key, 0)

    assert grew("tessarin_requests_total", endpoint="/search", status="200") == 2
    assert grew("tessarin_requests_total", endpoint="/search", status="422") == 1
    assert grew("tessarin_requests_total", endpoint="other", status="404") == 1
    assert grew("tessarin_refused_total", cause="out_of_bounds") == 1
    assert grew("tessarin_request_duration_seconds_count", endpoint="/search") == 3
    assert after[("tessarin_index_terms", ())] == len(SAMPLE)
    assert after[("tessarin_queries_pending", ())] == 0


def test_metrics_add_up_every_workers_figures_and_logs_are_json(tmp_path, serve_process):
    path = tmp_path / "live.idx"
    small_index("cat", "dog").save(path)
    server = serve_process(
        str(path), "--workers", "2", "--threads", "1", "--reload-interval", "0",
        "--log-format", "json",
    )  # fmt: skip
    server.wait_until(
        lambda: server.logs().count("Application startup complete") == 2,
        "the workers did not start",
    )
    for _ in range(30):  # fresh connections: both workers answer some
        assert server.get("/suggest?q=cta")[0] == 200
    # A worker counts a request once its answer is sent: wait for the last.
    found = {}
    suggests = ("tessarin_requests_total", (("endpoint", "/suggest"), ("status", "200")))

    def all_counted():
        with urllib.request.urlopen(server.url + "/metrics", timeout=10) as response:
            found.update(metric_samples(response.read().decode()))
        return found.get(suggests, 0) >= 30

    server.wait_until(all_counted, "the workers did not count every request")
    assert found[suggests] == 30
    assert found[("tessarin_index_load_seconds_count", (("kind", "start"),))] == 2
    assert found[("tessarin_index_generation", ())] == 1

    def all_logged():
        whole = server.out.read_text().split("\n")[:-1]  # a line still being written waits
        access = [json.loads(line) for line in whole]
        return [(a["target"], a["status"]) for a in access].count(("/suggest?q=cta", 200)) == 30

    server.wait_until(all_logged, "the workers did not log every request")
    logged = [line for line in server.err.read_text().splitlines() if line[:10] != "tessarin: "]
    assert all(json.loads(line)["level"] for line in logged)  # all but the address printed


@pytest.mark.skipif(not sharing.supported(), reason="sealed memory files are Linux's")
def test_workers_serve_one_of_two_indexes_whatever_is_done_to_the_file(tmp_path, serve_process):
    # Rewritten in place (whole, or torn while a copy is made), truncated,
    # replaced, with reloads polled and signalled: no worker dies, and
    # every answer comes from one index or the other, never a mix.
    versions = {}
    for video in (600, 700):
        Index.build([("cat", video, 1), ("dog", video + 1, 1)]).save(tmp_path / "one.idx")
        versions[str(video)] = (tmp_path / "one.idx").read_bytes()
    first, second = versions.values()
    path = tmp_path / "live.idx"
    path.write_bytes(first)
    server = serve_process(str(path), "--workers", "2", "--reload-interval", "0.02")
    server.wait_until(
        lambda: server.logs().count("Application startup complete") == 2,
        "the workers did not start",
    )
    answers = []
    done = threading.Event()

    def ask():
        while not done.is_set():
            status, body = server.get("/search?q=cat")
            answers.append(body["videos"][0]["video"] if status == 200 else (status, body))

    def rewrite(data, pause=0.0):
        with open(path, "r+b") as file:
            file.write(data[: len(data) // 2])
            file.flush()
            time.sleep(pause)
            file.write(data[len(data) // 2 :])
            file.truncate()

    asker = threading.Thread(target=ask)
    asker.start()
    try:
        for data in (second, first):
            rewrite(data)
            time.sleep(0.15)
            rewrite(data[::-1], pause=0.1)  # garbage, half written for a while
            server.signal(signal.SIGHUP)
            time.sleep(0.1)
            os.truncate(path, len(data) // 3)
            time.sleep(0.1)
            rewrite(data, pause=0.1)
            time.sleep(0.1)
            replace_file(path, data)
            time.sleep(0.15)
    finally:
        done.set()
        asker.join()
    assert set(answers) == {"600", "700"}, set(map(str, answers))

    def all_serve_the_first():
        return all(server.get("/search?q=cat")[1]["videos"][0]["video"] == "600" for _ in range(20))

    server.wait_until(all_serve_the_first, "the workers did not settle on the last file")
    logs = server.logs()
    assert "died" not in logs and "Traceback" not in logs
    assert server.stop() in (0, -signal.SIGTERM)


def test_concurrent_heavy_and_hostile_requests_never_break_a_worker(tmp_path, serve_process):
    # Long queries at the greatest distance, more at once than the threads,
    # interleaved with refusals and raw bytes no client would send.
    words = [
        "".join(chr(97 + (k * 7 + i * 3) % 26) for i in range(6 + k % 9)) for k in range(20000)
    ]
    path = tmp_path / "big.idx"
    small_index(*words).save(path)
    server = serve_process(str(path), "--threads", "2")
    targets = [f"/search?q={(w * 5)[:64]}&max_dist=2&prefix=true" for w in words[:100]]
    targets += ["/suggest?q=%ff", "/search?q=" + "a" * 500, "/suggest?q=ab&max_dist=-7"] * 20

    def fetch(target):
        return server.get(target, timeout=60)[0]

    with concurrent.futures.ThreadPoolExecutor(64) as pool:
        statuses = list(pool.map(fetch, targets))
    assert statuses.count(200) + statuses.count(503) == 100
    assert sorted(set(statuses[100:])) == [400, 422]
    assert server.get("/health")[0] == 200
    assert server.stop() in (0, -signal.SIGTERM)  # uvicorn re-raises the signal it handled


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["serve", "/nonexistent/x.idx"], 1, "No such file or directory"),
        (["serve", "--port", "70000"], 2, "invalid port number"),
        (["serve", "--workers", "0"], 2, "invalid integer of 1 or more"),
    ],
)
def test_serve_refuses_bad_arguments(capsys, args, status, message):
    try:
        got = main(args)
    except SystemExit as exit:
        got = exit.code
    assert got == status and message in capsys.readouterr().err


# The clients: a real server with tight bounds on what a connection may hold.

HEAD = b"GET /health HTTP/1.1\r\nHost: x\r\n"


@pytest.fixture(scope="module")
def bounded(serve_module):
    return serve_module(
        *("--keep-alive", "0.5", "--head-timeout", "1.5"),
        *("--max-connections", "6", "--max-header-bytes", "2048"),
    )


def connect(server):
    host, port = server.url.removeprefix("http://").split(":")
    return socket.create_connection((host, int(port)), timeout=10)


def exchange(server, chunks=(), pause=0.0):
    """What the server sends on a connection, to its end, for `chunks`
    sent `pause` seconds apart until it answers."""
    with connect(server) as sock:
        for chunk in chunks:
            if select.select([sock], [], [], pause)[0]:
                break
            sock.sendall(chunk)
        received = b""
        while data := sock.recv(65536):  # a timeout here: never closed
            received += data
        return received


def answer(received):
    """(status, JSON body) of the last answer in `received`."""
    head, _, body = received.rpartition(b"\r\n\r\n")
    return int(head.split(b"HTTP/1.1 ")[-1][:3]), json.loads(body)


def test_pipelined_answers_each_whole_and_in_order(bounded):
    # Each answer's head waits for its body, but for HEAD, which has none.
    sent = [b"HEAD /health", b"GET /health", b"GET /suggest?q=%ff", b"HEAD /nowhere", b"GET /"]
    received = exchange(bounded, [b"".join(r + b" HTTP/1.1\r\nHost: x\r\n\r\n" for r in sent)])
    answers = re.split(rb"(?=HTTP/1\.1 \d{3} )", received)[1:]
    assert [a[9:12] for a in answers] == [b"200", b"200", b"400", b"404", b"200"]
    assert [a.endswith(b"\r\n\r\n") for a in answers] == [True, False, False, True, False]
    assert b'"status":"ok"' in answers[1] and answers[4].rstrip().endswith(b"</html>")


@pytest.mark.parametrize(
    "chunks, pause, status",
    [
        ((), 0, None),  # connects, sends nothing: closed quietly
        ((HEAD[:10], *[b"x"] * 40), 0.1, 408),  # a byte at a time, never done
        ((HEAD + b"\r\n",), 0, 200),  # answered, then idle
    ],
)
def test_idle_and_slow_connections_are_closed(bounded, chunks, pause, status):
    received = exchange(bounded, chunks, pause)
    assert (answer(received)[0] if received else None) == status


def padded(size):
    """A request head of exactly `size` bytes."""
    return HEAD + b"X-Pad: " + b"a" * (size - len(HEAD) - 11) + b"\r\n\r\n"


@pytest.mark.parametrize(
    "sent, status, reason",
    [
        (padded(2048), 200, "ok"),
        (padded(2049), 431, "the request head is larger than 2048 bytes"),
        (padded(300_000), 431, "the request head is larger than 2048 bytes"),
        (HEAD + b"".join(b"X-%d: 1\r\n" % n for n in range(100)) + b"\r\n", 431, "more than 100"),
        (b"GET /health HTTP/1.1\r\nHost x\r\n\r\n", 400, "invalid HTTP request"),
        (b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 400, "invalid HTTP request"),  # TLS
    ],
)
def test_heads_too_large_or_not_http_refused_as_json(bounded, sent, status, reason):
    got, body = answer(exchange(bounded, [sent[k : k + 65536] for k in range(0, len(sent), 65536)]))
    assert got == status and reason in body.get("error", body.get("status"))


def test_slow_clients_at_the_cap_make_room_for_prompt_ones(serve_module):
    # A head timeout longer than the test, and the heads seen begun before
    # the cap is reached: what is evicted is a client that began a request.
    server = serve_module("--head-timeout", "60", "--max-connections", "6", "--admin")
    slow = []
    try:
        for _ in range(5):
            slow.append(connect(server))
            slow[-1].sendall(HEAD)
        server.wait_until(
            lambda: server.get("/info")[1]["worker"]["connections"].get("reading", 0) == 5,
            "the server did not read the heads",
        )
        slow.append(connect(server))  # the cap: each never ending its head
        slow[-1].sendall(HEAD)
        assert server.get("/search?q=cat")[0] == server.get("/health")[0] == 200
        assert answer(slow[0].recv(65536)) == (
            503,
            {"error": "the server is at its connection limit; try again", "status": 503},
        )
        counts = server.get("/info")[1]["worker"]["connections"]
        assert counts["closed_evicted"] >= 1 and counts["open"] <= 6
    finally:
        for sock in slow:
            sock.close()


# Signals.


@pytest.mark.parametrize("workers", ["1", "2"])
def test_sighup_at_any_moment_after_start_is_safe(tmp_path, serve_process, workers):
    # From the moment the address is printed: workers start meanwhile.
    def hang_up(server):
        started = time.monotonic()
        for moment in (0, 0.1, 0.3, 0.6):
            time.sleep(max(0.0, started + moment - time.monotonic()))
            server.signal(signal.SIGHUP)

    path = tmp_path / "live.idx"
    small_index("cat").save(path)
    server = serve_process(str(path), "--workers", workers, on_address=hang_up)
    server.wait_until(
        lambda: server.logs().count("Application startup complete") == int(workers),
        "the workers did not start",
    )
    assert server.get("/health")[0] == 200 and "died" not in server.logs()
    assert server.stop() in (0, -signal.SIGTERM)  # uvicorn re-raises the signal it handled
