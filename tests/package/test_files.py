"""Index files under hostile conditions: what is written over, written to,
read from, killed in the middle or rewritten while it loads."""

from __future__ import annotations

import dataclasses
import fcntl
import os
import re
import resource
import stat
import subprocess
import sys
import time

import pytest

from tessarin import Index
from tessarin.storage import container, files

INDEX = Index.build([("cat", 600, 6), ("car", 300, 20), ("dog", 9, 5)], video_top_n=3)
ENV = {**os.environ, "SOURCE_DATE_EPOCH": "1700000000"}
F_SETPIPE_SZ = 1031


def tessarin(*args, timeout=60, **popen):
    """(status, stdout, stderr) of `python -m tessarin ARGS`."""
    done = subprocess.run(
        [sys.executable, "-m", "tessarin", *map(str, args)],
        capture_output="stdout" not in popen,
        stderr=subprocess.PIPE if "stdout" in popen else None,
        timeout=timeout,
        env={**ENV, **popen.pop("env", {})},
        **popen,
    )
    return done.returncode, done.stdout, done.stderr.decode()


def assert_one_line_failure(status, err, pattern):
    assert status == 1, err
    assert "Traceback" not in err and err.count("\n") == 1, err
    assert re.match(r"^tessarin: " + pattern, err), err


@pytest.fixture(scope="module")
def records(tmp_path_factory):
    """Records of 3,000 terms: an index of some 40 kB, more than a pipe holds."""
    path = tmp_path_factory.mktemp("records") / "records.csv"
    path.write_text("".join(f"term{k},{k % 97},{k % 13 + 1}\n" for k in range(3000)))
    return path


def kinds(folder):
    """What each name in a folder is (regular file, FIFO, device, ...)."""
    return {name: stat.S_IFMT(os.lstat(folder / name).st_mode) for name in os.listdir(folder)}


# ------------------------------------------------------------ writing over


@pytest.mark.parametrize("writer", ["Index.save", "tessarin build"])
@pytest.mark.parametrize("kind", ["a FIFO", "a character device", "link to a FIFO", "directory"])
def test_out_that_is_not_a_regular_file_is_never_replaced(tmp_path, records, writer, kind):
    out = tmp_path / "index.idx"
    if kind == "a character device":
        if os.geteuid() != 0:
            pytest.skip("mknod needs root")
        os.mknod(out, stat.S_IFCHR | 0o600, os.makedev(1, 7))  # /dev/full's numbers, here
    elif kind == "a FIFO":
        os.mkfifo(out)
    elif kind == "link to a FIFO":
        os.mkfifo(tmp_path / "fifo")
        out.symlink_to("fifo")
    else:
        out.mkdir()
    before = kinds(tmp_path)
    said = {"directory": "Is a directory"}.get(kind, f"is {kind.replace('link to ', '')}")
    if writer == "Index.save":
        with pytest.raises(OSError) as raised:
            INDEX.save(out)
        assert raised.value.filename == str(out) and raised.value.strerror.startswith(said)
    else:
        status, _, err = tessarin("build", records, out)
        assert_one_line_failure(status, err, r".*index\.idx: " + said)
    assert kinds(tmp_path) == before


def test_standard_output_named_is_written_in_place(tmp_path, records):
    status, expected, err = tessarin("build", records, "-", "-q")
    assert status == 0, err
    assert tessarin("build", records, "/dev/stdout", "-q")[1] == expected
    out = tmp_path / "out"
    out.write_bytes(b"before ")
    inode = out.stat().st_ino
    with open(out, "ab") as stdout:
        status, _, err = tessarin("build", records, "/dev/stdout", "-q", stdout=stdout)
    assert status == 0, err
    assert out.read_bytes() == b"before " + expected and out.stat().st_ino == inode


# -------------------------------------------------- writing to standard output


def _fsize_limit():
    resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))


@pytest.mark.parametrize(
    ("command", "failure"),
    [
        ("build", "short write"),
        ("build", "full device"),
        ("build", "closed pipe"),
        ("search", "short write"),
        ("search", "full device"),
    ],
)
def test_a_failed_write_to_standard_output_fails_loudly(tmp_path, records, command, failure):
    args = ["build", records, "-"] if command == "build" else ["search", "resturant"]
    if failure == "short write":  # a file on a full disk: write() takes only part
        with open(tmp_path / "out", "wb") as out:
            status, _, err = tessarin(
                *args, stdout=out, preexec_fn=_fsize_limit, env={"PYTHONUNBUFFERED": "1"}
            )
    elif failure == "full device":
        with open("/dev/full", "wb") as out:  # written to, never replaced
            status, _, err = tessarin(*args, stdout=out)
    else:
        read, write = os.pipe()
        fcntl.fcntl(write, F_SETPIPE_SZ, 4096)
        process = subprocess.Popen(
            [sys.executable, "-m", "tessarin", *map(str, args)],
            stdout=write,
            stderr=subprocess.PIPE,
            env=ENV,
        )
        os.close(write)
        assert len(os.read(read, 10)) > 0  # `| head -c 10`
        os.close(read)
        status, err = process.wait(120), process.stderr.read().decode()
        process.stderr.close()
    assert_one_line_failure(status, err, r"standard output: ")


