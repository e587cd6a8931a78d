"""One sealed copy of the index file, shared by every worker of a server.

With several workers, the supervisor (`tessarin.server.run`) copies the
index file once into a memory file sealed against writes, growth and
shrinking (`tessarin.storage.files.sealed_copy`), loads that copy once to
check it (checksums and structure), and then announces it: it writes, in a
folder of its own, a small file naming the copy (`Announcement`: the
supervisor's pid, the descriptor it holds the copy by, and the copy's
device and inode), readable by its user only. Its path reaches the workers
in `SHARED_ENV`. Each worker opens the copy through /proc/PID/fd/N and maps
it (reading nothing twice and copying nothing): the pages are the copy's,
one set for every worker, and nothing done to the index file afterwards
(rewritten in place, truncated, replaced) reaches them.

A worker checks nothing the supervisor checked (checksums, structure,
stored search aids: about 0.75 s at a million terms), so that it is ready
in milliseconds, when it knows the bytes it maps are those very bytes: the
announcement is private to this user (its file and folder: nobody else
could have written it), the file it opened is the announced one (same
device and inode) and it is sealed against writes, growth and shrinking,
and against any change of its seals (so its bytes are the ones the
supervisor read). Anything else (another file, a seal missing) is loaded
with every check, as `Index.load` does.

On a change of the file (polled by the supervisor, or SIGHUP) the
supervisor makes and checks a new copy, once, announces it (a new file put
in place by rename, so a worker reads the old announcement or the new one),
closes its descriptor of the old copy and sends SIGHUP to every worker: each
loads the announced copy unless it serves it already, and keeps serving the
old index until then; the old copy's memory goes when the last worker drops
its index, once its last query ends. A file that fails to load is logged
once by the supervisor and announces nothing: every worker keeps serving.

A worker that reads an announcement just as the next replaces it may find
the descriptor closed, or its number taken by the next copy: the inode
tells, and the worker reads the announcement again.

Linux only (memfd_create, /proc); elsewhere, or for a single worker, each
worker process reads the file itself into private memory (`Index.load`),
which is just as immune to changes of the file.
"""

from __future__ import annotations

import contextlib
import dataclasses
import fcntl
import functools
import json
import logging
import operator
import os
import re
import select
import shutil
import signal
import socket
import tempfile
import time
import warnings

from ..errors import TessarinError
from ..index import Index, UncheckedIndexWarning
from ..storage.files import Signature, file_signature, open_regular, sealed_copy

__all__ = ["SHARED_ENV", "Announcement", "Publisher", "load_announced", "supported"]

log = logging.getLogger("tessarin.server")

#: The environment variable naming the announcement file to the workers.
SHARED_ENV = "TESSARIN_SHARED_INDEX"
#: Tries at reading an announcement that moves on while it is read.
_TRIES = 5


def supported() -> bool:
    """Whether this system makes sealed memory files a worker can open."""
    return hasattr(os, "memfd_create") and os.path.isdir("/proc/self/fd")


@dataclasses.dataclass(frozen=True)
class Announcement:
    """The current copy: the file it was made of, and how to open it."""

    source: str
    pid: int
    fd: int
    device: int
    inode: int
    generation: int

    @property
    def path(self) -> str:
        return f"/proc/{self.pid}/fd/{self.fd}"

    @classmethod
    def read(cls, path: str) -> tuple[Announcement, bool]:
        """The announcement in the file at `path`, and whether it is
        private to this user (the file and its folder owned by this user,
        and neither open to anyone else)."""
        with open(path, encoding="utf-8") as file:
            private = _private(os.fstat(file.fileno())) and _private(
                os.stat(os.path.dirname(os.path.abspath(path)))
            )
            return cls(**json.load(file)), private


def _private(status: os.stat_result) -> bool:
    return status.st_uid == os.geteuid() and status.st_mode & 0o077 == 0


#: The seals that make a memory file's bytes final: no write, no growth, no
#: shrinking, and no change of the seals themselves.
_FINAL = (
    getattr(fcntl, "F_SEAL_WRITE", 0),
    getattr(fcntl, "F_SEAL_SHRINK", 0),
    getattr(fcntl, "F_SEAL_GROW", 0),
    getattr(fcntl, "F_SEAL_SEAL", 0),
)


