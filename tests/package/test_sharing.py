"""The workers' load of the supervisor's sealed copy: unchecked only when it
is that very copy, sealed for good, named by a private announcement."""

from __future__ import annotations

import dataclasses
import fcntl
import json
import logging
import os
import time

import pytest

from tessarin import CorruptIndexError, Index
from tessarin.server import IndexHolder, sharing
from tessarin.server.holder import preload
from tessarin.storage.files import file_signature

pytestmark = pytest.mark.skipif(not sharing.supported(), reason="sealed memory files are Linux's")

VIDEO = 0x5EA1ED01
FINAL = fcntl.F_SEAL_WRITE | fcntl.F_SEAL_SHRINK | fcntl.F_SEAL_GROW | fcntl.F_SEAL_SEAL


def index_file(tmp_path):
    path = tmp_path / "one.idx"
    Index.build([("cat", VIDEO, 3), ("dog", 7, 1)]).save(path)
    return path


@pytest.mark.parametrize(
    "seals, inode_shift, mode, trusted",
    [
        (FINAL, 0, 0o600, True),
        (FINAL, 1, 0o600, False),  # another file than the one announced
        (FINAL & ~fcntl.F_SEAL_SEAL, 0, 0o600, False),  # its seals may still change
        (fcntl.F_SEAL_SHRINK | fcntl.F_SEAL_GROW, 0, 0o600, False),  # writable
        (None, 0, 0o600, False),  # no seals at all
        (FINAL, 0, 0o644, False),  # an announcement others could have written
    ],
)
def test_only_the_announced_sealed_copy_skips_the_checks(
    tmp_path, seals, inode_shift, mode, trusted
):
    # A copy whose checksum fails (a video identifier changed): loaded
    # unchecked it answers the changed identifier, checked it is refused.
    data = bytearray(index_file(tmp_path).read_bytes())
    data[data.index(VIDEO.to_bytes(4, "little"))] ^= 1
    flags = os.MFD_CLOEXEC | (0 if seals is None else os.MFD_ALLOW_SEALING)
    fd = os.memfd_create("copy", flags)
    try:
        os.write(fd, data)
        if seals is not None:
            fcntl.fcntl(fd, fcntl.F_ADD_SEALS, seals)
        status = os.fstat(fd)
        found = sharing.Announcement(
            "one.idx", os.getpid(), fd, status.st_dev, status.st_ino + inode_shift, 1
        )
        folder = tmp_path / "announced"
        folder.mkdir(mode=0o700)
        announcement = folder / "index.json"
        announcement.write_text(json.dumps(dataclasses.asdict(found)))
        announcement.chmod(mode)
        if trusted:
            index, _ = sharing.load_announced(str(announcement))
            assert index.search("cat", 0)[0].video == str(VIDEO ^ 1)
        else:
            with pytest.raises(CorruptIndexError, match="checksum"):
                sharing.load_announced(str(announcement))
    finally:
        os.close(fd)


def test_a_published_copy_is_announced_privately_and_mapped_unchecked(tmp_path, caplog):
    publisher = sharing.Publisher(str(index_file(tmp_path)))
    try:
        assert publisher.publish("starting") and publisher.id_mode == "int"
        assert os.stat(publisher.announcement).st_mode & 0o777 == 0o600
        with caplog.at_level(logging.WARNING, "tessarin.server"):
            index, found = sharing.load_announced(publisher.announcement)
        assert index.search("cat", 0)[0].video == str(VIDEO) and found.generation == 1
        assert not caplog.records  # not the checked path's warning
    finally:
        publisher.close()


@pytest.mark.parametrize("change", ["index", "garbage"])
def test_a_copy_checked_by_a_child_is_announced_once_settled(tmp_path, caplog, change):
    path = index_file(tmp_path)
    publisher = sharing.Publisher(str(path))
    try:
        assert publisher.publish("starting")
        if change == "index":
            Index.build([("cow", 8, 1)]).save(path)
        else:
            path.write_bytes(b"\x89TSR\r\n\x1a\n not an index")
        with caplog.at_level(logging.INFO, "tessarin.server"):
            for _ in range(2):  # the second, while the first is at work, is not started
                publisher.start("SIGHUP")
            deadline = time.monotonic() + 30
            while not (settled := publisher.settle()) and publisher.checking:
                assert time.monotonic() < deadline
                time.sleep(0.01)
        index, found = sharing.load_announced(publisher.announcement)
        assert (settled, found.generation, index.term_count) == (
            (True, 2, 1) if change == "index" else (False, 1, 2)
        )
        failed = [r for r in caplog.records if "could not be loaded" in r.getMessage()]
        assert len(failed) == (change != "index") and "/proc/self/fd" not in caplog.text
        publisher.start("SIGHUP")  # closed while at work: the checker goes
    finally:
        publisher.close()
    assert not publisher.checking


@pytest.mark.parametrize("changed", [False, True])
def test_a_holder_serves_the_index_checked_before_it_unless_the_file_changed(tmp_path, changed):
    path = index_file(tmp_path)
    checked = Index.load(path)
    preload(str(path), checked, file_signature(str(path)))
    if changed:
        Index.build([("cow", 8, 1)]).save(path)
    holder = IndexHolder(str(path), announcement=None)
    assert (holder.index is checked) != changed
    assert holder.index.term_count == (1 if changed else 2)
