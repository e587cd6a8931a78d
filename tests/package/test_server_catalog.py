"""/search with a video catalogue: rows in the answers, filters, pages,
explanations, the page's image policy, and the catalogue's reloading."""

import asyncio
import json
import math
import os

import pytest

pytest.importorskip("starlette")

from starlette.testclient import TestClient

from tessarin import Catalog
from tessarin.cli import main
from tessarin.server import ServeConfig, create_app
from tessarin.server.catalog import image_origin
from tessarin.storage.sample import load_sample_index, sample_catalog_path

SAMPLE = load_sample_index()
RANKED = [v.video for v in SAMPLE.search("music", 1)]


def write_catalog(path, rows):
    path.write_text("".join(json.dumps({"video": v, **row}) + "\n" for v, row in rows.items()))


@pytest.fixture
def catalog_file(tmp_path):
    # Every video of the ranked list but the first; every other one in French.
    rows = {
        v: {
            "title": f"Title {k}",
            "language": ["en", "fr"][k % 2],
            "tags": ["a", f"t{k}"],
            "thumbnail": f"https://img{k % 2}.example.com/{k}.jpg",
        }
        for k, v in enumerate(RANKED)
        if k
    }
    path = tmp_path / "videos.jsonl"
    write_catalog(path, rows)
    return path


@pytest.fixture
def client(catalog_file):
    config = ServeConfig(catalog=str(catalog_file), reload_interval=0)
    with TestClient(create_app(config)) as client:
        yield client


def search(client, query):
    response = client.get(f"/search?q=music&{query}")
    assert response.status_code == 200, response.text
    return response.json()


@pytest.mark.parametrize(
    ("query", "kept"),
    [
        ("", lambda k: True),
        ("filter=language:fr", lambda k: k % 2),
        ("filter=language:fr,en&filter=tags:t2,t3", lambda k: k in (2, 3)),
        ("filter=tags:a&filter=language:de", lambda k: False),
    ],
)
def test_filters_and_pages_cut_the_ranked_list(client, query, kept):
    wanted = [v for k, v in enumerate(RANKED) if (k or not query) and kept(k)]
    pages = [search(client, f"{query}&limit=2&offset={start}") for start in (0, 2, 4)]
    assert [v["video"] for page in pages for v in page["videos"]] == wanted[:6]
    first = pages[0]["videos"]
    if not query and first:
        # The video the catalogue lacks still comes, without a row.
        assert first[0]["catalog"] is None and first[1]["catalog"]["title"] == "Title 1"


def test_explain_adds_up_to_each_score(client):
    found = search(client, "explain=true&prefix=true&max_dist=2&limit=5")["videos"]
    assert found
    for video in found:
        explain = video["explain"]
        shares = [c["share"] for c in explain["contributions"]]
        assert shares == sorted(shares, reverse=True)
        assert math.isclose(sum(shares) + explain["others"]["share"], video["score"])
    assert "explain" not in search(client, "limit=1")["videos"][0]


@pytest.mark.parametrize(
    ("query", "status", "message"),
    [
        ("filter=genre:x", 422, "no column 'genre' to filter on"),
        ("filter=language", 400, "a filter is written column:value"),
        ("filter=language:", 400, "names no value"),
        ("offset=10001", 422, "offset must be between 0 and 10000"),
        ("filter=a:1&" * 17, 422, "at most 16 filters"),
    ],
)
def test_bad_filters_and_pages_refused(client, query, status, message):
    response = client.get(f"/search?q=music&{query}")
    assert response.status_code == status
    assert message in response.json()["error"]


def test_without_a_catalogue_rows_are_null_and_filters_refused():
    with TestClient(create_app(ServeConfig(reload_interval=0))) as client:
        assert search(client, "limit=1")["videos"][0]["catalog"] is None
        response = client.get("/search?q=music&filter=language:en")
        assert response.status_code == 422 and "no catalogue" in response.json()["error"]
        policy = client.get("/").headers["content-security-policy"]
        assert "img-src 'self';" in policy and client.get("/info").json()["catalog"] is None


@pytest.mark.parametrize(
    ("hosts", "images"),
    [
        (None, "'self' https://img0.example.com https://img1.example.com"),
        (("https://cdn.example.net",), "'self' https://cdn.example.net"),
    ],
)
def test_the_page_may_show_images_only_from_the_catalogues_hosts(catalog_file, hosts, images):
    config = ServeConfig(catalog=str(catalog_file), image_hosts=hosts, reload_interval=0)
    with TestClient(create_app(config)) as client:
        policy = client.get("/").headers["content-security-policy"]
    assert f"img-src {images};" in policy
    assert policy.startswith("default-src 'self';") and "frame-ancestors 'none'" in policy


@pytest.mark.parametrize(
    ("text", "origin"),
    [("img.example.com", "https://img.example.com"), ("HTTP://a.b:8080/", "http://a.b:8080")],
)
def test_image_hosts_read_as_origins(text, origin):
    assert image_origin(text) == origin


@pytest.mark.parametrize(
    "text", ["ftp://a.b", "https://a.b/x", "a.b;script-src *", "https://a.b:x"]
)
def test_image_hosts_that_are_not_origins_refused(text):
    with pytest.raises(ValueError):
        image_origin(text)


def test_a_changed_catalogue_is_swapped_in_and_a_bad_one_leaves_the_old(catalog_file, caplog):
    app = create_app(ServeConfig(catalog=str(catalog_file), reload_interval=0))
    catalogs = app.state.catalogs
    write_catalog(catalog_file, {RANKED[0]: {"title": "New", "thumbnail": "https://n.example/x"}})
    os.utime(catalog_file, ns=(1, 1))  # a change even within the clock's resolution
    assert catalogs.changed() and asyncio.run(catalogs.reload("changed", force=False))
    assert catalogs.catalog.get(RANKED[0]) == {"title": "New", "thumbnail": "https://n.example/x"}
    assert b"img-src 'self' https://n.example;" in catalogs.policy

    catalog_file.write_text('{"video": 1}\n{"video": 1}\n')
    assert not asyncio.run(catalogs.reload("changed"))
    assert catalogs.catalog.get(RANKED[0])["title"] == "New"
    assert "the video 1 is already in row 1" in caplog.text


def test_the_sample_catalogue_describes_most_of_the_sample():
    catalog = Catalog.read(sample_catalog_path())
    assert catalog.id_kind == SAMPLE.id_mode and 0.9 * 600 < len(catalog) < 600
    assert {"title", "url", "thumbnail", "language", "category"} <= set(catalog.columns)


@pytest.mark.parametrize(
    ("rows", "args", "message"),
    [
        ({"7": {"title": "x"}}, [], "names videos by integers, but the index by UUIDs"),
        ({RANKED[0]: {}}, ["--image-hosts", "ftp://x"], "'ftp://x' is not an image host"),
        (None, ["--image-hosts", "a.b/x"], "'a.b/x' is not an image host"),  # sample: found
    ],
)
def test_serve_refuses_a_catalogue_of_the_wrong_kind_and_bad_hosts(
    tmp_path, capsys, rows, args, message
):
    path = tmp_path / "videos.jsonl"
    if rows is not None:
        write_catalog(path, rows)
    assert main(["serve", "--catalog", "sample" if rows is None else str(path), *args]) == 1
    assert message in capsys.readouterr().err