def is_final(fd: int) -> bool:
    """Whether the file open at `fd` is a memory file sealed for good
    (every seal of `_FINAL`)."""
    if not all(_FINAL) or not hasattr(fcntl, "F_GET_SEALS"):
        return False
    needed = functools.reduce(operator.or_, _FINAL)
    try:
        return fcntl.fcntl(fd, fcntl.F_GET_SEALS) & needed == needed
    except OSError:
        return False  # not a file that takes seals


def load_announced(announcement: str) -> tuple[Index, Announcement]:
    """The index of the copy announced in the file `announcement`, mapped;
    checked no further when it is the sealed copy the supervisor checked,
    else with every check. Raises OSError when no announced copy can be
    opened, TessarinError if it does not load."""
    for attempt in range(_TRIES):
        found, private = Announcement.read(announcement)
        try:
            fd = open_regular(found.path)
        except FileNotFoundError:
            continue  # closed: a newer copy is announced
        try:
            status = os.fstat(fd)
            same = (status.st_dev, status.st_ino) == (found.device, found.inode)
            if not same and attempt + 1 < _TRIES:
                continue  # the number may now name a newer copy
            copy = f"/proc/self/fd/{fd}"
            if same and private and is_final(fd):
                return Index._load_path(copy, verify=False, in_place=True, trusted=True), found
            log.warning(
                "%s is not the sealed copy announced in %s: loading it with every check",
                found.path,
                announcement,
            )
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", UncheckedIndexWarning)
                return Index.load(copy), found
        finally:
            os.close(fd)
    raise FileNotFoundError(f"the index copy announced in {announcement} cannot be opened")


@dataclasses.dataclass(frozen=True)
class _Checked:
    """What the check of a copy found: its terms and id mode, whether it is
    a bare saved index (no checksum), and the seconds the copy and its
    check took."""

    terms: int
    id_mode: str
    bare: bool
    seconds: float


def _copy_and_check(source: str) -> tuple[int, _Checked]:
    """A sealed copy of `source` (its descriptor), loaded once with every
    check. Raises what a failed copy or load raises."""
    started = time.perf_counter()
    fd = sealed_copy(source)
    copy = f"/proc/self/fd/{fd}"
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", UncheckedIndexWarning)
            index = Index.load(copy)
        checked = _Checked(
            index.term_count, index.id_mode, bool(caught), time.perf_counter() - started
        )
        del index  # the check's mapping; the workers map their own
    except BaseException:
        os.close(fd)
        raise
    return fd, checked


def _described(error: BaseException) -> str:
    """A failure of `_copy_and_check` in one line, naming no copy."""
    return f"{type(error).__name__}: {re.sub(r'^/proc/self/fd/[0-9]+: ', '', str(error))}"


#: Failures of a copy or its check that say all in their message.
_EXPECTED = (TessarinError, OSError, MemoryError)


