"""What several of the package's test files share, defined once: a small
index and its records, video identifiers, index files made by hand, and
the command line run in a subprocess. (Fixtures live in conftest.py; these
are plain values, for use in parametrize lists and strategies too.)"""

from __future__ import annotations

import os
import re
import shlex
import subprocess
import sys
import uuid

from tessarin import Index
from tessarin.storage.container import Metadata, container_header

#: Two videos under "cat", one shared with "car", a longer "cart" and an
#: unrelated "the": 4 terms, 9 nodes, 4 videos.
RECORDS = [("cat", 600, 6), ("cat", 300, 4), ("car", 300, 20), ("cart", 700, 3), ("the", 9, 5)]
SMALL_INDEX = Index.build(RECORDS, video_top_n=3)

#: Four distinct UUIDs, spread over all their bits.
UUIDS = [uuid.UUID(int=(k + 1) * 0x0123456789ABCDEF0123456789ABCDEF % 2**128) for k in range(4)]


def index_file(metadata: Metadata, payload: bytes) -> bytes:
    """An index file (header, metadata, checksum) around a saved form."""
    return container_header(metadata, payload) + payload


def tessarin(*args, shell_tail="", **options):
    """(status, stdout bytes, stderr text) of `python -m tessarin ARGS`, its
    clock fixed (same records, same file); `shell_tail` runs the command
    in bash followed by that text (a pipe, say)."""
    command = [sys.executable, "-m", "tessarin", *map(str, args)]
    if shell_tail:
        command = ["bash", "-c", shlex.join(command) + shell_tail]
    options.setdefault("stdout", subprocess.PIPE)
    options.setdefault("env", {**os.environ, "SOURCE_DATE_EPOCH": "1700000000"})
    done = subprocess.run(command, stderr=subprocess.PIPE, timeout=120, **options)
    return done.returncode, done.stdout, done.stderr.decode()


def assert_one_line_failure(status, err, pattern):
    """The command failed with status 1 and one line `tessarin: PATTERN...`."""
    assert status == 1 and "Traceback" not in err and err.count("\n") == 1, err
    assert re.match(r"^tessarin: " + pattern, err), err
