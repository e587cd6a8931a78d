"""Index files of version 2: the mapped form, used in place.

Byte for byte against the plain model of the layout (tessarin_reference.
mapped_form), answers against the decoded index, damage refused, buffers
kept alive or copied, and files that change after they were loaded."""

from __future__ import annotations

import gc
import mmap
import os
import struct
import subprocess
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tessarin import CorruptIndexError, Index, TessarinError
from tessarin.storage import container
from tessarin.storage.files import sealed_copy
from tessarin_reference import mapped_form, saved_form, saved_format
from tessarin_reference.model import ModelTrie

RECORDS = [("cat", 600, 6), ("cat", 300, 4), ("car", 300, 20), ("cart", 700, 3), ("the", 9, 5)]
RECORDS += [("ça", 9, 1), ("dog", 5, 2), ("do", 6, 1), ("doge", 7, 1)]
INDEX = Index.build(RECORDS, video_top_n=3)
FILE = INDEX.to_bytes(version=2)
QUERIES = ["cat", "czt", "ca", "th", "", "do", "dgo", "ç", "doge"]

terms = st.text(alphabet="abcdeé中𝄞", min_size=1, max_size=6)
records = st.lists(
    st.tuples(terms, st.integers(0, 30), st.integers(0, 50)), min_size=1, max_size=40
)


def answers(index: Index, queries=QUERIES):
    return [
        (
            index.suggest(q, d),
            index.search(q, d, prefix=True),
            index.match_nodes(q, d),
            index.complete(q, d, 2),
        )
        for q in queries
        for d in (0, 1, 2)
    ]


def renumbered(saved: bytes) -> bytes:
    """The same index with its nodes but the root numbered backwards, so
    that children have lower numbers than their parents."""
    t = saved_format.read_saved(saved)
    n = len(t.child_labels)
    new = [0] + [n - k for k in range(1, n)]  # old number -> new
    old = sorted(range(n), key=new.__getitem__)  # new number -> old
    shifts, transitions = [], []
    for k in old:
        begin = t.node_shifts[k]
        end = t.node_shifts[k + 1] if k + 1 < n else len(t.child_transitions)
        shifts.append(len(transitions))
        transitions += [new[c] for c in t.child_transitions[begin : max(begin, end)]]
    trie = ModelTrie(
        shifts,
        [t.child_labels[k] for k in old],
        transitions,
        [t.payloads[k] for k in old],
        t.video_uuids,
        t.video_int_ids,
        t.id_mode,
        [t.is_terminal[k] for k in old],
    )
    return saved_form.encode(trie)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(records, st.integers(1, 4), st.lists(terms, max_size=4), st.booleans())
def test_the_form_is_the_models_and_answers_as_the_decoded_index(rows, top_n, queries, backwards):
    built = Index.build(rows, video_top_n=top_n)
    if backwards:
        built = Index._from_saved(renumbered(built._native.to_saved()))
    form = built._native.to_mapped()
    saved = saved_format.read_saved(built._native.to_saved())
    assert form == mapped_form.mapped_form(saved)
    # As files of the earlier layouts hold it: the first, the next, the one
    # with a payload slot per node, the one with 4-byte video positions, the
    # one that stored child entries that follow the nodes, and the one with a
    # byte per terminal flag, the one with 4-byte child labels, and the one
    # with 4-byte node shifts.
    earlier = [
        mapped_form.mapped_form(saved, first=True),
        mapped_form.mapped_form(saved, wide=True),
        mapped_form.mapped_form(saved, slotted=True),
        mapped_form.mapped_form(saved, wide_ids=True),
        mapped_form.mapped_form(saved, stored_children=True),
        mapped_form.mapped_form(saved, terminal_bytes=True),
        mapped_form.mapped_form(saved, wide_labels=True),
        mapped_form.mapped_form(saved, plain_shifts=True),
    ]
    queries += [term for term, _, _ in rows[:4]]
    for loaded in (
        Index.load(built.to_bytes(version=2)),
        *(Index.load(container.mapped_header(built.metadata, len(f)) + f) for f in earlier),
    ):
        assert loaded._native.stored_aids
        assert loaded._native.to_saved() == built._native.to_saved()
        assert answers(loaded, queries) == answers(built, queries)


