"""The index a worker process serves, and its replacement without downtime.

An `IndexHolder` keeps one loaded `Index`. Every request reads `holder.index`
once and queries that object, so a swap never changes an index under a
running query: assigning the attribute is the atomic step, and the old index
is freed when the last query holding it returns.

The holder notices a new file by its identity: (modification time, size,
inode), read with one stat. `check` (polled by the server) and `reload`
(on SIGHUP) load the file on a thread, off the event loop, and verify its
checksum while doing so (`Index.load`: read into private memory, which
nothing done to the file afterwards can change). A file that fails to load
leaves the old index serving; the failure is logged in one line with its
cause, once per version of the file (a traceback only for a failure of an
unforeseen kind), and the next change of the file is tried again.

A worker of a server with several workers follows the supervisor instead
(`tessarin.server.sharing`): it watches the supervisor's announcement of a
sealed copy of the file, made and checked once for every worker, and maps
the announced copy; a reload, forced or not, loads only a copy other than
the one it serves (the supervisor makes a new one on SIGHUP).

For metrics, the holder counts its loads (`generation`) and failures
(`failures`) and keeps the time the last load took (`load_seconds`).
"""

from __future__ import annotations

import asyncio
import logging
import os
import time
import warnings
from collections.abc import Callable

import anyio.to_thread

from ..errors import TessarinError
from ..index import Index, UncheckedIndexWarning
from ..storage.files import Signature, file_signature
from ..storage.sample import load_sample_index
from .metrics import timed_loads
from .sharing import SHARED_ENV, load_announced
from .warm import warm_seconds, warming

__all__ = ["IndexHolder", "preload"]

log = logging.getLogger("tessarin.server")

#: Failures of a file to load that say all in their message: a damaged or
#: foreign file, a file that cannot be read, too little memory.
EXPECTED = (TessarinError, OSError, MemoryError)


class IndexHolder:
    """The index being served (`index`), from `path` or the sample (None).

    `announcement`: the file in which a supervisor announces its sealed copy
    of `path` (by default, the one `SHARED_ENV` names, if any and no
    `loader` is given); the holder then loads the announced copies."""

    def __init__(
        self,
        path: str | None,
        loader: Callable[[str], Index] | None = None,
        announcement: str | None = None,
    ) -> None:
        self.path = path
        if announcement is None and loader is None and path is not None:
            announcement = os.environ.get(SHARED_ENV) or None
        #: The file watched: the index file, or the announcement of its copy.
        self._watched = announcement or path
        self.shared = announcement is not None
        self._loader = loader or (_load_announced if self.shared else _load_file)
        self._lock = asyncio.Lock()
        self._loader = timed_loads(warming(self._loader))  # an index serves only once warm
        self._failed: Signature | None = None
        if self._watched is None:
            self._signature: Signature | None = None
            self.index = load_sample_index()
        else:
            self._signature = file_signature(self._watched)
            started = time.perf_counter()
            self.index = self._loader(self._watched)
            took = time.perf_counter() - started
            log.info(
                "%s: index ready in %.1f ms (loaded in %.1f ms, warmed in %.1f ms)",
                self.path,
                took * 1000,
                (took - warm_seconds(self.index)) * 1000,
                warm_seconds(self.index) * 1000,
            )
        #: How many indexes this holder has loaded, and when the last one.
        self.generation = 1
        self.loaded_at = time.time()
        #: Loads that failed, and seconds the last load that did not took.
        self.failures = 0
        self.load_seconds = 0.0

    @property
    def source(self) -> str:
        return "sample" if self.path is None else self.path

    def changed(self) -> bool:
        """Whether the file is not the one loaded (nor one that failed)."""
        if self._watched is None:
            return False
        now = file_signature(self._watched)
        return now is not None and now != self._signature and now != self._failed

    async def check(self) -> bool:
        """Loads the file if it changed; True if a new index now serves."""
        if not self.changed():
            return False
        return await self.reload("the file changed", force=False)

    async def reload(self, reason: str, *, force: bool = True) -> bool:
        """Loads the file again (unless, without `force`, it is the one
        loaded); True if a new index now serves."""
        if self._watched is None or self.path is None:
            log.info("%s: serving the sample index, nothing to reload", reason)
            return False
        path = self.path
        async with self._lock:
            # Before loading: a later change is seen next time.
            signature = file_signature(self._watched)
            if (not force or self.shared) and signature == self._signature:
                return False  # another reload took it already, or no new copy
            started = time.perf_counter()
            try:
                index = await anyio.to_thread.run_sync(self._loader, self._watched)
            except Exception as error:
                self._failed = signature
                self.failures += 1
                log.error(
                    "%s: %s, but it could not be loaded; still serving the index loaded at %s: "
                    "%s: %s",
                    path,
                    reason,
                    time.strftime("%Y-%m-%dT%H:%M:%S%z", time.localtime(self.loaded_at)),
                    type(error).__name__,
                    error,
                    exc_info=None if isinstance(error, EXPECTED) else error,
                )
                return False
            self.index = index
            self._signature = signature
            self._failed = None
            self.generation += 1
            self.loaded_at = time.time()
            self.load_seconds = time.perf_counter() - started
            log.info(
                "%s: %s; now serving %s (generation %d, loaded in %.0f ms)",
                path,
                reason,
                f"{index.term_count:,} terms",
                self.generation,
                self.load_seconds * 1000,
            )
            return True

    async def watch(self, interval: float) -> None:
        """Checks the file every `interval` seconds, until cancelled."""
        failing = False
        while True:
            await asyncio.sleep(interval)
            try:
                await self.check()
            except Exception:  # the watcher outlives any surprise, and says so once
                if not failing:
                    log.exception("%s: checking the index file failed", self.source)
                failing = True
            else:
                failing = False


def _load_announced(announcement: str) -> Index:
    return load_announced(announcement)[0]


#: An index loaded by this process before its holder was made (the command
#: line's check of the file, for one worker serving in that process), with
#: the identity of the file then: {path: (signature, index)}.
_preloaded: dict[str, tuple[Signature, Index]] = {}


def preload(path: str, index: Index, signature: Signature | None) -> None:
    """Hands `index`, loaded from `path` when it was `signature`, to the
    first holder of `path` made in this process, which serves it if the file
    is still the same rather than load it again."""
    if signature is not None:
        _preloaded[path] = (signature, index)


def _load_file(path: str) -> Index:
    signature, index = _preloaded.pop(path, (None, None))
    if index is not None and signature == file_signature(path):
        return index
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", UncheckedIndexWarning)
        index = Index.load(path)
    if caught:
        log.warning("%s is a bare saved index, with no checksum: damage may go unnoticed", path)
    return index
