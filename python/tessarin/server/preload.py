"""What the supervisor of a server's workers imports before it forks any
(`tessarin.server.run`): the modules a worker serves with, those it would
import on its first requests included. Every worker forked from it shares
their memory with it rather than import them anew; the supervisor freezes
what it made before each fork (`gc.freeze`: kept out of the collector's
passes), so that a collection in a worker does not write to, and so copy,
the pages that hold it."""

from __future__ import annotations

import contextlib
import importlib

__all__ = ["MODULES", "OPTIONAL", "load", "started"]

#: The modules a worker runs: its main module (the command line's), the
#: application, uvicorn's server, protocol and loop, anyio's thread hop.
MODULES = (
    "tessarin.__main__",
    "tessarin.cli",
    "tessarin.server.app",
    "tessarin.server.protocol",
    "tessarin.server.run",
    "anyio._backends._asyncio",
    "uvicorn.server",
    "uvicorn.lifespan.on",
    "uvicorn.loops.asyncio",
    "uvicorn.protocols.http.httptools_impl",
    "multiprocessing.popen_fork",
)
#: Those uvicorn uses if they are installed.
OPTIONAL = ("uvloop", "uvicorn.loops.uvloop")


def load() -> None:
    """Imports `MODULES`, and those of `OPTIONAL` that are installed."""
    for name in MODULES:
        importlib.import_module(name)
    for name in OPTIONAL:
        with contextlib.suppress(ImportError):
            importlib.import_module(name)


def started() -> None:
    """In a worker just forked: the metrics' values live in files named by
    process (with several workers), which a forked worker opens on its
    first update of any; this makes them at once rather than within its
    first index load."""
    from .metrics import PENDING

    PENDING.inc(0)
