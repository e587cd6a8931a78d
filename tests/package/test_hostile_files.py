"""Index files under hostile conditions: what is written over, written to,
read from, killed in the middle or rewritten while it loads."""

from __future__ import annotations

import dataclasses
import os
import resource
import stat
import subprocess
import sys
import time

import pytest
from samples import SMALL_INDEX as INDEX
from samples import assert_one_line_failure, index_file, tessarin

from tessarin import Index
from tessarin.storage import files


@pytest.fixture(scope="module")
def records(tmp_path_factory):
    """Records of 6,000 terms: an index of some 95 kB, more than a pipe holds."""
    path = tmp_path_factory.mktemp("records") / "records.csv"
    path.write_text("".join(f"term{k},{k % 97},{k % 13 + 1}\n" for k in range(6000)))
    return path


@pytest.mark.parametrize("writer", ["Index.save", "tessarin build"])
@pytest.mark.parametrize("kind", ["a FIFO", "a character device", "link to a FIFO", "directory"])
def test_out_that_is_not_a_regular_file_is_never_replaced(tmp_path, records, writer, kind):
    out = tmp_path / "index.idx"
    if kind == "a character device":
        if os.geteuid() != 0:
            pytest.skip("mknod needs root")
        os.mknod(out, stat.S_IFCHR | 0o600, os.makedev(1, 7))  # /dev/full's numbers, here
    elif kind == "directory":
        out.mkdir()
    elif kind == "a FIFO":
        os.mkfifo(out)
    else:
        os.mkfifo(tmp_path / "fifo")
        out.symlink_to("fifo")
    before = {p.name: stat.S_IFMT(os.lstat(p).st_mode) for p in tmp_path.iterdir()}
    said = {"directory": "Is a directory"}.get(kind, f"is {kind.replace('link to ', '')}")
    if writer == "Index.save":
        with pytest.raises(OSError) as raised:
            INDEX.save(out)
        assert raised.value.filename == str(out) and raised.value.strerror.startswith(said)
    else:
        status, _, err = tessarin("build", records, out)
        assert_one_line_failure(status, err, r".*index\.idx: " + said)
    assert {p.name: stat.S_IFMT(os.lstat(p).st_mode) for p in tmp_path.iterdir()} == before


def test_standard_output_named_is_written_in_place(tmp_path, records):
    status, expected, err = tessarin("build", records, "-", "-q")
    assert status == 0 and tessarin("build", records, "/dev/stdout", "-q")[1] == expected, err
    out = tmp_path / "out"
    out.write_bytes(b"before ")
    inode = out.stat().st_ino
    with open(out, "ab") as stdout:
        assert tessarin("build", records, "/dev/stdout", "-q", stdout=stdout)[0] == 0
    assert out.read_bytes() == b"before " + expected and out.stat().st_ino == inode


@pytest.mark.parametrize(
    ("args", "failure"),
    [
        (["build", "{records}", "-"], "short write"),
        (["build", "{records}", "-"], "full device"),
        (["build", "{records}", "-"], "closed pipe"),
        (["search", "resturant"], "short write"),
        (["search", "resturant"], "full device"),
    ],
)
def test_a_failed_write_to_standard_output_fails_loudly(tmp_path, records, args, failure):
    args = [str(records) if a == "{records}" else a for a in args]
    if failure == "closed pipe":
        status, _, err = tessarin(*args, shell_tail=" | head -c 10 >/dev/null; exit $PIPESTATUS")
    else:
        # A file on a full disk (write() takes only part), as ulimit -f
        # makes one, unbuffered; /dev/full is written to, never replaced.
        short = failure == "short write"
        with open(tmp_path / "out" if short else "/dev/full", "wb") as out:
            status, _, err = tessarin(
                *args,
                stdout=out,
                env={**os.environ, "PYTHONUNBUFFERED": "1"},
                preexec_fn=_limit_files if short else None,
            )
    assert_one_line_failure(status, err, r"standard output: ")


def _limit_files():
    resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))


