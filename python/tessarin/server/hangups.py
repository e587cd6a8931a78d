"""SIGHUP, safe from the moment a serving process can receive it.

SIGHUP's default action ends a process, and a process only catches it once
it has code to do so: a signal sent while a worker starts (the interpreter,
the imports, the index loading) would kill it. So `tessarin serve` blocks
SIGHUP first thing (`hold`, before it imports Starlette and uvicorn or
loads an index): a signal sent meanwhile waits in the kernel. Only the
interpreter's own start and the import of the package come before (a few
tenths of a second after exec): no Python code can guard those.
The processes it starts inherit the blocked signal, so a worker being
started cannot be killed by it either. A worker catches SIGHUP (`catch`)
before it loads its index, which delivers any that waited: each is counted
(`count`) and passed to whoever listens (`listen`, the application while it
runs), until the process exits. (An application that another server runs
catches SIGHUP when it starts, if its event loop runs in the main thread.)

A supervisor of several workers keeps SIGHUP blocked, takes the pending
ones in its loop (`take`) and passes each on to every worker; a worker
still starting gets it when it catches.

POSIX only; elsewhere (no SIGHUP) every function does nothing.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Callable
from types import FrameType

__all__ = ["catch", "count", "hold", "listen", "take"]

_SIGHUP: signal.Signals | None = getattr(signal, "SIGHUP", None)
_listeners: list[Callable[[], None]] = []
_count = 0


def hold() -> None:
    """Blocks SIGHUP in the calling thread and the processes and threads it
    starts from now on."""
    if _SIGHUP is not None:
        signal.pthread_sigmask(signal.SIG_BLOCK, {_SIGHUP})


def catch() -> bool:
    """From the main thread: counts SIGHUP from now on, with any that
    waited (delivered before this returns). False where it cannot."""
    if _SIGHUP is None or threading.current_thread() is not threading.main_thread():
        return False
    signal.signal(_SIGHUP, _caught)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {_SIGHUP})
    return True


def _caught(signum: int, frame: FrameType | None) -> None:
    global _count
    _count += 1
    for listener in list(_listeners):
        listener()


def count() -> int:
    """SIGHUPs caught so far."""
    return _count


def listen(listener: Callable[[], None]) -> Callable[[], None]:
    """Calls `listener` (in the main thread) on every SIGHUP caught, until
    the function returned is called."""
    _listeners.append(listener)
    return lambda: _listeners.remove(listener)


def take() -> bool:
    """Whether a SIGHUP is pending (blocked) in this process; takes it."""
    if _SIGHUP is None or _SIGHUP not in signal.sigpending():
        return False
    signal.sigwait({_SIGHUP})
    return True