def test_a_flipped_bit_anywhere_is_refused():
    for bit in range(len(FILE) * 8):
        damaged = bytearray(FILE)
        damaged[bit // 8] ^= 1 << (bit % 8)
        with pytest.raises(TessarinError):
            Index.load(damaged)


@settings(max_examples=200, deadline=None)
@given(st.integers(0, len(FILE) * 8 - 1), st.integers(0, len(FILE)))
def test_unverified_damage_is_refused_or_answers_within_bounds(bit, cut):
    damaged = bytearray(FILE[:cut] if cut < 64 else FILE)
    if damaged:
        damaged[(bit // 8) % len(damaged)] ^= 1 << (bit % 8)
    try:
        index = Index.load(damaged, verify=False)
    except TessarinError:
        return
    for query in QUERIES:
        found = index.search(query, 2, prefix=True)
        assert len({m.video for m in found}) == len(found)
        assert all(0 < m.score <= 1 for m in found)


def test_every_truncation_is_refused():
    for cut in range(len(FILE)):
        with pytest.raises(TessarinError):
            Index.load(FILE[:cut])


def _header_and_form(
    first=False,
    wide=False,
    slotted=False,
    stored=False,
    flag_bytes=False,
    wide_labels=False,
    plain_shifts=False,
):
    contents = container.parse_file(FILE)
    if first or wide or slotted or stored or flag_bytes or wide_labels or plain_shifts:
        saved = saved_format.read_saved(INDEX._native.to_saved())
        form = mapped_form.mapped_form(
            saved,
            first=first,
            wide=wide,
            slotted=slotted,
            stored_children=stored,
            terminal_bytes=flag_bytes,
            wide_labels=wide_labels,
            plain_shifts=plain_shifts,
        )
        return contents.metadata, form
    return contents.metadata, bytes(contents.form)


def _u32(values):
    return struct.pack(f"<{len(values)}I", *values)


BOUND = mapped_form.KIND["completion_bound"]
MARKS = mapped_form.KIND["payload_marks"]
LABELS = mapped_form.KIND["child_labels16"]
GROUPS = mapped_form.KIND["shift_groups"]


def _nodes(s):
    return len(s[LABELS]) // 2 if LABELS in s else len(s[3]) // 4


def _marked(s, word=0, own=0, shared=0, before=0):
    """The payload marks with bits of one word flipped (or its count moved)."""
    mine, shares, count = struct.unpack_from("<III", s[MARKS], 12 * word)
    changed = struct.pack("<III", mine ^ own, shares ^ shared, count + before)
    return {MARKS: s[MARKS][: 12 * word] + changed + s[MARKS][12 * word + 12 :]}


def _first_shared(s):
    _, shared, _ = struct.unpack_from("<III", s[MARKS])
    return shared & -shared


def _at_node(s, past_last, **flips):
    """Flips the given marks of the last node, or of the one past it."""
    node = _nodes(s) - (0 if past_last else 1)
    assert node % 32  # both in the last word of marks
    return _marked(s, node // 32, **{k: v << (node % 32) for k, v in flips.items()})


# Sections rewritten with their checksums made right: the checks of the
# structure and of the stored aids must refuse each.
TAMPERED = {
    "positions, a label": lambda s: {13: s[13][:12] + b"x" + s[13][13:]},
    "positions, a range": lambda s: {13: s[13][:16] + b"\x07" + s[13][17:]},
    "preorder": lambda s: {14: s[14][4:8] + s[14][:4] + s[14][8:]},
    "label order": lambda s: {15: _u32(list(reversed(range(len(s[13]) // 12))))},
    "reversed (wide), a label": lambda s: {16: s[16][:16] + b"z" + s[16][17:]},
    "reversed (wide), a label no character": lambda s: {16: s[16][:19] + b"\x80" + s[16][20:]},
    "reversed (wide), a term range": lambda s: {16: s[16][:20] + _u32([1]) + s[16][24:]},
    "reversed (wide), with the packed": lambda s: {19: bytes(8 * (len(s[16]) // 12))},
    "reversed, a label": lambda s: {19: s[19][:12] + b"z" + s[19][13:]},
    "reversed, a terminal flag": lambda s: {19: s[19][:15] + b"\x80" + s[19][16:]},
    "reversed, a rank": lambda s: {20: s[20][:4] + _u32([1 + s[20][4]]) + s[20][8:]},
    "reversed, ranks cut short": lambda s: {20: s[20][:-4]},
    "reversed, ranks missing": lambda s: {20: None},
    "reversed, a term": lambda s: {17: s[17][4:8] + s[17][:4] + s[17][8:]},
    "reversed, a term left out": lambda s: {17: s[17][:-4]},
    "aids missing": lambda s: {19: None, 20: None},
    "a count above its total": lambda s: {10: _u32([999]) + s[10][4:]},
    "a video listed twice (3 bytes)": lambda s: {24: s[24][:3] * 2 + s[24][6:]},
    "video positions cut short": lambda s: {24: s[24][:-3]},
    "video positions twice": lambda s: {9: bytes(len(s[24]) // 3 * 4)},
    "video positions missing": lambda s: {24: None},
    "(slotted) a payload slot": lambda s: {6: _u32([1]) + s[6][4:]},
    "(slotted) payload slots with the marks": lambda s: {MARKS: bytes(12)},
    "payload marks, the root shares a child's": lambda s: _marked(s, shared=1),
    "payload marks, a node both own and shared": lambda s: _marked(s, own=_first_shared(s)),
    "payload marks, a leaf shares a child's": lambda s: _at_node(s, False, own=1, shared=1),
    "payload marks, an own node left out": lambda s: _marked(s, own=1),
    "payload marks, past the last node": lambda s: _at_node(s, True, shared=1),
    "payload marks, counted wrong": lambda s: _marked(s, before=1),
    "payload marks cut short": lambda s: {MARKS: s[MARKS][:-12]},
    "payload marks missing": lambda s: {MARKS: None},
    "(wide) payload offsets": lambda s: {18: s[18][:4] + _u32([99]) + s[18][8:]},
    "(wide) payload offsets twice": lambda s: {8: bytes(len(s[18]) * 2)},
    "payload offsets with the blocked": lambda s: {18: s[22] + _u32([0])},
    "payload lengths": lambda s: {21: b"\x07" + s[21][1:]},
    "payload lengths cut short": lambda s: {21: s[21][:-1]},
    "payload blocks": lambda s: {22: s[22][:4] + _u32([1 + s[22][4]]) + s[22][8:]},
    "payload blocks missing": lambda s: {22: None},
    "(bytes) a terminal flag": lambda s: {5: b"\x02" + s[5][1:]},
    "(bytes) terminal flags twice": lambda s: {25: bytes(-(-len(s[5]) // 8))},
    "a terminal flag dropped": lambda s: {25: bytes([s[25][0] ^ 0x80]) + s[25][1:]},
    "a terminal flag past the last node": lambda s: {25: s[25][:-1] + bytes([s[25][-1] | 0x80])},
    "terminal flags cut short": lambda s: {25: s[25][:-1]},
    "(stored) a child entry": lambda s: {4: _u32([0]) + s[4][4:]},
    "(stored) child entries out of order": lambda s: {4: s[4][4:8] + s[4][:4] + s[4][8:]},
    "child entries out of order": lambda s: {4: _u32([2, 1, *range(3, _nodes(s))])},
    "child entries, one left out": lambda s: {4: _u32(list(range(1, _nodes(s) - 1)))},
    "child labels, two siblings alike": lambda s: {
        LABELS: s[LABELS][:4] + s[LABELS][2:4] + s[LABELS][6:]
    },
    "child labels cut short": lambda s: {LABELS: s[LABELS][:-2]},
    "child labels, half a label": lambda s: {LABELS: s[LABELS] + b"\0"},
    "child labels twice": lambda s: {3: bytes(len(s[LABELS]) * 2)},
    "child labels missing": lambda s: {LABELS: None},
    "(4-byte labels) two siblings alike": lambda s: {3: s[3][:8] + s[3][4:8] + s[3][12:]},
    "(4-byte labels) labels twice": lambda s: {LABELS: bytes(len(s[3]) // 2)},
    "(4-byte shifts) implicit child entries, a range moved": lambda s: {
        2: s[2][:4] + _u32([1 + struct.unpack_from("<I", s[2], 4)[0]]) + s[2][8:]
    },
    "(4-byte shifts) with the groups": lambda s: {GROUPS: bytes(64)},
    "(slotted, 4-byte shifts) no node shifts": lambda s: {2: b""},
    "shift groups, a base raised": lambda s: {GROUPS: _u32([1]) + s[GROUPS][4:]},
    "shift groups, a range moved": lambda s: {GROUPS: s[GROUPS][:6] + b"\x02" + s[GROUPS][7:]},
    "shift groups, an offset past the last node": lambda s: {GROUPS: s[GROUPS][:-2] + b"\0\1"},
    "shift groups cut short": lambda s: {GROUPS: s[GROUPS][:-64]},
    "shift groups, a group more": lambda s: {GROUPS: s[GROUPS] + bytes(64)},
    "shift groups, half a group": lambda s: {GROUPS: s[GROUPS] + bytes(2)},
    "shift groups with the plain shifts": lambda s: {2: bytes(_nodes(s) * 4)},
    "shift groups missing": lambda s: {GROUPS: None},
    "scalars": lambda s: {1: b"\x02" + s[1][1:]},
    "an unknown kind": lambda s: {99: b""},
    "completion bound, the root's raised": lambda s: {
        BOUND: _u32([7 + s[BOUND][0]]) + s[BOUND][4:]
    },
    "completion bound, a leaf's lowered": lambda s: {BOUND: s[BOUND][:-4] + _u32([0])},
    "completion bound, cut short": lambda s: {BOUND: s[BOUND][:-4]},
    "completion bound without the aids": lambda s: {k: None for k in range(13, 21)},
}


@pytest.mark.parametrize("name", TAMPERED)
def test_sections_that_contradict_the_index_are_refused(name):
    change = TAMPERED[name]
    metadata, form = _header_and_form(
        first=name.startswith(("positions", "label order", "reversed (wide)")),
        wide=name.startswith("(wide)"),
        slotted=name.startswith("(slotted"),
        stored=name.startswith("(stored)"),
        flag_bytes=name.startswith("(bytes)"),
        wide_labels=name.startswith("(4-byte labels)"),
        plain_shifts=name.startswith(("(4-byte shifts)", "(slotted, 4-byte shifts)")),
    )
    parts = mapped_form.sections(form)
    changed = mapped_form.with_sections(form, change(parts))
    assert changed != form
    with pytest.raises(CorruptIndexError, match="does not hold together"):
        Index.load(container.mapped_header(metadata, len(changed)) + changed)
    # An optional kind this release does not know is skipped.
    extra = mapped_form.with_sections(form, {0x80000002: b"later"})
    assert answers(Index.load(container.mapped_header(metadata, len(extra)) + extra)) == answers(
        INDEX
    )


@pytest.fixture(scope="module")
def large_form():
    """A file of over 2^18 nodes, whose checks run on two threads."""
    import random

    rng = random.Random(5)
    words = {"".join(rng.choices("abcdefghijklmnop", k=rng.randint(4, 12))) for _ in range(90_000)}
    built = Index.build([(w, k % 5000, 1 + k % 7) for k, w in enumerate(sorted(words))])
    assert built._native.node_count > 1 << 18
    return built.to_bytes(version=2)


@pytest.mark.parametrize(
    "damage, message",
    [
        ({"preorder"}, "stored search aids do not match it: their preorder"),
        ({"labels"}, "two children of node 0 have the label"),
        ({"bound"}, "their completion bound is wrong at node 0"),
        ({"preorder", "labels", "bound"}, "two children of node 0 have the label"),
        ({"preorder", "bound"}, "their preorder"),  # the index's, its aids', then its bound's
    ],
)
def test_a_large_files_faults_are_found_and_the_indexs_told_first(large_form, damage, message):
    changed = bytearray(large_form)
    parts = mapped_form.sections(bytes(container.parse_file(large_form).form))
    if "preorder" in damage:  # two ranks swapped
        at = changed.find(parts[14])
        changed[at : at + 8] = changed[at + 4 : at + 8] + changed[at : at + 4]
    if "bound" in damage:  # the root's raised
        at = changed.find(parts[BOUND])
        changed[at : at + 4] = (7 + parts[BOUND][0]).to_bytes(4, "little")
    if "labels" in damage:  # the root's second child labelled as its first
        at = changed.find(parts[LABELS])
        changed[at + 4 : at + 6] = changed[at + 2 : at + 4]
    with pytest.raises(CorruptIndexError, match=message):
        Index.load(bytes(changed), verify=False)


@pytest.mark.parametrize("length", [200, 300])
def test_a_long_chain_is_written_with_slots_and_refused_marked(monkeypatch, length):
    # A term's tail is a chain: marked when no more than 255 nodes in a row
    # share a payload, else a slot per node.
    built = Index.build([("q" * length, 3, 1), ("qb", 2, 2), ("z", 1, 3)])
    saved = saved_format.read_saved(built._native.to_saved())
    form = built._native.to_mapped()
    assert form == mapped_form.mapped_form(saved)
    assert (MARKS in mapped_form.sections(form)) == (length < 256)
    monkeypatch.setattr(mapped_form, "MAX_SHARED", 1000)
    marked = mapped_form.mapped_form(saved)
    header = container.mapped_header(built.metadata, len(marked))
    if length < 256:
        assert answers(Index.load(header + marked)) == answers(built)
    else:
        with pytest.raises(CorruptIndexError, match="more than 255 nodes"):
            Index.load(header + marked)


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview, "mmap"], ids=str)
def test_buffers_are_kept_alive_or_copied(tmp_path, kind):
    expected = answers(INDEX)
    if kind == "mmap":
        (tmp_path / "i.idx").write_bytes(FILE)
        with open(tmp_path / "i.idx", "rb") as f:
            source = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    else:
        source = kind(bytearray(FILE))
    index = Index.load(source)
    if kind is bytes:
        assert index._native.stored_aids
        del source
        gc.collect()
    elif kind == "mmap":
        source.close()  # copied: the caller may close it
    else:
        target = source if kind is bytearray else source.obj
        target[:] = bytes(len(target))  # copied: changing it changes nothing
    assert answers(index) == expected


@pytest.mark.parametrize("in_place", [False, True])
def test_a_loaded_index_outlives_what_is_done_to_its_file(tmp_path, in_place):
    path = tmp_path / "live.idx"
    INDEX.save(path)
    inode = path.stat().st_ino
    index = Index.load(path, in_place=in_place)
    other = Index.build([("zebra", 1, 1)])
    other.save(path)  # by rename: a new file, the mapped one unchanged
    assert path.stat().st_ino != inode
    assert answers(index) == answers(INDEX)
    assert Index.load(path).suggest("zebra") == other.suggest("zebra")
    if in_place:  # tessarin build replaces by rename too
        inode = path.stat().st_ino
        mapped = Index.load(path, in_place=True)
        (tmp_path / "r.csv").write_text("yak,1,1\n")
        command = [sys.executable, "-m", "tessarin", "build", tmp_path / "r.csv", path, "-q"]
        subprocess.run(command, check=True)
        assert path.stat().st_ino != inode and mapped.suggest("zebra") == other.suggest("zebra")
        other.save(path)
    if not in_place:  # in place, this is what the rule forbids
        for rewrite in (b"", FILE[: len(FILE) // 2], bytes(len(FILE))):
            loaded = Index.load(path)
            with open(path, "r+b") as f:  # rewritten in place, truncated
                f.write(rewrite)
                f.truncate()
            assert loaded.suggest("zebra") == other.suggest("zebra")
            other.save(path)


def test_a_sealed_copy_is_mapped_and_immune_to_its_file(tmp_path):
    path = tmp_path / "live.idx"
    INDEX.save(path)
    fd = sealed_copy(str(path))
    try:
        index = Index.load(f"/proc/self/fd/{fd}")
        path.write_bytes(b"")  # the original truncated in place
        assert answers(index) == answers(INDEX)
        with pytest.raises(OSError):
            os.write(fd, b"x")
    finally:
        os.close(fd)
    del index


def test_queries_go_on_while_indexes_are_dropped_and_mapped(tmp_path):
    path = tmp_path / "live.idx"
    INDEX.save(path)
    holder = [Index.load(path, in_place=True)]
    expected = INDEX.suggest("cat", 2)
    failures = []

    def query():
        for _ in range(300):
            if holder[0].suggest("cat", 2) != expected:
                failures.append("answer")

    threads = [threading.Thread(target=query) for _ in range(3)]
    for thread in threads:
        thread.start()
    for _ in range(50):
        INDEX.save(path)
        holder[0] = Index.load(path, in_place=True)
        gc.collect()
    for thread in threads:
        thread.join()
    assert not failures


def test_old_files_load_and_convert(tmp_path):
    old, new = tmp_path / "old.idx", tmp_path / "new.idx"
    old.write_bytes(INDEX.to_bytes())  # version 1, as earlier releases wrote
    assert not Index.load(old)._native.stored_aids
    command = [sys.executable, "-m", "tessarin", "convert", str(old), str(new)]
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    assert "format version 2" in done.stderr
    assert new.read_bytes() == FILE.replace(
        INDEX.metadata.to_json(), Index.load(old).metadata.to_json()
    )
    assert answers(Index.load(new)) == answers(INDEX)
    # Version 2 as first written, before the completion bound was stored.
    metadata, form = _header_and_form()
    earlier = mapped_form.with_sections(form, {BOUND: None})
    assert answers(Index.load(container.mapped_header(metadata, len(earlier)) + earlier)) == (
        answers(INDEX)
    )
    back = tmp_path / "back.idx"
    subprocess.run([*command[:4], str(new), str(back), "--version", "1"], check=True)
    assert back.read_bytes() == INDEX.to_bytes()
    info = subprocess.run(
        [sys.executable, "-m", "tessarin", "info", str(new), "--verify"],
        capture_output=True,
        text=True,
        check=True,
    )
    assert "index file, version 2" in info.stdout and "verified" in info.stdout


@pytest.mark.parametrize("children", [0xFFFF, 0x10000])
def test_shifts_that_spread_past_an_offset_are_written_4_bytes_each(children):
    # The root's children are the nodes after it, all leaves: the first
    # group's shifts spread from 0 to the root's child count.
    letters = [*range(0x4E00, 0xA000), *range(0x3400, 0x4DC0), *range(0x20000, 0x2A6E0)]
    built = Index.build([(chr(c), k % 5, 1) for k, c in enumerate(letters[:children])])
    parts = mapped_form.sections(built._native.to_mapped())
    assert (GROUPS in parts, 2 in parts) == (children <= 0xFFFF, children > 0xFFFF)
    loaded = Index.load(built.to_bytes(version=2))
    assert loaded._native.to_saved() == built._native.to_saved()
    queries = [chr(0x4E00), chr(letters[children - 1]), "x"]
    assert answers(loaded, queries) == answers(built, queries)