SLOW_WRITER = """
import sys, time
from tessarin.storage import files
files._UNNAMED = getattr(files, "_UNNAMED", False) and sys.argv[2] == "unnamed"
def chunks():
    yield b"partial" * 100_000
    print("writing", flush=True)
    time.sleep(600)
files.write_atomically(sys.argv[1], chunks())
"""


@pytest.mark.parametrize("temporary", ["unnamed", "named"])
def test_a_write_killed_midway_leaves_no_partial_file(tmp_path, temporary):
    target = tmp_path / "index.idx"
    target.write_bytes(b"old")
    for _ in range(2):
        command = [sys.executable, "-c", SLOW_WRITER, str(target), temporary]
        with subprocess.Popen(command, stdout=subprocess.PIPE) as writer:
            assert writer.stdout.readline() == b"writing\n"
            writer.kill()
    # Each named writer removed what the one before it left; the next write
    # to the folder removes the last, only ours, only those whose writer is gone.
    assert len(os.listdir(tmp_path)) == (1 if temporary == "unnamed" else 2)
    spared = [files._temporary_name(), ".tessarin-partial", ".tessarin-a1b2c3d4", "notes"]
    for name in spared:
        (tmp_path / name).write_bytes(b"")
    INDEX.save(tmp_path / "other.idx")
    assert sorted(os.listdir(tmp_path)) == sorted(["index.idx", "other.idx", *spared])
    assert target.read_bytes() == b"old"


@pytest.mark.parametrize(
    "args",
    [
        ["search", "F", "cat"],
        ["terms", "F", "cat"],
        ["info", "F"],
        ["info", "--verify", "F"],
        ["serve", "F"],
        ["build", "F", "out.idx"],
    ],
    ids=" ".join,
)
def test_an_input_that_is_not_a_file_is_refused_at_once(tmp_path, args):
    os.mkfifo(tmp_path / "F")
    status, _, err = tessarin(*args, cwd=tmp_path)
    assert_one_line_failure(status, err, r"F: is a FIFO, not a regular file")


LOADER = """
import os, sys
from tessarin import CorruptIndexError, Index
path, stop, *versions = sys.argv[1:]
versions = {open(v, "rb").read() for v in versions}
loads = refused = 0
while not os.path.exists(stop):
    try:
        loaded = Index.load(path)
    except CorruptIndexError:
        refused += 1
        continue
    if loaded.to_bytes() not in versions:
        sys.exit("loaded an index that is neither version")
    loads += 1
print(loads, refused)
"""


@pytest.mark.parametrize("truncate", [True, False], ids=["truncated and written", "written over"])
def test_a_file_rewritten_in_place_while_it_loads(tmp_path, truncate):
    # Two files of one length, the same terms and videos, other counts: a
    # mix of the two would pass any check of their shape.
    records = [(f"term {k}", k % 251, 1 + k % 5) for k in range(20_000)]
    indexes = [Index.build(records), Index.build([(t, v, c * 3) for t, v, c in records])]
    length = max(len(i.to_bytes()) for i in indexes)
    contents = []
    for k, index in enumerate(indexes):
        pad = " " * (length - len(index.to_bytes()))
        metadata = dataclasses.replace(index.metadata, builder="test" + pad)
        payload = index.to_prefix_search().to_bytes()
        contents.append(index_file(metadata, payload))
        (tmp_path / str(k)).write_bytes(contents[-1])
    live, stop = tmp_path / "live.idx", tmp_path / "stop"
    live.write_bytes(contents[0])
    command = [sys.executable, "-c", LOADER, live, stop, tmp_path / "0", tmp_path / "1"]
    loader = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with open(live, "r+b") as file:
        for k in range(200):
            if loader.poll() is not None:
                break
            file.seek(0)
            if truncate:
                file.truncate()
            for start in range(0, length, 1 << 16):
                file.write(contents[k % 2][start : start + (1 << 16)])
                file.flush()
            time.sleep(0.005)  # room for whole loads between rewrites
    stop.touch()
    out, err = loader.communicate(timeout=120)
    assert loader.returncode == 0, err.decode()  # -7 is SIGBUS
    loads, refused = map(int, out.split())
    assert loads > 0, f"{loads} loads, {refused} refused"
