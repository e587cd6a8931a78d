"""The command line, end to end through a subprocess."""

import csv
import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import uuid

import pytest

from tessarin import PrefixSearch, build_index
from tessarin.sample import load_sample

UUID_TEXT = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")

RECORDS = [
    ("cat", 600, 6),
    ("cat", 300, 4),
    ("car", 300, 20),
    ("cart", 700, 3),
    ("dog", 600, 5),
    ("dogs", 800, 2),
]


def tessarin(*args, stdin=None):
    """(status, stdout, stderr) of `python -m tessarin ARGS`."""
    done = subprocess.run(
        [sys.executable, "-m", "tessarin", *map(str, args)],
        input=stdin,
        capture_output=True,
        timeout=120,
    )
    return done.returncode, done.stdout, done.stderr.decode()


def text_run(*args, stdin=None):
    status, out, err = tessarin(*args, stdin=stdin)
    return status, out.decode(), err


def assert_one_line_failure(status, err, pattern):
    assert status == 1
    assert "Traceback" not in err
    assert err.count("\n") == 1 and re.match(r"^tessarin: " + pattern, err), err


def table(out):
    lines = out.splitlines()
    return lines[0].split(), [line.split() for line in lines[1:]]


@pytest.fixture(scope="module")
def records_csv(tmp_path_factory):
    path = tmp_path_factory.mktemp("records") / "records.csv"
    with open(path, "w", newline="") as f:
        csv.writer(f).writerows([("term", "video", "count"), *RECORDS])
    return path


@pytest.fixture(scope="module")
def built(records_csv, tmp_path_factory):
    out = tmp_path_factory.mktemp("index") / "index.idx"
    status, _, err = text_run("build", records_csv, out)
    assert status == 0, err
    return out


# ------------------------------------------------------------- the sample


def test_search_on_the_sample_ranks_videos_for_a_misspelt_word():
    status, out, err = text_run("search", "resturant")
    assert status == 0, err
    headers, rows = table(out)
    assert headers == ["video", "score"]
    assert 1 <= len(rows) <= 10
    assert all(UUID_TEXT.match(video) for video, _ in rows)
    scores = [float(score) for _, score in rows]
    assert scores == sorted(scores, reverse=True)
    expected = load_sample().fuzzy_match_video("resturant", limit=10)
    assert [video for video, _ in rows] == [video for video, _ in expected]


def test_terms_on_the_sample_closest_first():
    status, out, _ = text_run("terms", "wheather", "--max-dist", "2")
    assert status == 0
    headers, rows = table(out)
    assert headers == ["term", "distance"]
    distances = [int(d) for _, d in rows]
    assert distances == sorted(distances)
    assert rows[:2] == [["weather", "1"], ["whether", "1"]]
    status, out, _ = text_run("terms", "wheather", "--max-dist", "2", "--limit", "1", "--json")
    assert json.loads(out) == [{"term": "weather", "distance": 1}]


@pytest.mark.parametrize(
    "options, check",
    [
        (["--limit", "2"], lambda r: len(r) == 2),
        (["--limit", "0"], lambda r: r == []),
        (["--min-score", "0.3"], lambda r: all(s >= 0.3 for _, s in r)),
        (["--max-dist", "0"], lambda r: r == []),  # no exact term "resturant"
        (["--max-dist", "0", "--prefix"], lambda r: r == []),
    ],
)
def test_search_options(options, check):
    status, out, _ = text_run("search", "resturant", "--json", *options)
    assert status == 0
    results = json.loads(out)
    assert check([(r["video"], r["score"]) for r in results])


def test_prefix_switch_reaches_the_ranking():
    # "restaur" is no term: automatic mode falls back to prefix nodes,
    # --no-prefix then finds nothing.
    index = load_sample()
    _, auto, _ = text_run("search", "restaur", "--json", "--limit", "50")
    _, never, _ = text_run("search", "restaur", "--json", "--no-prefix")
    assert [tuple(r.values()) for r in json.loads(auto)] == [
        (v, s) for v, s in index.fuzzy_match_video("restaur", limit=50)
    ]
    assert json.loads(auto) and json.loads(never) == []


def test_no_match_says_so_on_stderr():
    status, out, err = text_run("search", "qqqqqqqqqq")
    assert (status, out) == (0, "")
    assert "no video matches" in err


# ----------------------------------------------------- build, info, search


