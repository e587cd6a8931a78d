"""The benchmark suite's smoke run: it runs, and the engines agree.

Needs the bench extra (symspellpy ships the word lists); skipped without it.
Timing figures are only printed by the suite, never checked here.
"""

import pytest

pytest.importorskip("symspellpy")
pytest.importorskip("rapidfuzz")

from bench import run


@pytest.fixture(scope="module")
def quick_report(tmp_path_factory):
    out = tmp_path_factory.mktemp("bench")
    doc = run.main(
        [
            "--quick",
            "--walk-bench",
            "none",
            "--engines",
            "tessarin,plain-trie,rapidfuzz,symspellpy",
            "--out",
            str(out),
        ]
    )
    assert len(list(out.glob("*.json"))) == 1
    return doc["data_sets"][0]


def test_the_quick_run_reports_every_latency_figure(quick_report):
    ours = quick_report["tessarin"]
    assert ours["nodes"] > quick_report["terms"]
    assert "roundtrip_error" not in ours
    assert set(ours["latency"]) == {
        f"{m}/{s}/{k}"
        for m in ("fuzzy_match", "fuzzy_match_video")
        for s in ("words", "typing")
        for k in (0, 1, 2)
    }


@pytest.mark.parametrize("peer", ["plain-trie", "rapidfuzz"])
def test_exact_peers_agree(quick_report, peer):
    # The plain walk does the same job in the same order; rapidfuzz's brute
    # force computes the same Levenshtein distance over the whole list.
    entry = quick_report["peers"][peer]
    assert "error" not in entry
    for key, agreement in entry["agreement"].items():
        assert agreement["disagreements"] == 0, (key, agreement["examples"])


def test_symspell_disagrees_only_by_its_known_quirk(quick_report):
    entry = quick_report["peers"]["symspellpy"]
    assert "error" not in entry
    for agreement in entry["agreement"].values():
        assert set(agreement["kinds"]) <= {
            "the peer lists a term twice, with different distances"
        }, agreement["examples"]


@pytest.mark.parametrize(
    "a, b, lev, osa",
    [
        ("", "", 0, 0),
        ("ab", "ba", 2, 1),
        ("cafe", "café", 1, 1),
        ("kitten", "sitting", 3, 3),
        ("ca", "abc", 3, 3),
    ],
)
def test_distances_used_to_explain_disagreements(a, b, lev, osa):
    assert run.levenshtein(a, b) == lev
    assert run.osa(a, b) == osa


def test_completion_agrees_with_its_model(tmp_path):
    from bench import complete

    doc = complete.main(
        [
            "--size",
            "10k",
            "--terms",
            "3",
            "--engines",
            "tessarin,model",
            "--rounds",
            "1",
            "--budget",
            "0.2",
            "--model-queries",
            "4",
            "--out",
            str(tmp_path),
        ]
    )
    ours = [r for r in doc["report"]["rows"] if r["engine"].startswith("tessarin")]
    assert len(ours) == 2 * 2 * 2 * 4  # both distances, exact prefixes, sets, bounds
    for row in ours:
        assert row["agreement"]["compared"] >= 4 and row["agreement"]["unexplained"] == 0, row
        assert row["nodes"]["median"] > 0


def test_peer_sizes_split_our_file_into_its_parts(tmp_path):
    pytest.importorskip("marisa_trie")
    pytest.importorskip("keyvi")
    import json

    from bench import peer_sizes

    out = tmp_path / "sizes.json"
    peer_sizes.main(["--sizes", "10k", "--folder", str(tmp_path), "--json", str(out)])
    (row,) = json.loads(out.read_text())
    ours = row["ours"]
    assert ours["index_terms"] == row["terms"] == 10_000
    # The node arrays: shifts in 64-byte groups of 30, a 2-byte label per
    # node, a terminal bit, and no child entries (they follow the nodes);
    # the aids and the videos on top.
    nodes = ours["nodes"]
    assert ours["trie"] == 64 * -(-nodes // 30) + 2 * nodes + (nodes + 7) // 8
    assert ours["trie"] < ours["trie_aids"] < ours["v2"]
    assert all(size > 0 for size in row["peers"].values())
