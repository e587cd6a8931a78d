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

from tessarin import Index, build_index
from tessarin.storage import container
from tessarin.storage.sample import load_sample, load_sample_index

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
        env={**os.environ, "SOURCE_DATE_EPOCH": "1700000000"},  # same records, same file
    )
    return done.returncode, done.stdout, done.stderr.decode()


def text_run(*args, stdin=None):
    status, out, err = tessarin(*args, stdin=stdin)
    return status, out.decode(), err


def assert_one_line_failure(status, err, pattern):
    assert status == 1
    assert "Traceback" not in err
    assert err.count("\n") == 1 and re.match(r"^tessarin: " + pattern, err), err


def saved_form(index_file):
    """The saved form of the index in an index file's bytes."""
    return Index.load(index_file)._native.to_saved()


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
    # Equally close: the more searched first.
    assert rows[:2] == [["whether", "1"], ["weather", "1"]]
    status, out, _ = text_run("terms", "wheather", "--max-dist", "2", "--limit", "1", "--json")
    [first] = json.loads(out)
    assert (first["term"], first["distance"]) == ("whether", 1) and first["count"] > 0


@pytest.mark.parametrize(
    "options, check",
    [
        (["--limit", "2"], lambda r: len(r) == 2),
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


@pytest.mark.parametrize("command", ["search", "terms"])
def test_transpositions_reach_the_index(command):
    # "rset" is one swap from "rest", two edits without transpositions.
    sample = load_sample_index()
    for swaps in (False, True):
        flag = ["--transpositions"] if swaps else []
        status, out, err = text_run(command, "rset", "--json", "--limit", "5", *flag)
        assert status == 0, err
        if command == "terms":
            expected = [tuple(s) for s in sample.suggest("rset", 1, 5, transpositions=swaps)]
            assert [(r["term"], r["distance"], r["count"]) for r in json.loads(out)] == expected
        else:
            expected = sample.search("rset", 1, 5, transpositions=swaps)
            assert [(r["video"], r["score"]) for r in json.loads(out)] == expected


needs_complete = pytest.mark.skipif(
    not hasattr(Index, "complete"), reason="Index.complete is not there yet"
)


@needs_complete
def test_complete_on_the_sample_lists_term_distance_and_count():
    status, out, err = text_run("complete", "resturan")
    assert status == 0, err
    headers, rows = table(out)
    assert headers == ["term", "distance", "count"]
    expected = load_sample_index().complete("resturan", "auto", 10)
    assert rows == [[c.term, str(c.distance), str(c.count)] for c in expected] and expected


@needs_complete
@pytest.mark.parametrize(
    "options, how",
    [
        ([], {"max_dist": "auto"}),
        (["--max-dist", "0", "--limit", "1"], {"max_dist": 0, "limit": 1}),
        (["--max-dist", "2", "--exact-prefix", "2"], {"max_dist": 2, "exact_prefix": 2}),
        (["--max-dist", "1", "--transpositions"], {"max_dist": 1, "transpositions": True}),
    ],
)
def test_complete_several_texts_as_json_lines(built, options, how):
    texts = ["ca", "dgo", "", "zzz"]
    status, out, err = text_run("complete", built, *texts, "--json", *options)
    assert status == 0, err
    index = Index.load(built)
    expected = [
        {"text": t, "completions": [c._asdict() for c in index.complete(t, **how)] if t else []}
        for t in texts
    ]
    assert [json.loads(line) for line in out.splitlines()] == expected
    assert "nothing typed" in err


@needs_complete
def test_complete_tables_each_text_under_its_name(built):
    status, out, err = text_run("complete", built, "ca", "zzz", "do", "--max-dist", "0")
    assert status == 0 and out.splitlines() == [
        *("ca", "term  distance  count", "car          0     20"),
        *("cat          0     10", "cart         0      3", ""),
        *("do", "term  distance  count", "dog          0      5", "dogs         0      2"),
    ]
    assert "nothing completes 'zzz' (max_dist 0)" in err


def test_complete_names_the_index_it_lacks():
    status, _, err = text_run("complete", "rest", "resta")
    assert_one_line_failure(
        status, err, r"rest: No such file or directory \(with two or more TEXTs"
    )


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
    fields = json.loads(out)
    assert {k: fields[k] for k in ("nodes", "terms", "videos", "identifier_mode", "size")} == {
        "nodes": 10,
        "terms": 5,
        "videos": 4,
        "identifier_mode": "int",
        "size": os.path.getsize(built),
    }
    assert fields["videos_per_node"] == 10 and fields["checksum"] == "not checked"
    _, out, _ = text_run("info", built, "--verify", "--json")
    assert json.loads(out)["checksum"] == "verified"
    truncated = built.parent / "truncated.idx"
    truncated.write_bytes(built.read_bytes()[:-1])
    status, _, err = text_run("info", truncated)  # the header alone tells
    assert_one_line_failure(status, err, r".*truncated\.idx: the index file is truncated")
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
    named.write_text(
        "Count,extra,Video,Term\n" + "".join(f"{c},x,{v},{t}\n" for t, v, c in RECORDS)
    )
    assert tessarin("build", named, "-", "--format", "csv")[1] == saved


def test_two_fields_count_one_and_uuids_are_read(tmp_path):
    videos = [uuid.UUID(int=k * 7919 + 1) for k in range(3)]
    path = tmp_path / "clicks.csv"
    rows = [f"cat,{videos[0]}", f"cat,{videos[0].hex}", f"car,{{{videos[1]}}}", f"cat,{videos[2]}"]
    path.write_text("\n".join(rows) + "\n")
    status, out, err = tessarin("build", path, "-", "-q")
    assert status == 0 and err == ""
    expected = build_index([("cat", videos[0], 2), ("car", videos[1], 1), ("cat", videos[2], 1)])
    assert saved_form(out) == expected.to_bytes()


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
    small = tessarin("build", records_csv, "-", "--top-n", "1")[1]
    assert saved_form(big) == build_index(RECORDS, video_top_n=10).to_bytes()
    assert saved_form(small) == build_index(RECORDS, video_top_n=1).to_bytes()
    assert container.parse(small)[0].video_top_n == 1


def test_console_script():
    script = shutil.which("tessarin")
    if script is None:
        pytest.skip("the package is not installed (no tessarin script on PATH)")
    done = subprocess.run([script, "search", "resturant", "--limit", "1"], capture_output=True)
    assert done.returncode == 0 and done.stdout.startswith(b"video")


# ----------------------------------------------------------------- failures

BAD_RECORD_FILES = [
    ("cat,7,3\ndog,x,2\n", r"\S+, line 2: the video identifier 'x' is neither.*'dog,x,2'$"),
    ("cat,7,3\ndog,8,-2\n", r"\S+, line 2: the count -2 is outside"),
    ("cat,7,3\n,8,2\n", r"\S+, line 2: the term is empty; the line: ',8,2'$"),
    ("cat,7,3\ndog,7,\n", r"\S+, line 2: the count '' is not an integer"),
    ("cat,7,3\ndog,7,2,5\n", r"\S+, line 2: 4 fields where 3 are expected; the line: 'dog,7,2,5'$"),
    ("term,video,count\ncat,7,3\ndog,7,many\n", r"\S+, line 3: the count 'many' is not an"),
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
    assert_one_line_failure(
        status, err, r".*binary\.csv, line 1: bytes that are not UTF-8; the line: 'caf\ufffd,1,2'$"
    )
    status, _, err = text_run("build", tmp_path / "missing.csv", tmp_path / "o.idx")
    assert_one_line_failure(status, err, r".*missing\.csv: No such file")
    good = tmp_path / "good.csv"
    good.write_text("cat,1,1\n")
    status, _, err = text_run("build", good, tmp_path / "no" / "dir.idx")
    assert_one_line_failure(status, err, r".*dir\.idx: no such directory")


def corrupt_files(built):
    saved = built.read_bytes()
    return {
        "empty": b"",
        "truncated": saved[: len(saved) // 2],
        "text": b"term,video,count\ncat,1,1\n",
        "bad tag": saved[:-1] + bytes([saved[-1] ^ 4]),
    }


@pytest.mark.parametrize("command", ["search", "terms", "complete", "info"])
@pytest.mark.parametrize("kind", ["empty", "truncated", "text", "bad tag"])
def test_corrupt_index_fails_in_one_line(built, tmp_path, command, kind):
    path = tmp_path / "corrupt.idx"
    path.write_bytes(corrupt_files(built)[kind])
    args = [command, path] + (["--verify"] if command == "info" else ["cat"])
    status, _, err = text_run(*args)
    expected = {
        "empty": "an empty file is not a tessarin index",
        "truncated": "the index file is truncated",
        "text": r"not a tessarin index file, nor a saved index \(the saved index does not decode",
        "bad tag": "the index file is damaged: ",
    }[kind]
    assert_one_line_failure(status, err, r".*corrupt\.idx: " + expected)


@pytest.mark.parametrize("command", ["search", "terms", "complete", "info"])
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
    for args in [["search", path, "a"], ["terms", path, "a"], ["info", path]]:
        status, _, err = text_run(*args)
        assert_one_line_failure(status, err, r".*odd\.idx: the saved index does not hold together")


def test_trailing_bytes_are_refused(built, tmp_path):
    path = tmp_path / "tail.idx"
    path.write_bytes(saved_form(built.read_bytes()) + b"junk")
    status, _, err = text_run("info", path)
    assert_one_line_failure(status, err, r".*tail\.idx: the saved index has 4 bytes after its end")


def test_bare_saved_forms_load_with_a_note(built, tmp_path):
    path = tmp_path / "bare.idx"
    path.write_bytes(saved_form(built.read_bytes()))
    status, out, err = text_run("search", path, "cat", "--json")
    assert status == 0 and json.loads(out)[0]["video"] == "600"
    assert "bare saved index, with no checksum" in err
    _, out, _ = text_run("info", path, "--json")
    assert json.loads(out)["format"] == "bare saved index"


# ------------------------------------------------------- traps, closed


def test_forgotten_text_is_refused(built):
    status, _, err = text_run("search", built)
    assert_one_line_failure(status, err, r".*index\.idx is an index file: give the text")


@pytest.mark.parametrize("command", ["search", "terms"])
def test_an_empty_text_matches_nothing_in_both_commands(command):
    status, out, err = text_run(command, "", "--json", "--max-dist", "3")
    assert (status, json.loads(out)) == (0, [])
    status, out, err = text_run(command, " ")
    assert (status, out) == (0, "") and "nothing typed" in err


def test_build_checks_its_output_first_and_keeps_its_input(records_csv, tmp_path):
    bad = tmp_path / "bad.csv"
    bad.write_text("cat,x,1\n")
    status, _, err = text_run("build", bad, tmp_path / "missing" / "out.idx")
    assert_one_line_failure(status, err, r".*out\.idx: no such directory")  # before reading
    copy = tmp_path / "records.csv"
    shutil.copy(records_csv, copy)
    status, _, err = text_run("build", copy, copy)
    assert_one_line_failure(status, err, r".*records\.csv: is the records file itself")
    assert copy.read_bytes() == records_csv.read_bytes()


def test_build_writes_through_a_symbolic_link(records_csv, tmp_path):
    target = tmp_path / "real.idx"
    target.write_bytes(b"old")
    link = tmp_path / "link.idx"
    link.symlink_to(target)
    status, _, err = text_run("build", records_csv, link, "-q")
    assert status == 0, err
    assert link.is_symlink() and container.is_container(target.read_bytes())


def test_version():
    status, out, _ = text_run("--version")
    assert status == 0 and re.match(r"^tessarin \d+\.\d+\.\d+", out)


@pytest.mark.parametrize(
    "args",
    [
        ["search", "--max-dist", "-1", "x"],
        ["search", "--max-dist", "4294967296", "x"],
        ["terms", "--max-dist", "5", "x"],
        ["serve", "--max-dist", "5"],
        ["search", "--limit", "ten", "x"],
        ["search", "--limit", "0", "x"],
        ["terms", "--limit", "0", "x"],
        ["complete", "--max-dist", "Auto", "x"],
        ["complete", "--max-dist", "5", "x"],
        ["complete", "--limit", "0", "x"],
        ["complete", "--exact-prefix", "-1", "x"],
        ["complete"],
        ["build", "a.csv", "b.idx", "--top-n", "0"],
        ["search", "--min-score", "nan", "x"],
        ["search", "--min-score", "1.5", "x"],
        ["build", "a.csv", "b.idx", "--format", "xml"],
        ["build", "a.csv"],
        ["build", "a.csv", "b.idx", "--min-count", "-1"],
        ["aggregate", "a.csv", "b.parquet", "--bucket", "week"],
        ["frobnicate"],
        [],
    ],
)
def test_usage_errors(args):
    status, out, err = text_run(*args)
    assert status == 2 and out == "" and "usage:" in err and "Traceback" not in err


# ------------------------------------------------- the daily pipeline


def test_daily_pipeline_aggregates_then_builds_old_searches_weighing_less(tmp_path):
    (tmp_path / "aggregates").mkdir()
    day1, day2 = tmp_path / "2026-03-01.csv", tmp_path / "2026-03-02.csv"
    day1.write_text("term,video,time\ncar,1,2026-03-01 09:00\ncart,2,2026-03-01T10:00:00Z\n")
    day2.write_text("term,video,time\ncat,3,2026-03-02\ncat,3,yesterday\nsecret,4,2026-03-02\n")
    (tmp_path / "blocked.txt").write_text("sec*\n")
    status, _, err = text_run("aggregate", day1, tmp_path / "aggregates" / "1.parquet")
    assert (
        status == 0
        and err
        == f"{tmp_path}/aggregates/1.parquet: 2 searches in 2 rows, 1 day, "
        f"{os.path.getsize(tmp_path / 'aggregates' / '1.parquet'):,} bytes\n"
    )
    status, _, err = text_run(
        "aggregate", day2, tmp_path / "aggregates" / "2.parquet", "--skip-bad"
    )
    assert status == 0 and "skipped 1 bad row (1 bad time):\n" in err and "line 3:" in err
    out = tmp_path / "index.tsx"
    status, _, err = text_run(
        "build",
        tmp_path / "aggregates",
        out,
        "--half-life",
        "1d",
        "--exclude",
        tmp_path / "blocked.txt",
        "--min-count",
        "1",
    )
    assert status == 0, err
    assert err.splitlines() == [
        "kept out 1 record of 1 term (--exclude)",
        "dropped 2 terms of fewer than 1 search (--min-count)",
        f"{out}: 3 records (weighed: half-life 1d, as of 2026-03-02T00:00:00Z), 1 term, 1 video, "
        f"{os.path.getsize(out):,} bytes",
    ]
    _, found, _ = text_run("info", out)
    assert "recency          half-life 1d, as of 2026-03-02T00:00:00Z, times from day" in found
    assert "excluded terms   1 entries, sha256 " in found


@pytest.mark.parametrize(
    "args, message",
    [
        (["--as-of", "2026-01-01"], "--as-of goes with --half-life"),
        (["--half-life", "soon"], "--half-life must be a duration such as 7d"),
        (["--half-life", "1d", "--as-of", "Monday"], "--as-of must be ISO 8601 text"),
        (
            ["--half-life", "1d"],
            r".*records\.csv: no time column \(the columns: term, video, count\)",
        ),
        (["--exclude", "missing.txt"], "missing.txt: No such file or directory"),
        (["--min-count", "1000"], r".*records\.csv: no term has 1,000 searches \(--min-count\)"),
    ],
)
def test_bad_recency_and_selection_options_fail_in_one_line(records_csv, tmp_path, args, message):
    status, _, err = text_run("build", records_csv, tmp_path / "out.idx", "-q", *args)
    assert_one_line_failure(status, err, message)
    assert not (tmp_path / "out.idx").exists()
    status, _, err = text_run("aggregate", records_csv, tmp_path / "out.parquet")
    assert_one_line_failure(status, err, r".*records\.csv: no time column")


def test_a_command_imports_no_other_commands_module():
    # `tessarin serve` should not carry the builder's readers (and their
    # imports) in its supervisor, nor any command another's.
    check = (
        "import sys\n"
        "from tessarin.cli.parser import SUMMARIES, make_parser\n"
        "make_parser('serve')\n"
        "assert 'tessarin.read' not in sys.modules\n"
        "for name in SUMMARIES:\n"
        "    before = set(sys.modules)\n"
        "    make_parser(name)\n"
        "    others = {f'tessarin.cli.{o}' for o in SUMMARIES if o != name} & sys.modules.keys()\n"
        "    assert others <= before, (name, others - before)\n"
    )
    done = subprocess.run([sys.executable, "-c", check], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