def test_build_info_and_search_a_built_index(built):
    status, out, _ = text_run("info", built)
    assert status == 0
    info = dict(re.split(r"\s{2,}", line.strip(), maxsplit=1) for line in out.splitlines())
    assert info["nodes"] == "10" and info["terms"] == "5" and info["videos"] == "4"
    assert info["identifier mode"] == "int"
    assert info["size"] == f"{os.path.getsize(built):,} bytes"
    _, out, _ = text_run("info", built, "--json")
    assert json.loads(out) == {
        "nodes": 10,
        "terms": 5,
        "videos": 4,
        "identifier_mode": "int",
        "size": os.path.getsize(built),
    }
    status, out, _ = text_run("search", built, "cat", "--json")
    expected = build_index(RECORDS).fuzzy_match_video("cat", limit=10)
    assert [(r["video"], r["score"]) for r in json.loads(out)] == expected
    assert expected[0][0] == "600"


def test_text_formats_and_standard_streams_give_the_same_index(built, tmp_path):
    saved = built.read_bytes()
    tsv = "".join(f"{t}\t{v}\t{c}\n" for t, v, c in RECORDS)
    status, out, err = tessarin("build", "-", "-", stdin=tsv.encode())
    assert status == 0 and out == saved, err
    gz = tmp_path / "records.tsv.gz"
    gz.write_bytes(gzip.compress(tsv.encode()))
    assert tessarin("build", gz, "-")[1] == saved
    # Columns named in another order, with an extra column.
    named = tmp_path / "named.txt"
    named.write_text("Count,extra,Video,Term\n" + "".join(f"{c},x,{v},{t}\n" for t, v, c in RECORDS))
    assert tessarin("build", named, "-", "--format", "csv")[1] == saved


def test_two_fields_count_one_and_uuids_are_read(tmp_path):
    videos = [uuid.UUID(int=k * 7919 + 1) for k in range(3)]
    path = tmp_path / "clicks.csv"
    rows = [f"cat,{videos[0]}", f"cat,{videos[0].hex}", f"car,{{{videos[1]}}}", f"cat,{videos[2]}"]
    path.write_text("\n".join(rows) + "\n")
    status, out, err = tessarin("build", path, "-", "-q")
    assert status == 0 and err == ""
    expected = build_index([("cat", videos[0], 2), ("car", videos[1], 1), ("cat", videos[2], 1)])
    assert out == expected.to_bytes()


def test_parquet(tmp_path, built):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    path = tmp_path / "records.parquet"
    table = pa.table(
        {
            "term": [t for t, _, _ in RECORDS],
            "video": [v for _, v, _ in RECORDS],
            "count": [c for _, _, c in RECORDS],
        }
    )
    pq.write_table(table, path)
    status, out, err = tessarin("build", path, "-")
    assert status == 0 and out == built.read_bytes(), err
    renamed = tmp_path / "no_suffix"
    shutil.copy(path, renamed)  # found by its magic number
    assert tessarin("build", renamed, "-")[1] == built.read_bytes()


def test_progress_bar_on_request(records_csv, tmp_path):
    status, _, err = text_run("build", records_csv, tmp_path / "x.idx", "--progress")
    assert status == 0
    assert "100%" in err and "6 records" in err
    status, _, err = text_run("build", records_csv, tmp_path / "y.idx", "--quiet")
    assert (status, err) == (0, "")  # not a terminal: no bar


def test_top_n_reaches_the_build(records_csv):
    big = tessarin("build", records_csv, "-", "--top-n", "10")[1]
    small = tessarin("build", records_csv, "-", "--top-n", "0")[1]
    assert big == build_index(RECORDS, video_top_n=10).to_bytes()
    assert small == build_index(RECORDS, video_top_n=0).to_bytes()


def test_console_script():
    script = shutil.which("tessarin")
    if script is None:
        pytest.skip("the package is not installed (no tessarin script on PATH)")
    done = subprocess.run([script, "search", "resturant", "--limit", "1"], capture_output=True)
    assert done.returncode == 0 and done.stdout.startswith(b"video")


# ----------------------------------------------------------------- failures