# ------------------------------------------------------------------- killed

SLOW_WRITER = """
import sys, time
from tessarin.storage import files
files._UNNAMED = getattr(files, "_UNNAMED", False) and sys.argv[2] == "unnamed"
def chunks():
    yield b"partial" * 100_000
    print("writing", flush=True)
    time.sleep(600)
    yield b"never"
files.write_atomically(sys.argv[1], chunks())
"""


@pytest.mark.parametrize("temporary", ["unnamed", "named"])
def test_a_write_killed_midway_leaves_no_partial_file(tmp_path, temporary):
    folder = tmp_path / "folder"
    folder.mkdir()
    target = folder / "index.idx"
    target.write_bytes(b"old")
    for _ in range(2):
        writer = subprocess.Popen(
            [sys.executable, "-c", SLOW_WRITER, str(target), temporary], stdout=subprocess.PIPE
        )
        assert writer.stdout.readline() == b"writing\n"
        writer.kill()
        writer.wait()
        writer.stdout.close()
    left = sorted(os.listdir(folder))
    # (each writer removes what the one before it left)
    assert len(left) == (1 if temporary == "unnamed" else 2), left
    # What a named temporary leaves, the next write to the folder removes:
    # only ours, only those whose writer is gone.
    spared = [files._temporary_name(), ".tessarin-partial", ".tessarin-a1b2c3d4", "notes"]
    for name in spared:
        (folder / name).write_bytes(b"")
    INDEX.save(folder / "other.idx")
    assert sorted(os.listdir(folder)) == sorted(["index.idx", "other.idx", *spared])
    assert target.read_bytes() == b"old"


# ----------------------------------------------------------------- reading


@pytest.mark.parametrize(
    "args",
    [
        ["search", "{}", "cat"],
        ["terms", "{}", "cat"],
        ["info", "{}"],
        ["info", "--verify", "{}"],
        ["serve", "{}"],
        ["build", "{}", "out.idx"],
    ],
    ids=lambda args: " ".join(args),
)
def test_an_input_that_is_not_a_file_is_refused_at_once(tmp_path, args):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    args = [str(fifo) if a == "{}" else a for a in args]
    status, _, err = tessarin(*args, timeout=30, cwd=tmp_path)
    assert_one_line_failure(status, err, r".*fifo: is a FIFO, not a regular file")


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


def two_versions(tmp_path):
    """Two index files of the same length, the same terms and videos, and
    other counts: a mix of the two would pass any check of their shape."""
    records = [(f"term {k}", k % 251, 1 + k % 5) for k in range(20_000)]
    a = Index.build(records)
    b = Index.build([(t, v, c * 3) for t, v, c in records])
    sizes = [len(a.to_bytes()), len(b.to_bytes())]
    paths = []
    for name, index, pad in [("a", a, max(sizes) - sizes[0]), ("b", b, max(sizes) - sizes[1])]:
        payload = index.to_prefix_search().to_bytes()
        metadata = dataclasses.replace(index.metadata, builder="test" + " " * pad)
        (tmp_path / name).write_bytes(container.container_header(metadata, payload) + payload)
        paths.append(tmp_path / name)
    return paths


@pytest.mark.parametrize("rewrite", ["truncated and written", "written over"])
def test_a_file_rewritten_in_place_while_it_loads(tmp_path, rewrite):
    versions = two_versions(tmp_path)
    contents = [v.read_bytes() for v in versions]
    live, stop = tmp_path / "live.idx", tmp_path / "stop"
    live.write_bytes(contents[0])
    loader = subprocess.Popen(
        [sys.executable, "-c", LOADER, live, stop, *versions],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    with open(live, "r+b") as file:
        for k in range(300):
            content = contents[k % 2]
            file.seek(0)
            if rewrite == "truncated and written":
                file.truncate()
            for start in range(0, len(content), 1 << 16):
                file.write(content[start : start + (1 << 16)])
                file.flush()
            if loader.poll() is not None:
                break
            time.sleep(0.002)
    stop.touch()
    out, err = loader.communicate(timeout=120)
    assert loader.returncode == 0, err.decode()  # -7 is SIGBUS
    loads, refused = map(int, out.split())
    assert loads > 0, f"{loads} loads, {refused} refused"