class Publisher:
    """The supervisor's side: the sealed copy of `source` announced to the
    workers. Not thread-safe: one thread calls `publish`, `start` and
    `settle`.

    `publish` copies and checks in this process, and waits; `start` does it
    in a child process forked for it (this process must run no other
    thread), so that the caller goes on meanwhile (keeping the workers
    running, answering signals), and `settle` announces the copy once the
    child is done. The child hands the copy's descriptor back over a
    socket pair; its memory goes with it, scratch of the check included."""

    def __init__(self, source: str) -> None:
        self.source = source
        self.folder = tempfile.mkdtemp(prefix="tessarin-serve-")
        self.announcement = os.path.join(self.folder, "index.json")
        self.generation = 0
        self._fd: int | None = None
        self._signature: Signature | None = None
        self._failed: Signature | None = None
        #: The checker at work: its pid, this end of its socket pair, the
        #: file's signature before the copy, and the reason.
        self._checker: tuple[int, socket.socket, Signature | None, str] | None = None
        #: The id mode of the index announced ("int" or "uuid").
        self.id_mode = ""

    def changed(self) -> bool:
        """Whether the file is not the one announced (nor one that failed)."""
        now = file_signature(self.source)
        return now is not None and now != self._signature and now != self._failed

    @property
    def checking(self) -> bool:
        """Whether a copy started by `start` is not settled yet."""
        return self._checker is not None

    def descriptors(self) -> list[int]:
        """The descriptors this publisher holds, which a forked worker
        closes (one kept open would keep an old copy's memory)."""
        held = [] if self._fd is None else [self._fd]
        if self._checker is not None:
            held.append(self._checker[1].fileno())
        return held

    def publish(self, reason: str) -> bool:
        """Copies, checks and announces the file; True if a new copy is
        announced. The first call raises what a failed load raises; later
        ones log the failure (once per version of the file) and keep the
        copy announced."""
        signature = file_signature(self.source)  # before copying: a later change is seen next time
        try:
            fd, checked = _copy_and_check(self.source)
        except _EXPECTED as error:
            if self._fd is None:
                raise
            self._fail(signature, reason, _described(error))
            return False
        self._succeed(signature, reason, fd, checked)
        return True

    def start(self, reason: str) -> None:
        """Copies and checks the file in a child process (see `settle`);
        nothing if one is at work already."""
        if self._checker is not None:
            return
        signature = file_signature(self.source)
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            pid = os.fork()
        except BaseException:
            ours.close()
            theirs.close()
            raise
        if pid == 0:  # the checker
            code = 1
            try:
                ours.close()
                code = _check_for(self.source, theirs)
            finally:
                os._exit(code)
        theirs.close()
        self._checker = (pid, ours, signature, reason)

    def settle(self) -> bool:
        """Announces the copy of the child that `start` started, if it is
        done (never waits); True if a new copy is announced. A failure is
        logged, once per version of the file."""
        if self._checker is None:
            return False
        pid, ours, signature, reason = self._checker
        if not select.select([ours], [], [], 0)[0]:
            return False
        self._checker = None
        try:
            message, fds, _, _ = socket.recv_fds(ours, 1 << 16, 1)
        except OSError as error:
            message, fds = json.dumps({"error": _described(error)}).encode(), []
        finally:
            ours.close()
            _, status = os.waitpid(pid, 0)
        found = json.loads(message) if message else {}
        if fds and "error" not in found:
            self._succeed(signature, reason, fds[0], _Checked(**found))
            return True
        for fd in fds:
            os.close(fd)
        self._fail(
            signature,
            reason,
            found.get("error")
            or f"the check of the copy stopped (exit status {os.waitstatus_to_exitcode(status)})",
        )
        return False

    def _succeed(
        self, signature: Signature | None, reason: str, fd: int, checked: _Checked
    ) -> None:
        try:
            self._announce(fd)
        except BaseException:
            os.close(fd)
            raise
        if checked.bare:
            log.warning("%s is a bare saved index, with no checksum", self.source)
        self._signature = signature
        self._failed = None
        self.id_mode = checked.id_mode
        log.info(
            "%s: %s; copied and checked once for every worker (generation %d, %s terms, %.0f ms)",
            self.source,
            reason,
            self.generation,
            f"{checked.terms:,}",
            checked.seconds * 1000,
        )

    def _fail(self, signature: Signature | None, reason: str, error: str) -> None:
        if signature != self._failed:
            log.error(
                "%s: %s, but it could not be loaded; the workers keep serving "
                "the index of generation %d: %s",
                self.source,
                reason,
                self.generation,
                error,
            )
        self._failed = signature

    def _announce(self, fd: int) -> None:
        self.generation += 1
        status = os.fstat(fd)
        found = Announcement(
            self.source, os.getpid(), fd, status.st_dev, status.st_ino, self.generation
        )
        part = self.announcement + ".part"
        flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC | os.O_NOFOLLOW
        with open(os.open(part, flags, 0o600), "w", encoding="utf-8") as file:
            os.fchmod(file.fileno(), 0o600)
            json.dump(dataclasses.asdict(found), file)
        os.replace(part, self.announcement)
        old, self._fd = self._fd, fd
        if old is not None:
            os.close(old)  # workers keep their mappings of it until they drop them

    def close(self) -> None:
        if self._checker is not None:
            pid, ours, _, _ = self._checker
            self._checker = None
            ours.close()
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
            with contextlib.suppress(ChildProcessError):
                os.waitpid(pid, 0)
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
        with contextlib.suppress(OSError):
            shutil.rmtree(self.folder)


def _check_for(source: str, parent: socket.socket) -> int:
    """In the checker process: copies and checks `source`, and hands the
    copy to the parent over `parent` (or what failed); the exit status."""
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_DFL)  # not the parent's handlers
    try:
        fd, checked = _copy_and_check(source)
    except Exception as error:  # noqa: BLE001 - told to the parent, in one line
        parent.send(json.dumps({"error": _described(error)}).encode())
        return 0
    socket.send_fds(parent, [json.dumps(dataclasses.asdict(checked)).encode()], [fd])
    return 0