BAD_RECORD_FILES = [
    ("cat,7,3\ndog,x,2\n", r"\S+, line 2: the video identifier 'x' is neither"),
    ("cat,7,3\ndog,8,-2\n", r"\S+, line 2: .*the count -2 is outside"),
    ("cat,7,3\n,8,2\n", r"\S+, line 2: .*the term is empty"),
    ("cat,7,3\ndog,7,2,5\n", r"\S+, line 2: expected 3 fields"),
    ("cat,7,3\ndog,7,many\n", r"\S+, line 2: the count 'many' is not an integer"),
    ("cat,7,3\ndog,8c5e5efd-1d23-47fe-be6b-74a0934c4538,1\n", r"\S+, line 2: .*mixed video"),
    ("term,video,count\n", r"\S+: no records"),
    ("", r"\S+: no records"),
]


@pytest.mark.parametrize("content, message", BAD_RECORD_FILES)
def test_bad_records_fail_in_one_line_and_write_nothing(tmp_path, content, message):
    path = tmp_path / "bad.csv"
    path.write_text(content)
    out = tmp_path / "out.idx"
    status, _, err = text_run("build", path, out)
    assert_one_line_failure(status, err, message)
    assert os.listdir(tmp_path) == ["bad.csv"]


def test_bad_input_files(tmp_path):
    binary = tmp_path / "binary.csv"
    binary.write_bytes(b"caf\xe9,1,2\n")
    status, _, err = text_run("build", binary, tmp_path / "o.idx")
    assert_one_line_failure(status, err, r".*not UTF-8")
    status, _, err = text_run("build", tmp_path / "missing.csv", tmp_path / "o.idx")
    assert_one_line_failure(status, err, r".*missing\.csv: No such file")
    good = tmp_path / "good.csv"
    good.write_text("cat,1,1\n")
    status, _, err = text_run("build", good, tmp_path / "no" / "dir.idx")
    assert_one_line_failure(status, err, r".*dir\.idx: No such file")


def corrupt_files(built):
    saved = built.read_bytes()
    return {
        "empty": b"",
        "truncated": saved[: len(saved) // 2],
        "text": b"term,video,count\ncat,1,1\n",
        "bad tag": saved.replace(b"\x01", b"\x07"),
    }


@pytest.mark.parametrize("command", ["search", "terms", "info"])
@pytest.mark.parametrize("kind", ["empty", "truncated", "text", "bad tag"])
def test_corrupt_index_fails_in_one_line(built, tmp_path, command, kind):
    path = tmp_path / "corrupt.idx"
    path.write_bytes(corrupt_files(built)[kind])
    args = [command, path] + ([] if command == "info" else ["cat"])
    status, _, err = text_run(*args)
    assert_one_line_failure(status, err, r".*corrupt\.idx: not a saved tessarin index \(decode error")


@pytest.mark.parametrize("command", ["search", "terms", "info"])
def test_missing_index_fails_in_one_line(tmp_path, command):
    args = [command, tmp_path / "nope.idx"] + ([] if command == "info" else ["cat"])
    status, _, err = text_run(*args)
    assert_one_line_failure(status, err, r".*nope\.idx: No such file or directory")


def test_inconsistent_index_fails_in_one_line(tmp_path):
    # A saved form that decodes but whose root's child is a node that does
    # not exist: node_shifts [0], labels [0], child_transitions [5], one
    # absent payload, no videos, mode UUID, is_terminal [0].
    path = tmp_path / "odd.idx"
    path.write_bytes(bytes([1, 0, 1, 0, 1, 5, 1, 0, 0, 0, 0, 1, 0]))
    for command in ["search", "terms"]:
        status, _, err = text_run(command, path, "a")
        # The extension describes its internal failure on stderr itself; the
        # command adds its own one line and no traceback.
        native, ours = err.split("\n", 1)
        assert native.startswith("_tessarin: internal failure: corrupt index")
        assert_one_line_failure(status, ours, r"the index is inconsistent: corrupt index")


def test_trailing_bytes_are_reported_by_info(built, tmp_path):
    path = tmp_path / "tail.idx"
    path.write_bytes(built.read_bytes() + b"junk")
    status, out, _ = text_run("info", path)
    assert status == 0 and "4 bytes after the index" in out


@pytest.mark.parametrize(
    "args",
    [
        ["search", "--max-dist", "-1", "x"],
        ["search", "--max-dist", "4294967296", "x"],
        ["search", "--limit", "ten", "x"],
        ["search", "--min-score", "nan", "x"],
        ["build", "a.csv", "b.idx", "--format", "xml"],
        ["build", "a.csv"],
        ["frobnicate"],
        [],
    ],
)
def test_usage_errors(args):
    status, out, err = text_run(*args)
    assert status == 2 and out == "" and "usage:" in err and "Traceback" not in err
