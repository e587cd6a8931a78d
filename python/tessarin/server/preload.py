"""What the fork server of a server's workers imports before it forks any
(`tessarin.server.run`): the modules a worker serves with, those it would
import on its first requests included. Every worker forked from it shares
their memory with it rather than import them anew; the objects they made
are then frozen (`gc.freeze`: kept out of the collector's passes), so that
a collection in a worker does not write to, and so copy, the pages that
hold them. Imported for this alone."""

import contextlib
import gc
import importlib
import os

__all__ = ["MODULES", "OPTIONAL"]

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
)
#: Those uvicorn uses if they are installed.
OPTIONAL = ("uvloop", "uvicorn.loops.uvloop")

for name in MODULES:
    importlib.import_module(name)
for name in OPTIONAL:
    with contextlib.suppress(ImportError):
        importlib.import_module(name)

# The metrics' values live in files named by process (with several
# workers): a forked worker opens its own on its first update of any,
# which this makes at once rather than within its first index load.
_pending = importlib.import_module("tessarin.server.metrics").PENDING
os.register_at_fork(after_in_child=lambda: _pending.inc(0))
gc.freeze()
